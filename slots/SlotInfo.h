#pragma once

#include "Alarms.h"
#include "AudioDevices.h"
#include "Catalogue.h"
#include "DelayEffect.h"
#include "FFmpegLog.h"
#include "FileEncoder.h"
#include "Meters.h"
#include "Mixer.h"
#include "RepeatedFault.h"
#include "SimpleThread.h"
#include "SlotServices.h"
#include "SlotSettings.h"
#include "SettingsReview.h"
#include "UrlStream.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// One recording channel: its settings, its mixer with one input at a time, the
// pull thread that drains the mixer through the level meter, the byte count and
// the encoder of the open file, its catalogue and its cleanup.
//
// Threads: every operation that changes state runs on the controller's thread
// and holds Lock (re-entrant). The pull thread only pulls the mixer and
// publishes its failures under FPullFaultLock for the controller's CheckPull.
// Request threads read the display fields under Lock and open catalogues
// without it; the peaks and the byte count are atomic. The settings a request
// reads (Name, Source, StreamURL, Folder) change only under Lock while the slot
// lives.
class TSlotInfo : public TSlotSettings {
public:
    using TLogProc = std::function<void(TSlotInfo& slot, const std::string& message)>;

    // Reads section Slot<index> of `settings` and builds the pipeline; attaches nothing.
    TSlotInfo(TSettingsFile& settings, int index, TDeviceCatalogue& devices, TSlotServices services);
    // Finishes the open file, detaches the input, ends the pull thread and writes the section.
    ~TSlotInfo();
    // The first half of the shutdown, run for every slot at once on a thread
    // of its own: the input's last audio into the file and the encoder finished
    // by `deadline` (one for all slots), killed after it. Nothing is logged or
    // stored here; the destructor does that on the controller's thread.
    void FinishRecordingBy(std::chrono::steady_clock::time_point deadline);

    TSlotInfo(const TSlotInfo&) = delete;
    TSlotInfo& operator=(const TSlotInfo&) = delete;

    // Settings. TakeSettings takes over every setting but Enabled under Lock,
    // as the dialog's OK does, and tells what must restart; the caller restarts
    // it (TController::ApplySlotSettings). SettingsRevision counts the changes,
    // so that an editor can tell the settings changed under it.
    TSettingsChange TakeSettings(const TSlotSettings& values);
    std::uint64_t SettingsRevision = 0;
    // Why `values` cannot be taken over: outside the dialog's limits, or a
    // rate or bit rate the encoder does not take; "" when they can. Reads only
    // what never changes, so any thread may call it (it may probe the encoder).
    std::string CheckSettings(const TSlotSettings& values) const;
    // What the start-up check found, for the log; and the refused setting that
    // keeps the slot from recording until a change replaces it (under Lock).
    std::vector<std::string> SettingsNotes;
    std::string SettingsFault;
    // Section Slot<Index> written now, so that a crash keeps a change.
    void SaveSettings() { Write(FSettings, Index); }
    // Whether the settings file holds every write (false after a disk that refused).
    bool SettingsWritten() const { return FSettings.AllWritten(); }

    // Input.
    void StartInput();
    void StopInput();
    // Notices a device that failed while attached, reports it once, and tries
    // every few seconds to open it again.
    void CheckInput();
    // The attached device failed and has not come back (changes under Lock).
    bool InputLost() const { return FInputLost; }

    // Stream input. The status says why the stream is not connected.
    std::string GetStreamStatus() const;
    void SetStreamStatus(const std::string& text);
    // Takes the title from the stream's metadata, when it has one.
    void UpdateStreamTitle();
    bool StreamConnected() const { return FStreamConnected.load(); }
    // How long connecting and each read may wait, and how long a connected
    // stream may deliver nothing before it counts as ended.
    TUrlStream::TTimeouts StreamTimeouts;

