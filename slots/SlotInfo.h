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
#include "SerialWorker.h"
#include "SimpleThread.h"
#include "SlotServices.h"
#include "SlotSettings.h"
#include "SettingsReview.h"
#include "UrlStream.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

// One recording channel: its settings, its mixer with one input at a time, the
// pull thread that drains the mixer through the level meter, the byte count and
// the encoder of the open file, its catalogue and its cleanup.
//
// Threads: every operation that changes state holds Lock (re-entrant). The
// controller runs them on the slot's own worker (see TController), so that a
// folder that hangs holds up this slot alone; the controller's thread and
// request threads read under Lock with a time limit and make do without when
// it runs out. The pull thread only pulls the mixer and publishes its failures
// under FPullFaultLock for CheckPull. Old encoders finish on FCloser, outside
// Lock. The peaks and the byte count are atomic. The settings a request reads
// (Name, Source, StreamURL, Folder) change only under Lock while the slot lives.
class TSlotInfo : public TSlotSettings {
public:
    using TLogProc = std::function<void(TSlotInfo& slot, const std::string& message)>;

    // Reads section Slot<index> of `settings` and builds the pipeline; attaches nothing.
    TSlotInfo(TSettingsFile& settings, int index, TDeviceCatalogue& devices, TSlotServices services);
    // Finishes the open file, detaches the input, ends the pull thread and writes the section.
    ~TSlotInfo();
    // The first half of the shutdown, run for every slot at once on a thread
    // of its own: the input's last audio into the file, the encoder finished
    // by `deadline` (one for all slots) and killed after it, the file's row
    // and the alarms' ends stored, the input closed. What it logs waits in
    // TakeDeferredLog, for the controller's thread; the destructor logs what is left.
    void FinishRecordingBy(std::chrono::steady_clock::time_point deadline);
    std::vector<std::string> TakeDeferredLog();

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
    // At start-up, before anything else uses the catalogue: writes what the
    // last run kept in the folder's journal, repairs durations and enters the
    // recordings that have no row.
    void RecoverCatalogue();
    // Gives rows left without a duration (a crash, a power cut) the duration of their file.
    void RepairDurations();
    // Enters every recording file of the folder (this program's names only)
    // that has no row, with its measured duration; returns how many.
    int AddMissingRows();
    // The file beside the catalogue that keeps refused rows from one run to the next.
    static constexpr const char* JournalName = "RudazOdudad.pending";

    // Cleanup.
    void CleanupByAge();
    bool CleanupBySpace();
    // Deletes the row and its file when the file lies inside the slot's folder.
    bool DeleteRecording(TCatalogue& db, std::int64_t id, const std::string& filename);
    // True when `folder` already holds a catalogue with rows: its cleanup waits for a confirmation.
    static bool FolderTakesOverRecordings(const std::string& folder);

    void Log(const std::string& message);

    // Alarms: silence (when SilenceAlarm is on), a lost input (a stream: down
    // for more than SilenceSeconds), a failing encoder, the folder's free space
    // below MinFreeGB, dropped audio, and a started slot whose audio has not
    // reached an open file for NotRecordingSeconds, whatever kept it.
    // CheckAlarms raises and clears them on the slot's worker; each
    // change is logged, kept in the catalogue's events and told to OnAlarm.
    void CheckAlarms();
    std::vector<TAlarm> Alarms() const;
    // The alarm of a folder that does not answer: the slot's work is stuck in
    // it (and holds Lock), so the controller's thread raises and clears it from
    // outside, under a lock of its own; its event is stored once the folder
    // answers again. `stuckMs`: how long the slot's work has been stuck.
    void SetFolderAlarm(bool on, std::uint64_t stuckMs);
    std::optional<TAlarm> FolderAlarm() const;
    bool AlarmActive(TAlarmKind kind) const;
    // How long the recorded audio has stayed below SilenceLevel.
    double SilentSeconds() const;
    int MinFreeGB = 2;
    // The folder's free space at the last look (every FreeSpaceCheckMs); nothing before one.
    std::optional<std::uint64_t> FreeBytes() const {
        const std::int64_t bytes = FFreeBytes.load();
        return bytes >= 0 ? std::optional<std::uint64_t>(static_cast<std::uint64_t>(bytes)) : std::nullopt;
    }
    int NotRecordingSeconds = 30;
    std::function<void(TSlotInfo& slot, const TAlarmChange& change)> OnAlarm;
    // Totals since the slot was made, changed under Lock.
    std::uint64_t FilesStarted = 0;
    std::uint64_t EncoderRestarts = 0; // new files after an encoder failed
    std::uint64_t DroppedTotal = 0;    // input overflow and encoder pipe full, in bytes
    std::uint64_t StreamReconnections() const { return FStreamReconnections.load(); }

