#include "SlotInfo.h"

#include "basserrors.h"

#include <pthread.h>
#include <vector>

TSlotInfo::TSlotInfo(TSettingsFile& settings, int index, TDeviceCatalogue& devices, TSlotServices services)
    : Index(index),
      ActiveSamplerate([&] {
          Read(settings, index, services.MusicFolder);
          return Samplerate;
      }()),
      FSettings(settings), FDevices(devices), FServices(std::move(services)) {
    try {
        FMixer = std::make_unique<TMixer>(ActiveSamplerate);
    } catch (const TAudioError& e) {
        LastError = e.what();
        return;
    }
    if (RecordDelay > 0) {
        FMixer->AddProcessor(std::make_shared<TDelayEffect>(ActiveSamplerate, RecordDelay), 100);
    }
    FMixer->AddProcessor(FMeter, 0);
    FMixer->AddProcessor(FCounter, 0);
    FPullThread = std::make_unique<TSimpleThread>(true, [this](TSimpleThread& t) { RunPull(t); });
    FPullThread->Resume();
}

TSlotInfo::~TSlotInfo() {
    if (AttachedDevice != nullptr) {
        AttachedDevice->RemoveClient(FInputStream.get());
        // What the device delivered before it let go still belongs in the file.
        if (FMixer) {
            std::vector<float> rest(static_cast<std::size_t>(FMixer->Seconds2Bytes(1.0) / sizeof(float)));
            while (FMixer->GetData(rest.data(), rest.size() * sizeof(float)) > 0) {
            }
        }
    }
    try {
        StopEncoder();
    } catch (const std::exception& e) {
        Log(std::string("Error updating database: ") + e.what());
    }
    StopInput();
    FPullThread.reset();
    Write(FSettings, Index);
}

void TSlotInfo::RunPull(TSimpleThread& thread) {
    pthread_setname_np(pthread_self(), "slot-pull");
    const std::size_t bytes = static_cast<std::size_t>(FMixer->Seconds2Bytes(2.0));
    // Not value-initialised: an idle slot never touches (and so never keeps) these pages.
    std::unique_ptr<float[]> buffer(new float[bytes / sizeof(float)]);
    while (!thread.Terminated()) {
        FMixer->GetData(buffer.get(), bytes);
        // A wakeable wait, so that a slot being destroyed does not wait out the period.
        thread.WaitForWake(100);
    }
}

void TSlotInfo::Log(const std::string& message) {
    if (OnLog) {
        OnLog(*this, Name + ": " + message);
    }
}
