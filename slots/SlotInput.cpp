#include "SlotInfo.h"

#include "basserrors.h"

namespace {

constexpr std::uint64_t InputRetryMs = 3000;

} // namespace

void TSlotInfo::StartInput() {
    std::lock_guard guard(Lock);
    if (Source == TSlotSource::None) {
        StopInput();
        return;
    }
    if (!FMixer && !SettingsFault.empty()) {
        StopInput();
        LastError = SettingsFault; // a refused sample rate: no input can be taken at it
        return;
    }
    if (Source == TSlotSource::Stream) {
        StopInput();
        StreamTitle.clear();
        ActiveStreamURL = StreamURL;
        if (FMixer) {
            FStreamThread = std::make_unique<TSimpleThread>(true, [this](TSimpleThread& t) { RunStream(t); });
            FStreamThread->Resume();
        }
        return;
    }
    TDeviceInfoWithClients* entry = nullptr;
    try {
        if (Device.empty()) {
            throw std::runtime_error("No device selected");
        }
        if (Device == AttachedDeviceID) {
            return;
        }
        const int i = FDevices.FindDevice(Device);
        if (i < 0) {
            throw std::runtime_error("Invalid device");
        }
        entry = &FDevices.Entry(static_cast<std::size_t>(i));
        StopInput();
        if (!FMixer) {
            throw TAudioError(BassError::Freq);
        }
        auto client = entry->AddClient(ActiveSamplerate);
        try {
            FMixer->SetInput(client);
        } catch (...) {
            // Otherwise the device would stay open, feeding a stream nobody reads.
            entry->RemoveClient(client.get());
            throw;
        }
        FInputStream = std::move(client);
        StreamTitle.clear();
        AttachedDevice = entry;
        AttachedDeviceID = Device;
        InputWorks();
    } catch (const std::exception& e) {
        LastError = e.what();
        if (entry != nullptr) {
            Log("Error recording from \"" + entry->Name + "\": " + LastError);
        } else {
            Log("Recording error: " + LastError);
        }
    }
}

void TSlotInfo::InputWorks() {
    if (!SettingsFault.empty()) {
        // The input feeds the meters, but a refused setting keeps the slot
        // from recording: its error stays, and nothing says it records.
        LastError = SettingsFault;
        return;
    }
    LastError.clear();
    Log("Recording from " + AttachedDevice->Name);
}

void TSlotInfo::StopInput() {
    std::lock_guard guard(Lock);
    if (AttachedDevice != nullptr) {
        AttachedDevice->RemoveClient(FInputStream.get());
        if (FMixer) {
            FMixer->RemoveInput(FInputStream.get());
        }
        FInputStream.reset();
        AttachedDeviceID.clear();
        AttachedDevice = nullptr;
    }
    if (FStreamThread) {
        // Terminated first: a connect that the thread publishes after the look
        // below is then refused by the thread itself.
        FStreamThread->Terminate();
        {
            // A connect that hangs is aborted rather than waited out.
            std::lock_guard connecting(FConnectingLock);
            if (FConnecting) {
                FConnecting->Stop();
            }
        }
        FStreamThread.reset(); // its loop frees the stream
        PlayOutStreamTail();
    }
    FInputLost = false;
    FMeter->Reset();
}

void TSlotInfo::CheckInput() {
    std::lock_guard guard(Lock);
    if (AttachedDevice == nullptr) {
        FInputLost = false;
        return;
    }
    const std::uint64_t now = GetMilliseconds();
    AttachedDevice->Watch();
    if (!AttachedDevice->Lost()) {
        if (FInputLost) { // another slot on the same device brought it back
            FInputLost = false;
            InputWorks();
        }
        return;
    }
    if (!FInputLost) {
        FInputLost = true;
        FInputRetryAt = now + InputRetryMs;
        LastError = BassErrorText(AttachedDevice->LostCode());
        Log("Error recording from \"" + AttachedDevice->Name + "\": " + LastError);
        return;
    }
    if (now >= FInputRetryAt) {
        FInputRetryAt = now + InputRetryMs;
        const std::uint64_t abandoned = AttachedDevice->AbandonedCaptures();
        const bool back = AttachedDevice->Recover();
        if (const std::uint64_t now = AttachedDevice->AbandonedCaptures(); now != abandoned) {
            Log("The capture of \"" + AttachedDevice->Name + "\" did not stop and was left behind (" +
                std::to_string(now) + " since start-up)");
        }
        if (back) {
            FInputLost = false;
            InputWorks();
        }
    }
}
