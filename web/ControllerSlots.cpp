#include "ControllerSlots.h"

#include "Controller.h"
#include "SlotStatus.h"

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
