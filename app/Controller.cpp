#include "Controller.h"

#include <algorithm>
#include <future>
#include <system_error>
#include <thread>
#include <utility>

int TController::ReadSlotCount(const TSettingsFile& settings) {
    return std::clamp(settings.ReadInteger("General", "Slots", DefaultSlots), 0, MaxSlots);
}

void TController::WriteSlotCount(TSettingsStore& settings, int count) {
    settings.WriteInteger("General", "Slots", count);
}

TController::TController(TSettingsFile& settings, TDeviceCatalogue& devices, int slotCount, TSlotServices services,
                         TLogSink sink)
    : FServices(std::move(services)), FSettings(settings), FDevices(devices), FSink(std::move(sink)),
      FNextSlotCount(slotCount) {
    const TAlarmSettings alarms = TAlarmSettings::Read(settings);
    if (!alarms.Command.empty()) {
        FHook = std::make_unique<TAlarmHook>(
            alarms.Command, [this](int slot, const std::string& line) { PostSlotLog(slot, line); });
    }
    FSlots.reserve(static_cast<std::size_t>(std::max(slotCount, 0)));
    for (int i = 0; i < slotCount; ++i) {
        auto slot = std::make_unique<TSlotInfo>(settings, i, devices, FServices);
        slot->OnLog = [this](TSlotInfo& s, const std::string& text) {
            if (OnControllerThread()) {
                LogSlotMessage(s, text);
            } else {
                PostSlotLog(SlotLineIndex, text);
            }
        };
        slot->OnPostLog = [this](TSlotInfo& s, const std::string& text) { PostSlotLog(s.Index, text); };
        slot->MinFreeGB = alarms.MinFreeGB;
        slot->NotRecordingSeconds = alarms.NotRecordingSeconds;
        slot->OnAlarm = [this](TSlotInfo& s, const TAlarmChange& change) {
            if (!FHook) {
                return;
            }
            if (OnControllerThread()) {
                FHook->Run(s.Index, s.Name, change);
            } else if (!PostTask([this, index = s.Index, name = s.Name, change] { FHook->Run(index, name, change); })) {
                PostSlotLog(s.Index, "Too much waiting work: the alarm hook was not run for " + change.Text);
            }
        };
        for (const std::string& note : slot->SettingsNotes) {
            slot->Log(note);
        }
        slot->StartInput();
        FSlots.push_back(std::move(slot));
        FWorkers.push_back(std::make_unique<TSerialWorker>("slot-" + std::to_string(i)));
        // Rows a stop had to keep, and the durations and rows a crash lost.
        TSlotInfo& added = *FSlots.back();
        FWorkers.back()->Post([this, &added] { Guarded(added, [&] { added.RecoverCatalogue(); }); });
    }
    WaitForSlots(StartWait);
    TakePosted();
}

TController::~TController() {
    // Every slot finishes its file at the same time, by one deadline: an
    // encoder that hangs costs the shutdown FinishTimeout once, not once a slot.
    const auto deadline = std::chrono::steady_clock::now() + FinishTimeout;
    for (auto& worker : FWorkers) {
        worker->RequestStop(); // what runs ends on its own; nothing queued starts
    }
    struct TFinishing {
        std::thread Thread;
        std::future<bool> Done; // false: the slot's worker was stuck until the deadline
    };
    std::vector<TFinishing> finishing(FSlots.size());
    for (std::size_t i = 0; i < FSlots.size(); ++i) {
        TSlotInfo* s = FSlots[i].get();
        TSerialWorker* worker = FWorkers[i].get();
        auto finish = [s, worker, deadline] {
            // A worker stuck in the slot's folder holds the slot's lock.
            if (!worker->StopBy(deadline)) {
                return false;
            }
            s->FinishRecordingBy(deadline);
            return true;
        };
        std::promise<bool> done;
        finishing[i].Done = done.get_future();
        try {
            finishing[i].Thread = std::thread([finish, done = std::move(done)]() mutable { done.set_value(finish()); });
        } catch (const std::system_error&) {
            std::promise<bool> now; // no thread to be had: in turn
            finishing[i].Done = now.get_future();
            now.set_value(finish());
        }
    }
    for (std::size_t i = 0; i < FSlots.size(); ++i) {
        TFinishing& f = finishing[i];
        TSlotInfo& slot = *FSlots[i];
        const bool ended = f.Done.wait_until(deadline + AbandonGrace) == std::future_status::ready;
        if (!ended || !f.Done.get()) {
            // Blocked where no deadline reaches (a write to a folder whose
            // mount hangs, a device close that never returns), and holding the
            // slot's locks. Destroying the slot would free what that thread
            // still uses and wait on the same hang, so the slot is left as it
            // is: a leak until the process ends, which is what follows. Its
            // section is written all the same; only this thread changes it.
            for (const std::string& line : slot.TakeDeferredLog()) {
                LogSlotMessage(slot, slot.Name + ": " + line);
            }
            LogSlotMessage(slot, slot.Name + ": " + AbandonedText);
            if (f.Thread.joinable()) {
                f.Thread.detach();
            }
            slot.SaveSettings();
            static_cast<void>(FSlots[i].release());
            static_cast<void>(FWorkers[i].release());
            continue;
        }
        if (f.Thread.joinable()) {
            f.Thread.join();
        }
    }
    TakePosted(); // what the workers said last
    for (auto& slot : FSlots) {
        slot.reset();
    }
}

