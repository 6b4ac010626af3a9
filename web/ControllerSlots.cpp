#include "ControllerSlots.h"

#include "Controller.h"
#include "SlotStatus.h"
#include "Version.h"

int TControllerSlots::Count() const { return static_cast<int>(FController.Slots().size()); }

TWebSlotState TControllerSlots::State(int index) const {
    TSlotInfo& slot = *FController.Slots().at(static_cast<std::size_t>(index));
    // Every field below changes only under Lock on the controller's thread.
    std::lock_guard guard(slot.Lock);
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

std::string TControllerSlots::Version() const { return VersionText(GetExeVersion()); }

std::optional<std::uint64_t> TControllerSlots::FreeSpace(const std::string& folder) const {
    return FController.FreeSpace(folder);
}
