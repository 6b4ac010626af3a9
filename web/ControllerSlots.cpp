#include "ControllerSlots.h"

#include "Controller.h"
#include "SlotStatus.h"
#include "EncoderCapabilities.h"
#include "SlotSettingsRules.h"
#include "Version.h"

#include <algorithm>
#include <atomic>
#include <future>
#include <mutex>
#include <system_error>

TWaitedWork::~TWaitedWork() {
    std::lock_guard guard(FLock);
    for (TRunning& running : FRunning) {
        running.Thread.join();
    }
}

std::optional<std::string> TWaitedWork::Run(std::function<std::string()> work, std::chrono::milliseconds wait) {
    auto result = std::make_shared<std::promise<std::string>>();
    auto future = result->get_future();
    {
        std::lock_guard guard(FLock);
        for (auto it = FRunning.begin(); it != FRunning.end();) {
            if (*it->Done) {
                it->Thread.join();
                it = FRunning.erase(it);
            } else {
                ++it;
            }
        }
        if (FRunning.size() >= MaxRunning) {
            return std::nullopt;
        }
        auto done = std::make_shared<std::atomic<bool>>(false);
        try {
            std::thread thread([work = std::move(work), result, done] {
                try {
                    result->set_value(work());
                } catch (...) {
                    result->set_exception(std::current_exception());
                }
                *done = true;
            });
            FRunning.push_back({std::move(thread), done});
        } catch (const std::system_error&) {
            return std::nullopt; // no thread to be had now
        }
    }
    if (future.wait_for(wait) != std::future_status::ready) {
        return std::nullopt;
    }
    return future.get();
}

namespace {

// A slot whose lock was not to be had in time.
struct TSlotBusy {};

} // namespace

int TControllerSlots::Count() const { return static_cast<int>(FController.Slots().size()); }

TWebSlotState TControllerSlots::State(int index) const {
    const TSlotInfo& slot = *FController.Slots().at(static_cast<std::size_t>(index));
    std::unique_lock lock(slot.Lock, std::defer_lock);
    if (lock.try_lock_for(SlotWait)) {
        TWebSlotState state = ReadState(slot);
        lock.unlock();
        std::lock_guard guard(FLastLock);
        FLastStates[index] = state;
        return state;
    }
    // The slot's work is stuck (in its folder): what it said last, with the alarms of now.
    TWebSlotState state;
    {
        std::lock_guard guard(FLastLock);
        if (const auto last = FLastStates.find(index); last != FLastStates.end()) {
            state = last->second;
        }
    }
    state.Alarms.erase(std::remove_if(state.Alarms.begin(), state.Alarms.end(),
                                      [](const TWebAlarm& a) { return a.Kind == AlarmKindName(TAlarmKind::FolderNotAnswering); }),
                       state.Alarms.end());
    if (const auto folder = slot.FolderAlarm()) {
        state.Alarms.push_back({AlarmKindName(folder->Kind), FormatTime(ToLocalTime(folder->Since), "%Y-%m-%d %H:%M:%S"),
                                folder->Text, folder->EventId});
        state.Error = folder->Text;
        state.StateName = "error";
    }
    state.PeakLeft = slot.PeakLeft();
    state.PeakRight = slot.PeakRight();
    state.BytesWritten = slot.BytesProcessed();
    return state;
}