    std::uint64_t BytesProcessed() const { return FCounter->Bytes(); }
    // The last block's peaks; 0 once no block has come for a moment (an input
    // lost or not attached, a stream down), so that no meter shows old audio.
    float PeakLeft() const { return FMeter->Since() < PeakHoldTime ? FMeter->Left() : 0.0f; }
    float PeakRight() const { return FMeter->Since() < PeakHoldTime ? FMeter->Right() : 0.0f; }
    // Several pull periods, so that a busy machine does not make meters flicker.
    static constexpr auto PeakHoldTime = std::chrono::milliseconds(500);
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
        // Dropped audio is in alarm until none has been dropped for this long.
        std::uint64_t DropClearMs = 10000;
    };
    TRetryTimes RetryTimes;

    const int Index;
    mutable std::recursive_timed_mutex Lock;
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

    // A write the catalogue refused (a full disk, a database another program
    // holds): done as soon as it takes it, kept in the folder's journal at shutdown.
    struct TPendingRow {
        std::string Folder;
        std::int64_t Id = 0;            // 0: not in the catalogue yet
        std::optional<double> Duration; // none: the file held no audio and the row goes
        std::string Relative;           // with Id 0: the row to insert
        std::string StartTime;
        // An alarm's event instead of a recording: its kind, text and end ("": goes on).
        std::string EventKind;
        std::string EventText;
        std::string EndTime;
        std::int64_t Ticket = 0; // the alarm's EventId (-Ticket) until the insert is done
        bool IsEvent() const { return !EventKind.empty(); }
    };

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
    bool ShouldRecord() const;
    // The attached input delivers (again): the error goes and the log says so.
    void InputWorks();
    std::shared_ptr<TFileEncoder> CreateEncoder(TSlotFormat format, const std::string& path) const;
    // `relative`, or with a number when taken; taken in the open files on return.
    std::string ReserveRelativeName(const std::string& folder, const std::string& relative) const;
    // Makes the file's folders and the empty file, for the encoder to open.
    static void CreateRecordingFile(const std::string& path);
    TOpenFile SwapEncoder(std::shared_ptr<TFileEncoder> next);
    // The device lets go and its last audio goes into the file; once.
    void DetachDevice();
    // FFmpeg's lines of a slot's own thread, for its log.
    std::shared_ptr<TFFmpegLog> MakeFFmpegLog();
    // Finishes the file's encoder on FCloser; its row is completed at once when
    // it ends within a moment, else by CheckEncoder (SettleClosing) when it has.
    void CloseFile(TOpenFile& file);
    void CompleteClose(TOpenFile& file, std::shared_future<void> finished);
    // Completes the rows of files whose encoders have finished; with `wait`,
    // waits for all of them (at the latest until `deadline`).
    void SettleClosing(bool wait, std::chrono::steady_clock::time_point deadline = {});
    // Enters the open file in the catalogue.
    void AddRow();
    // Stores a closed file's duration, or deletes the row of one without audio.
    void FinishRow(const TPendingRow& row);
    void RetryPendingRows();
    // Writes `rows` with one connection a folder; a folder that refuses keeps
    // the rest of its rows pending. Returns false when any was refused.
    bool ApplyPending(std::vector<TPendingRow> rows);
    void ApplyRow(TCatalogue& db, const TPendingRow& row);
    // The journal: rows still refused at shutdown, replayed at the next start.
    void SavePendingRows();
    void ReplayJournal();
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
    // True (logged once) while CleanupConfirmed is off; under Lock.
    bool CleanupWaitsForConfirmation();
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
    // What a stream received and had not yet played goes into the open file
    // before it closes: an ended stream's tail, or the live one's queue (which
    // then plays on from `live`). Under Lock.
    void PlayOutQueued(const std::shared_ptr<TPushStream>& queued, const std::shared_ptr<TAudioSource>& live);
    void PlayOutStreamTail();
    // Takes Lock for the stream thread without ever blocking a thread that
    // holds Lock while it stops the stream thread: gives up once terminated.
    std::unique_lock<std::recursive_timed_mutex> LockForStreamThread(const TSimpleThread& thread);

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
    std::int64_t FLastTicket = 0;
    // At shutdown a refusing folder is asked once, the journal takes the rest.
    bool FShuttingDown = false;
    std::vector<std::string> FRefusedFolders;
    // The shutdown's first half (FinishRecordingBy), for the destructor.
    bool FDetached = false;   // the device has let go and its last audio is in
    TOpenFile FFinishing;     // taken from the mixer and finished, not yet stored
    std::string FFinishError; // what went wrong meanwhile, for the log
    // From FinishRecordingBy on, Log keeps the lines here (under FDeferredLogLock).
    std::atomic<bool> FDeferLog{false};
    std::mutex FDeferredLogLock;
    std::vector<std::string> FDeferredLog;
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

    // Files whose encoders are still finishing on FCloser, under Lock.
    struct TClosing {
        TOpenFile File;
        std::shared_future<void> Finished;
    };
    std::vector<TClosing> FClosing;
    TSerialWorker FCloser{"slot-close"};

    // Alarms, changed under Lock.
    std::vector<TAlarm> FAlarms;
    // Cleanup, under Lock: rows kept as outside the folder (logged once) and the wait for a confirmation.
    std::set<std::int64_t> FOutsideRows;
    bool FCleanupWaitLogged = false;
    mutable std::mutex FFolderAlarmLock; // guards the three below; held for a copy
    std::optional<TAlarm> FFolderAlarm;
    std::string FFolderInUse; // Folder, as the last check saw it
    std::vector<std::pair<TAlarm, std::chrono::system_clock::time_point>> FFolderEventsDue; // ended, not stored
    void StoreFolderEvents();
    // A drop count as last seen. Each file's encoder and each input count
    // from zero; Take tells what was added, so the total never goes back.
    struct TDropsSeen {
        std::weak_ptr<const void> Source; // held so that a new one never takes its address
        std::uint64_t Count = 0;
        std::uint64_t Take(const std::shared_ptr<const void>& source, std::uint64_t count);
    };
    TDropsSeen FEncoderDropsSeen;
    TDropsSeen FInputDropsSeen;
    std::uint64_t FAudioSeenAt = 0;    // GetMilliseconds() when audio last reached an open file
    std::uint64_t FAudioBytesSeen = 0; // the byte count then
    std::uint64_t FLastDropAt = 0;      // GetMilliseconds() of the last drop seen
    std::uint64_t FStreamDownSince = 0; // GetMilliseconds() since the stream is not connected
    std::uint64_t FDiskCheckAt = 0;
    std::atomic<std::int64_t> FFreeBytes{-1}; // -1: not known
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
    std::shared_ptr<TPushStream> FStreamTail;      // set by the ended stream thread, taken after its join
    std::mutex FConnectingLock;                    // guards FConnecting
    std::shared_ptr<TUrlStream> FConnecting;       // a stream being opened, so that a stop can abort it
    std::atomic<bool> FStreamConnected{false};
    std::atomic<bool> FReconnectPending{false};
    std::atomic<bool> FMetaPending{false};
    std::atomic<std::uint64_t> FStreamReconnections{0};
};