    // Files.
    void RestartEncoder();
    void StopEncoder();
    void SetRecording(bool on);
    // Notices an encoder that died while its file was open: completes its row,
    // reports why and starts a new file (at most one retry a minute). A failure
    // that goes on is logged when it starts and then at most once an hour.
    void CheckEncoder();
    // Other threads call these two with Lock held (FEncoder and FileStartBytes change under it).
    bool HasEncoder() const { return FEncoder != nullptr; }
    float CurrentDuration() const;
    // The command line that starts the mp3 or ogg encoder for `path`.
    std::string EncoderCommandLine(TSlotFormat format, const std::string& path) const;

    // Pull.
    // Reports what the pull thread failed with since the last call, once when
    // it starts and at most once an hour while it goes on, and its end.
    void CheckPull();
    // What the pull thread is failing with; "" while it works (changes under Lock).
    const std::string& PullFault() const { return FPullFault.Text(); }
    // The mixer the pull thread draws; null when the rate was refused. Tools
    // that watch the chain (tests, benchmarks) add their processors here.
    TMixer* Mixer() const { return FMixer.get(); }

    // Catalogue. Opening creates the folder and the catalogue when missing and
    // does not hold Lock, so a slow disk never holds up the slot's other users.
    std::unique_ptr<TCatalogue> OpenCatalogue();
    std::unique_ptr<TCatalogue> OpenCatalogue(const std::string& folder);
    // Gives rows left without a duration (a crash, a power cut) the duration of their file.
    void RepairDurations();

    // Cleanup.
    void CleanupByAge();
    bool CleanupBySpace();
    bool DeleteRecording(TCatalogue& db, std::int64_t id, const std::string& path);

    void Log(const std::string& message);

    // Alarms: silence (when SilenceAlarm is on), a lost input (a stream: down
    // for more than SilenceSeconds), a failing encoder, the folder's free space
    // below MinFreeGB, dropped audio. CheckAlarms raises and clears them on the
    // controller's thread; each change is logged, kept in the catalogue's
    // events and told to OnAlarm.
    void CheckAlarms();
    std::vector<TAlarm> Alarms() const;
    bool AlarmActive(TAlarmKind kind) const;
    // How long the recorded audio has stayed below SilenceLevel.
    double SilentSeconds() const;
    int MinFreeGB = 2;
    std::function<void(TSlotInfo& slot, const TAlarmChange& change)> OnAlarm;
    // Totals since the slot was made, changed under Lock.
    std::uint64_t FilesStarted = 0;
    std::uint64_t EncoderRestarts = 0; // new files after an encoder failed
    std::uint64_t DroppedTotal = 0;    // input overflow and encoder pipe full, in bytes
    std::uint64_t StreamReconnections() const { return FStreamReconnections.load(); }

    std::uint64_t BytesProcessed() const { return FCounter->Bytes(); }
    float PeakLeft() const { return FMeter->Left(); }
    float PeakRight() const { return FMeter->Right(); }
    std::uint64_t DroppedBytes() const;
    // Audio the input delivered faster than the slot took it, lost since it was attached.
    std::uint64_t InputDroppedBytes() const;

    // How often a dead encoder is tried again, and how often a failure that
    // goes on is told again; tests shorten them.
    struct TRetryTimes {
        std::uint64_t EncoderRetryMs = 60 * 1000;
        std::uint64_t FaultReminderMs = 3600 * 1000;
        // An MP3 encoder whose file has not grown while this much audio went
        // in counts as dead (lame carries on when its writes fail).
        double StalledFileSeconds = 20;
        // Free space changes slowly: a look now and then is plenty for hundreds of slots.
        std::uint64_t FreeSpaceCheckMs = 10000;
    };
    TRetryTimes RetryTimes;

    const int Index;
    mutable std::recursive_mutex Lock;
    const int ActiveSamplerate;
    TLogProc OnLog;
    // A line for the log from any thread, written later on the controller's.
    TLogProc OnPostLog;