bool TController::Guarded(TSlotInfo& slot, const std::function<void()>& operation) {
    try {
        operation();
        return true;
    } catch (const std::exception& e) {
        // One slot's failure (a catalogue on a missing drive) must not stop the others.
        slot.Log(e.what());
        return false;
    }
}

bool TController::WaitForSlots(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    bool all = true;
    // In index order: a cleanup by space hands itself on to the next slot before it ends.
    for (const auto& worker : FWorkers) {
        all = worker->WaitIdle(deadline) && all;
    }
    return all;
}

void TController::RunOnSlot(std::size_t index, std::function<void()> work) {
    FWorkers[index]->Post(std::move(work));
    FWorkers[index]->WaitIdle(std::chrono::steady_clock::now() + TickWait);
    TakePosted();
}

void TController::TickSlot(TSlotInfo& slot, bool newHour) {
    Guarded(slot, [&] {
        slot.CheckInput();
        slot.CheckPull();
        slot.CheckEncoder();
    });
    Guarded(slot, [&] { slot.CheckAlarms(); });
    if (newHour) {
        Guarded(slot, [&] {
            if (!slot.NoAutoRotate) {
                slot.RestartEncoder();
            }
        });
        Guarded(slot, [&] { slot.CleanupByAge(); });
    }
}

void TController::CleanupBySpaceFrom(std::size_t index) {
    if (index >= FSlots.size()) {
        return;
    }
    // One recording at a time until the slot is no longer short of space (or
    // can delete nothing more), then the next slot: the lowest index first.
    FWorkers[index]->Post([this, index] {
        TSlotInfo& slot = *FSlots[index];
        for (bool removed = true; removed;) {
            removed = false;
            Guarded(slot, [&] { removed = slot.CleanupBySpace(); });
        }
        CleanupBySpaceFrom(index + 1);
    });
}

void TController::timTimerTimer() {
    const std::int64_t hour = HourNumber(ToLocalTime(FServices.Now()));
    const bool newHour = hour != FLastHour;
    FLastHour = hour;
    for (std::size_t i = 0; i < FSlots.size(); ++i) {
        TSerialWorker& worker = *FWorkers[i];
        // A slot still busy with earlier work gets no more checks; a new hour waits its turn.
        if (newHour || worker.Idle()) {
            worker.Post([this, &slot = *FSlots[i], newHour] { TickSlot(slot, newHour); });
        }
    }
    if (newHour) {
        CleanupBySpaceFrom(0);
    }
    WaitForSlots(TickWait);
    WatchFolders();
    TakePosted();
    if (newHour) {
        UpdateSlotButtons();
    }
}

void TController::WatchFolders() {
    for (std::size_t i = 0; i < FSlots.size(); ++i) {
        const std::uint64_t busy = FWorkers[i]->BusyMs();
        FSlots[i]->SetFolderAlarm(busy >= FolderTimeoutMs, busy);
    }
}

void TController::SetRecording(int index, bool on) {
    if (index < 0 || static_cast<std::size_t>(index) >= FSlots.size()) {
        return;
    }
    TSlotInfo& slot = *FSlots[static_cast<std::size_t>(index)];
    RunOnSlot(static_cast<std::size_t>(index), [this, &slot, on] { Guarded(slot, [&] { slot.SetRecording(on); }); });
    UpdateSlotButtons();
}

void TController::PostSlotLog(int index, const std::string& message) {
    std::lock_guard guard(FPostedLogLock);
    if (FPostedLog.size() < MaxLogLines) {
        FPostedLog.emplace_back(index, message);
    } else {
        ++FPostedDropped;
    }
}

void TController::ProcessCommands() {
    TakePosted();
    while (auto command = FCommands.Take()) {
        if (command->Message == WM_STARTSLOT) {
            SetRecording(command->Index, true);
        } else if (command->Message == WM_STOPSLOT) {
            SetRecording(command->Index, false);
        }
    }
}

void TController::TakePosted() {
    std::vector<std::pair<int, std::string>> lines;
    std::uint64_t dropped = 0;
    {
        std::lock_guard guard(FPostedLogLock);
        lines.swap(FPostedLog);
        dropped = std::exchange(FPostedDropped, 0);
    }
    for (const auto& [index, message] : lines) {
        if (index == SlotLineIndex) {
            AppendLog(TLogKind::Slots, FSlotLog, message);
        } else if (index == WebServerLogIndex) {
            LogWebServerMessage(message);
        } else if (index >= 0 && static_cast<std::size_t>(index) < FSlots.size()) {
            FSlots[static_cast<std::size_t>(index)]->Log(message);
        }
    }
    if (dropped > 0) {
        // A flood (refused requests, a chatty hook): the log says how much it left out.
        LogWebServerMessage(std::to_string(dropped) + " log lines from other threads left out");
    }
    std::vector<std::function<void()>> tasks;
    {
        std::lock_guard guard(FTaskLock);
        tasks.swap(FTasks);
    }
    for (auto& task : tasks) {
        task();
    }
}