// Every field below changes only under the slot's Lock.
TWebSlotState TControllerSlots::ReadState(const TSlotInfo& slot) const {
    TWebSlotState state;
    state.Name = slot.Name;
    switch (slot.Source) {
    case TSlotSource::None:
        break;
    case TSlotSource::Soundcard:
        state.SourceText = slot.AttachedDevice != nullptr ? slot.AttachedDevice->Name : "Error";
        break;
    case TSlotSource::Stream:
        state.SourceText = slot.StreamURL;
        break;
    }
    state.Folder = slot.Folder;
    state.Recording = slot.HasEncoder();
    state.Error = SlotTrouble(DescribeSlot(slot, GetMilliseconds()));
    state.CurrentRecordingID = slot.CurrentRecordingID;
    state.CurrentDuration = slot.CurrentDuration();

    const std::string streamStatus = slot.GetStreamStatus();
    const bool connecting = slot.Source == TSlotSource::Stream && slot.Enabled && !slot.StreamConnected() &&
                            (streamStatus == "Connecting..." || streamStatus == "Reconnecting...");
    state.StateName = slot.Source == TSlotSource::None ? "disabled"
                      : !slot.Enabled                  ? "stopped"
                      : connecting                     ? "connecting"
                      : !state.Error.empty() || !state.Recording ? "error"
                                                                 : "recording";
    if (slot.HasEncoder()) {
        state.File = slot.CurrentFile;
        state.Elapsed = static_cast<double>(GetMilliseconds() - slot.FileStartTicks) / 1000.0;
    }
    state.LastError = slot.LastError;
    state.PeakLeft = slot.PeakLeft();
    state.PeakRight = slot.PeakRight();
    state.SilenceSeconds = slot.SilentSeconds();
    for (const TAlarm& alarm : slot.Alarms()) {
        state.Alarms.push_back({AlarmKindName(alarm.Kind), FormatTime(ToLocalTime(alarm.Since), "%Y-%m-%d %H:%M:%S"),
                                alarm.Text, alarm.EventId});
    }
    state.BytesWritten = slot.BytesProcessed();
    state.DroppedBytes = slot.DroppedTotal;
    state.FilesStarted = slot.FilesStarted;
    state.EncoderRestarts = slot.EncoderRestarts;
    state.StreamReconnections = slot.StreamReconnections();
    state.FreeBytes = slot.FreeBytes();
    return state;
}

std::unique_ptr<TCatalogue> TControllerSlots::OpenCatalogue(int index, const std::string& folder) {
    return FController.Slots().at(static_cast<std::size_t>(index))->OpenCatalogue(folder);
}

bool TControllerSlots::PostCommand(TSlotCommand command) { return FController.PostSlotCommand(command); }

void TControllerSlots::PostLog(int index, const std::string& message) {
    FController.PostSlotLog(index, message);
}

void TControllerSlots::PostServerLog(const std::string& message) { FController.PostWebServerLog(message); }

std::chrono::system_clock::time_point TControllerSlots::Now() const { return FController.Now(); }

double TControllerSlots::UptimeSeconds() const { return FController.UptimeSeconds(); }

std::uint64_t TControllerSlots::AbandonedCaptures() const { return FController.Devices().AbandonedCaptures(); }

std::string TControllerSlots::Version() const { return VersionText(GetExeVersion()); }

std::optional<std::uint64_t> TControllerSlots::FreeSpace(const std::string& folder) const {
    return FController.FreeSpace(folder);
}

// Runs `work` on the controller's thread and waits up to ControllerWait. Work
// that has not begun by then is dropped, so that it never runs after the
// request (and what it captured) is gone.
template <class R> std::optional<R> TControllerSlots::OnController(std::function<R()> work) {
    struct TPending {
        std::mutex Lock; // held while the work runs and while the request gives up
        bool Abandoned = false;
        std::promise<R> Result;
    };
    auto pending = std::make_shared<TPending>();
    auto future = pending->Result.get_future();
    const bool posted = FController.PostTask([pending, work = std::move(work)] {
        std::lock_guard guard(pending->Lock);
        if (pending->Abandoned) {
            return;
        }
        try {
            pending->Result.set_value(work());
        } catch (...) {
            pending->Result.set_exception(std::current_exception());
        }
    });
    if (!posted) {
        return std::nullopt;
    }
    if (future.wait_for(ControllerWait) != std::future_status::ready) {
        std::lock_guard guard(pending->Lock);
        if (future.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
            pending->Abandoned = true;
            return std::nullopt;
        }
    }
    try {
        return future.get();
    } catch (const TSlotBusy&) {
        return std::nullopt; // answered as a controller that did not answer in time
    }
}

namespace {

TWebSlotSettings Current(const TController& controller, const TSlotInfo& slot) {
    // The slot's own work may hold its lock for long (a folder that hangs):
    // the controller's thread does not wait for it.
    std::unique_lock lock(slot.Lock, std::defer_lock);
    if (!lock.try_lock_for(TControllerSlots::SlotWait)) {
        throw TSlotBusy();
    }
    TWebSlotSettings current;
    current.Values = slot;
    const TDeviceCatalogue& devices = controller.Devices();
    for (std::size_t i = 0; i < devices.Count(); ++i) {
        current.Devices.emplace_back(devices.Id(i), devices.Entry(i).Name);
    }
    const int found = devices.FindDevice(slot.Device);
    if (found >= 0) {
        current.DeviceName = devices.Entry(static_cast<std::size_t>(found)).Name;
    }
    current.Revision = slot.SettingsRevision;
    return current;
}

} // namespace