    // Input state, changed under Lock.
    TDeviceInfoWithClients* AttachedDevice = nullptr; // owned by the device catalogue
    std::string AttachedDeviceID;
    std::string LastError;
    std::string StreamTitle;
    std::string ActiveStreamURL;

    // The open file, changed under Lock.
    TSlotFormat EncoderFormat = TSlotFormat::mp3;
    std::string FileFolder;
    std::string CurrentFile;
    int CurrentRecordingID = 0;
    std::uint64_t FileStartTicks = 0;
    std::uint64_t FileStartBytes = 0;

private:
    struct TOpenFile {
        std::shared_ptr<TFileEncoder> Encoder;
        std::string Folder;
        std::string Path;
        int RecordingID = 0;
        std::uint64_t Bytes = 0;
        bool InDoubt = false;  // its encoder stopped writing for a while: the file is measured
        std::string Relative;  // the row's filename and start time, for a row
        std::string StartTime; // the catalogue refused while the file was open
    };
    // A row the catalogue refused (a full disk): written as soon as it takes it.
    struct TPendingRow {
        std::string Folder;
        int Id = 0;                     // 0: not in the catalogue yet
        std::optional<double> Duration; // none: the file held no audio and the row goes
        std::string Relative;           // with Id 0: the row to insert
        std::string StartTime;
    };

    bool ShouldRecord() const;
    std::shared_ptr<TFileEncoder> CreateEncoder(TSlotFormat format, const std::string& path) const;
    // `relative`, or with a number when taken; taken in the open files on return.
    std::string ReserveRelativeName(const std::string& folder, const std::string& relative) const;
    TOpenFile SwapEncoder(std::shared_ptr<TFileEncoder> next);
    // The device lets go and its last audio goes into the file; once.
    void DetachDevice();
    // FFmpeg's lines of a slot's own thread, for its log.
    std::shared_ptr<TFFmpegLog> MakeFFmpegLog();
    void CloseFile(TOpenFile& file);
    // Enters the open file in the catalogue.
    void AddRow();
    // Stores a closed file's duration, or deletes the row of one without audio.
    void FinishRow(const TPendingRow& row);
    void RetryPendingRows();
    // Logs `text` after `first` when the fault begins, after `reminder` when it goes on.
    TRepeatedFault::TTell Report(TRepeatedFault& fault, const std::string& text, std::uint64_t now,
                                 const char* first, const char* reminder);
    void ReportEncoderFailure(const std::string& reason, std::uint64_t now);
    // Reports the failure and starts a new file, or waits for the next retry.
    void EncoderFailed(const std::string& reason, std::uint64_t now);
    // True when the open file has stopped growing while audio went in; a
    // shorter pause puts what it holds in doubt.
    bool FileStalled(std::uint64_t now);
    void ReportCatalogueError(const std::string& message);
    // Deletes a file and the day, month and year folders below `folder` it leaves empty.
    void RemoveFile(const std::string& folder, const std::string& path);
    void RemoveEmptiedFolders(const std::string& folder, const std::string& path);
    void SetAlarm(TAlarmKind kind, bool on, std::chrono::system_clock::time_point since,
                  std::chrono::system_clock::time_point now);
    // The alarm's row in the catalogue's events, 0 when refused; and its end.
    std::int64_t StoreEvent(const TAlarm& alarm);
    void EndEvent(const TAlarm& alarm, std::chrono::system_clock::time_point now);
    void RunPull(TSimpleThread& thread);
    void NotePullFault(const char* text) noexcept;
    void RunStream(TSimpleThread& thread);
    // Returns what the stream had received and not yet played.
    std::shared_ptr<TPushStream> FreeUrlStream();
    // Takes Lock for the stream thread without ever blocking a thread that
    // holds Lock while it stops the stream thread: gives up once terminated.
    std::unique_lock<std::recursive_mutex> LockForStreamThread(const TSimpleThread& thread);

