#include "SlotInfo.h"

#include "basserrors.h"

#include <pthread.h>
#include <utility>
#include <vector>

namespace {

// A pull that has not failed for this long is taken to work again.
constexpr std::uint64_t PullRecoveryMs = 2000;

} // namespace

TSlotInfo::TSlotInfo(TSettingsFile& settings, int index, TDeviceCatalogue& devices, TSlotServices services)
    : Index(index),
      ActiveSamplerate([&] {
          Read(settings, index, services.MusicFolder);
          return Samplerate;
      }()),
      FSettings(settings), FDevices(devices), FServices(std::move(services)) {
    FFolderInUse = Folder;
    TSettingsReview review = ReviewSlotSettings(*this, settings, index, FServices.Encoders.get());
    SettingsNotes = std::move(review.Notes);
    SettingsFault = review.Refusal;
    if (review.RateRefused) {
        LastError = SettingsFault; // no mixer runs at a rate the encoder cannot record
        return;
    }
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

void TSlotInfo::DetachDevice() {
    if (FDetached || AttachedDevice == nullptr) {
        return;
    }
    FDetached = true;
    AttachedDevice->RemoveClient(FInputStream.get());
    // What the device delivered before it let go still belongs in the file.
    if (FMixer) {
        try {
            std::vector<float> rest(static_cast<std::size_t>(FMixer->Seconds2Bytes(1.0) / sizeof(float)));
            while (FMixer->GetData(rest.data(), rest.size() * sizeof(float)) > 0) {
            }
        } catch (const std::exception& e) {
            FFinishError = std::string("Recording error: ") + e.what();
        }
    }
}

void TSlotInfo::FinishRecordingBy(std::chrono::steady_clock::time_point deadline) {
    // Everything here may block on a device or a folder: the controller leaves
    // this thread behind if it does, so its lines wait for the controller too.
    FDeferLog = true;
    std::lock_guard guard(Lock);
    try {
        DetachDevice();
        StopInput(); // a stream's queued audio goes into the file first
        if (!FFinishError.empty()) {
            Log(std::exchange(FFinishError, ""));
        }
        FFinishing = SwapEncoder(nullptr);
        CurrentRecordingID = 0;
        if (FFinishing.Encoder) {
            FFinishing.Encoder->FinishBy(deadline);
        }
        CloseFile(FFinishing);
    } catch (const std::exception& e) {
        Log(std::string("Error updating database: ") + e.what());
    }
    // The record of an alarm ends where the logger stopped watching.
    try {
        const auto now = FServices.Now();
        for (const TAlarm& alarm : FAlarms) {
            EndEvent(alarm, now);
        }
        FAlarms.clear();
    } catch (const std::exception& e) {
        Log(std::string("Error updating database: ") + e.what());
    }
}

std::vector<std::string> TSlotInfo::TakeDeferredLog() {
    std::lock_guard guard(FDeferredLogLock);
    return std::exchange(FDeferredLog, {});
}

TSlotInfo::~TSlotInfo() {
    FDeferLog = false; // the finishing thread, if any, has ended
    for (const std::string& line : TakeDeferredLog()) {
        Log(line);
    }
    DetachDevice();
    if (!FFinishError.empty()) {
        Log(FFinishError);
    }
    // Rows still refused get one last try; a catalogue that refuses is asked
    // no more, and the journal keeps them for the next start.
    FShuttingDown = true;
    try {
        std::lock_guard guard(Lock);
        RetryPendingRows();
        CloseFile(FFinishing); // finished already, by FinishRecordingBy
    } catch (const std::exception& e) {
        Log(std::string("Error updating database: ") + e.what());
    }
    try {
        StopEncoder();
        std::lock_guard guard(Lock);
        SettleClosing(true); // files closed earlier whose encoders took long
    } catch (const std::exception& e) {
        Log(std::string("Error updating database: ") + e.what());
    }
    StopInput();
    FPullThread.reset();
    try {
        const auto now = FServices.Now();
        for (const TAlarm& alarm : FAlarms) {
            EndEvent(alarm, now);
        }
    } catch (const std::exception& e) {
        Log(std::string("Error updating database: ") + e.what());
    }
    try {
        std::lock_guard guard(Lock);
        SavePendingRows();
    } catch (const std::exception& e) {
        Log(std::string("Error saving rows for the next start: ") + e.what());
    }
    Write(FSettings, Index);
}

std::shared_ptr<TFFmpegLog> TSlotInfo::MakeFFmpegLog() {
    return std::make_shared<TFFmpegLog>([this](const std::string& line) {
        if (OnPostLog) {
            OnPostLog(*this, "FFmpeg: " + line);
        }
    });
}

void TSlotInfo::RunPull(TSimpleThread& thread) {
    pthread_setname_np(pthread_self(), "slot-pull");
    const TFFmpegLog::TScope logScope(MakeFFmpegLog()); // the WMA encoder's
    const std::size_t bytes = static_cast<std::size_t>(FMixer->Seconds2Bytes(2.0));
    // Not value-initialised: an idle slot never touches (and so never keeps) these pages.
    std::unique_ptr<float[]> buffer(new float[bytes / sizeof(float)]);
    while (!thread.Terminated()) {
        try {
            FMixer->GetData(buffer.get(), bytes);
        } catch (const std::exception& e) {
            NotePullFault(e.what());
        } catch (...) {
            NotePullFault("unknown error");
        }
        // A wakeable wait, so that a slot being destroyed does not wait out the period.
        thread.WaitForWake(100);
    }
}

void TSlotInfo::NotePullFault(const char* text) noexcept {
    std::lock_guard guard(FPullFaultLock);
    ++FPullFaultCount;
    try {
        if (FPullFaultText != text) {
            FPullFaultText = text;
        }
    } catch (...) {
        // Out of memory for the text itself: the count still tells.
    }
}

void TSlotInfo::CheckPull() {
    std::lock_guard guard(Lock);
    std::string text;
    std::uint64_t count = 0;
    {
        std::lock_guard fault(FPullFaultLock);
        text = FPullFaultText;
        count = FPullFaultCount;
    }
    const std::uint64_t now = GetMilliseconds();
    if (count != FPullFaultsSeen) {
        FPullFaultsSeen = count;
        FPullFaultAt = now;
        Report(FPullFault, text, now, "Recording error: ", "Recording still failing: ");
        LastError = text;
    } else if (FPullFault.Active() && now - FPullFaultAt >= PullRecoveryMs) {
        if (LastError == FPullFault.Text()) {
            LastError.clear();
        }
        FPullFault.End();
        Log("Recording again");
    }
}

TRepeatedFault::TTell TSlotInfo::Report(TRepeatedFault& fault, const std::string& text, std::uint64_t now,
                                        const char* first, const char* reminder) {
    const auto tell = fault.Occurred(text, now, RetryTimes.FaultReminderMs);
    if (tell != TRepeatedFault::TTell::Nothing) {
        Log((tell == TRepeatedFault::TTell::First ? first : reminder) + text);
    }
    return tell;
}

void TSlotInfo::Log(const std::string& message) {
    if (FDeferLog.load()) {
        std::lock_guard guard(FDeferredLogLock);
        FDeferredLog.push_back(message);
        return;
    }
    if (OnLog) {
        OnLog(*this, Name + ": " + message);
    }
}

TSettingsChange TSlotInfo::TakeSettings(const TSlotSettings& values) {
    std::lock_guard guard(Lock);
    const TSettingsChange change = CompareSlotSettings(*this, values);
    const bool enabled = Enabled; // started and stopped by its own commands
    const bool newFolder = values.Folder != Folder;
    static_cast<TSlotSettings&>(*this) = values;
    Enabled = enabled;
    if (newFolder) {
        // Rows another slot (or an old archive) left there follow their own rules until the user agrees.
        CleanupConfirmed = !FolderTakesOverRecordings(Folder);
        FOutsideRows.clear();
    }
    KeptTexts.clear(); // the new values replace the refused texts
    if (FMixer) {
        SettingsFault.clear(); // checked by the caller; a refused rate waits for the next start
    }
    ++SettingsRevision;
    return change;
}

std::string TSlotInfo::CheckSettings(const TSlotSettings& values) const {
    const std::string outside = CheckRanges(values);
    return !outside.empty() ? outside : CheckRecording(values, ActiveSamplerate, FServices.Encoders.get());
}