void TController::ApplySlotSettings(int index, bool inputChanged, bool outputChanged, const std::string& origin) {
    if (index < 0 || static_cast<std::size_t>(index) >= FSlots.size()) {
        return;
    }
    ApplyOnSlot(static_cast<std::size_t>(index), std::nullopt, {inputChanged, outputChanged}, origin);
}

std::optional<TSettingsApplied> TController::ChangeSlotSettings(int index, const TSlotSettings& values,
                                                                const std::string& origin) {
    if (index < 0 || static_cast<std::size_t>(index) >= FSlots.size()) {
        return std::nullopt;
    }
    return ApplyOnSlot(static_cast<std::size_t>(index), values, {}, origin);
}

std::optional<TSettingsApplied> TController::ApplyOnSlot(std::size_t index, std::optional<TSlotSettings> values,
                                                         TSettingsChange change, const std::string& origin) {
    TSlotInfo& slot = *FSlots[index];
    if (!origin.empty()) {
        LogSlotMessage(slot, "Settings of slot " + std::to_string(index + 1) + " changed " + origin);
    }
    // All of it on the slot's worker, in one step: the slot's lock may be held
    // there for a while (a folder that hangs), and the change must be taken,
    // written and applied together whenever it runs.
    auto applied = std::make_shared<std::promise<TSettingsApplied>>();
    auto result = applied->get_future();
    RunOnSlot(index, [this, &slot, values = std::move(values), change, applied] {
        TSettingsApplied done;
        Guarded(slot, [&] {
            std::lock_guard guard(slot.Lock);
            const TSettingsChange taken = values ? slot.TakeSettings(*values) : change;
            done.Input = taken.Input;
            done.Output = taken.Output;
            slot.SaveSettings();
            done.Written = true;
            if (taken.Input) {
                slot.StartInput();
            }
            if (taken.Output || !slot.HasEncoder()) {
                slot.RestartEncoder();
            }
        });
        done.Recording = slot.HasEncoder();
        applied->set_value(done);
    });
    UpdateSlotButtons();
    if (result.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        return std::nullopt;
    }
    return result.get();
}

void TController::SetNextSlotCount(int count, const std::string& origin) {
    FNextSlotCount = std::clamp(count, 0, MaxSlots);
    FSettings.WriteSection("General", {{"Slots", std::to_string(FNextSlotCount)}});
    AppendLog(TLogKind::Slots, FSlotLog,
              "Number of slots set to " + std::to_string(FNextSlotCount) + " " + origin +
                  "; it takes effect at the next start");
}

bool TController::PostTask(std::function<void()> task) {
    std::lock_guard guard(FTaskLock);
    if (FTasks.size() >= MaxTasks) {
        return false;
    }
    FTasks.push_back(std::move(task));
    return true;
}

void TController::AppendLog(TLogKind kind, std::deque<std::string>& log, const std::string& text) {
    while (log.size() > MaxLogLines - 1) {
        log.pop_front();
    }
    const std::string line = FormatTime(ToLocalTime(FServices.Now()), "%x %X") + ": " + text;
    log.push_back(line);
    if (FSink) {
        FSink(kind, line);
    }
}

void TController::GuideNewcomer(const std::string& settingsFile, const TDeviceCatalogue& devices) {
    for (const auto& slot : FSlots) {
        if (slot->Source != TSlotSource::None) {
            return;
        }
    }
    auto say = [this](const std::string& text) { AppendLog(TLogKind::Slots, FSlotLog, text); };
    say("No slot has an input yet. The settings are in " + settingsFile + ".");
    say(devices.Count() == 0 ? "Inputs found: none" : "Inputs found (ID, name):");
    for (std::size_t i = 0; i < devices.Count(); ++i) {
        say("  " + devices.Id(i) + "\t" + devices.Entry(i).Name);
    }
    say("To record, give a slot an input in the window (Configure), or stop the program and set in its "
        "section, for example [Slot0]: Source=Soundcard with Device=<ID>, or Source=Stream with StreamURL=<URL>. "
        "On a server, [Webserver] Configuration=on with a User and Password opens a Settings view on the web page.");
}

void TController::LogSlotMessage(TSlotInfo&, const std::string& text) { AppendLog(TLogKind::Slots, FSlotLog, text); }

void TController::LogWebServerMessage(const std::string& text) {
    AppendLog(TLogKind::WebServer, FWebServerLog, text);
}

void TController::UpdateSlotButtons() {
    if (OnUpdateSlotButtons) {
        OnUpdateSlotButtons();
    }
}