    TSettingsFile& FSettings;
    TDeviceCatalogue& FDevices;
    const TSlotServices FServices;
    std::unique_ptr<TMixer> FMixer;       // null when the rate was refused: the slot records nothing
    std::shared_ptr<TPeakMeter> FMeter = std::make_shared<TPeakMeter>();
    std::shared_ptr<TByteCounter> FCounter = std::make_shared<TByteCounter>();
    std::shared_ptr<TPushStream> FInputStream;
    std::shared_ptr<TFileEncoder> FEncoder;
    TMixer::THandle FEncoderHandle = 0;
    std::uint64_t FEncoderRetryAt = 0; // GetMilliseconds() before which a dead encoder is not restarted
    TRepeatedFault FEncoderFault;      // the encoder keeps dying or cannot start
    int FEncoderRetries = 0;           // new files since the failure began
    bool FFileLogged = false;          // "Encoding to file" has been said for the open file
    TRepeatedFault FCatalogueFault;    // rows cannot be written
    std::vector<TPendingRow> FPendingRows;
    // The shutdown's first half (FinishRecordingBy), for the destructor.
    bool FDetached = false;   // the device has let go and its last audio is in
    TOpenFile FFinishing;     // taken from the mixer and finished, not yet stored
    std::string FFinishError; // what went wrong meanwhile, for the log
    std::string FFileRelative;  // the open file's name in its catalogue
    std::string FFileStartTime; // and its start time there
    bool FFileInDoubt = false;             // the open file stopped growing for a while
    std::uint64_t FGrowthCheckAt = 0;      // GetMilliseconds() of the next look at the file's size
    std::uint64_t FGrowthSize = UINT64_MAX; // the open file's size at the last look
    std::uint64_t FGrowthBytes = 0;        // the byte count when the size last changed
    std::uint64_t FPendingRetryAt = 0;
    bool FInputLost = false;         // the attached device's loss has been reported
    std::uint64_t FInputRetryAt = 0; // GetMilliseconds() of the next attempt to reopen it
    std::unique_ptr<TSimpleThread> FPullThread;
    // What the pull thread failed with: the last text and how many failures.
    std::mutex FPullFaultLock;
    std::string FPullFaultText;        // guarded by FPullFaultLock
    std::uint64_t FPullFaultCount = 0; // guarded by FPullFaultLock
    // Seen by CheckPull on the controller's thread.
    std::uint64_t FPullFaultsSeen = 0;
    std::uint64_t FPullFaultAt = 0;
    TRepeatedFault FPullFault;

    // Alarms, changed under Lock.
    std::vector<TAlarm> FAlarms;
    std::uint64_t FDroppedSeen = 0;     // the drop counts at the last look
    std::uint64_t FLastDropAt = 0;      // GetMilliseconds() of the last drop seen
    std::uint64_t FStreamDownSince = 0; // GetMilliseconds() since the stream is not connected
    std::uint64_t FDiskCheckAt = 0;
    bool FLowDisk = false;

    // Stream input. The stream thread owns FUrlStream. Its callbacks (on the
    // stream's decoding thread) only set flags and wake the stream thread: they
    // never wait for Lock, which the controller's thread may hold while it
    // stops that very stream. The stream thread itself takes Lock only with
    // LockForStreamThread, so StopInput can destroy it while holding Lock.
    std::string StreamStatus;                      // guarded by Lock
    std::unique_ptr<TSimpleThread> FStreamThread;  // controller's thread
    mutable std::mutex FUrlStreamLock;             // guards FUrlStream; held for no more than a copy
    std::shared_ptr<TUrlStream> FUrlStream;        // set and cleared by the stream thread
    std::mutex FConnectingLock;                    // guards FConnecting
    std::shared_ptr<TUrlStream> FConnecting;       // a stream being opened, so that a stop can abort it
    std::atomic<bool> FStreamConnected{false};
    std::atomic<bool> FReconnectPending{false};
    std::atomic<bool> FMetaPending{false};
    std::atomic<std::uint64_t> FStreamReconnections{0};
};