std::optional<TWebSlotSettings> TControllerSlots::ReadSettings(int index) {
    TController& controller = FController;
    return OnController<TWebSlotSettings>([&controller, index] {
        return Current(controller, *controller.Slots().at(static_cast<std::size_t>(index)));
    });
}

TSettingsOutcome TControllerSlots::ChangeSettings(int index, TSettingsEdit edit, const std::string& origin) {
    const auto outcome = [](TSettingsOutcome::TKind kind, std::string reason) {
        TSettingsOutcome result;
        result.Kind = kind;
        result.Reason = std::move(reason);
        return result;
    };
    constexpr auto Refused = TSettingsOutcome::TKind::Refused;
    constexpr auto Busy = TSettingsOutcome::TKind::Busy;
    const char* const NoAnswer = "The recorder did not answer in time: try again later.";
    TController& controller = FController;
    const TSlotInfo& slot = *controller.Slots().at(static_cast<std::size_t>(index));
    // Checked here, applied there: a change from the dialog in between makes the check stale, so it is done again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const auto current = ReadSettings(index);
        if (!current) {
            return outcome(Busy, NoAnswer);
        }
        TSlotSettings values = current->Values;
        if (std::string refused = edit(values, *current); !refused.empty()) {
            return outcome(Refused, std::move(refused));
        }
        // Slots outlive this object, whose destructor waits for the check.
        const auto checked = FProbes.Run([&slot, values] { return slot.CheckSettings(values); }, ProbeWait);
        if (!checked) {
            return outcome(Busy, "The encoder did not answer in time: try again later.");
        }
        if (!checked->empty()) {
            return outcome(Refused, *checked);
        }
        const std::uint64_t revision = current->Revision;
        const auto applied = OnController<std::optional<TSettingsOutcome>>(
            [&controller, index, values, revision, origin]() -> std::optional<TSettingsOutcome> {
                TSlotInfo& target = *controller.Slots().at(static_cast<std::size_t>(index));
                TSettingsOutcome result;
                {
                    std::unique_lock lock(target.Lock, std::defer_lock);
                    if (!lock.try_lock_for(SlotWait)) {
                        throw TSlotBusy();
                    }
                    if (target.SettingsRevision != revision) {
                        return std::nullopt;
                    }
                    result.Before = target;
                }
                // What changed, from what the slot held under its lock a moment ago.
                const std::string changes = DescribeChanges(result.Before, values);
                const auto done =
                    controller.ChangeSlotSettings(index, values, changes.empty() ? origin : origin + ": " + changes);
                if (!done) {
                    result.Kind = TSettingsOutcome::TKind::Busy;
                    result.Reason = "The slot did not answer in time (does its folder hang?): the change is "
                                    "taken as soon as it does.";
                    return result;
                }
                result.Kind = TSettingsOutcome::TKind::Applied;
                result.After = values;
                result.After.Enabled = result.Before.Enabled; // started and stopped by its own commands
                result.Written = done->Written && target.SettingsWritten();
                return result;
            });
        if (!applied) {
            return outcome(Busy, NoAnswer);
        }
        if (*applied) {
            return **applied;
        }
    }
    return outcome(Busy, "The settings were changed elsewhere meanwhile: try again.");
}

std::optional<int> TControllerSlots::NextSlotCount() {
    TController& controller = FController;
    return OnController<int>([&controller] { return controller.NextSlotCount(); });
}

bool TControllerSlots::SetNextSlotCount(int count, const std::string& origin) {
    TController& controller = FController;
    return OnController<bool>([&controller, count, origin] {
        controller.SetNextSlotCount(count, origin);
        return true;
    }).has_value();
}

std::vector<int> TControllerSlots::OfferedSamplerates(TSlotFormat format) const {
    TEncoderCapabilities* encoders = FController.Encoders();
    return encoders != nullptr ? encoders->Samplerates(format) : TSlotLimits::Samplerates;
}

std::vector<int> TControllerSlots::OfferedBitrates(TSlotFormat format, int samplerate, TSlotMode mode) const {
    TEncoderCapabilities* encoders = FController.Encoders();
    return encoders != nullptr ? encoders->Bitrates(format, samplerate, mode == TSlotMode::mono ? 1 : 2)
                               : ::OfferedBitrates(format, samplerate, mode, WmaEncoderRates);
}
