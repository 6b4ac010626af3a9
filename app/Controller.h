#pragma once

#include "AlarmHook.h"
#include "AudioDevices.h"
#include "CommandQueue.h"
#include "SettingsStore.h"
#include "SlotInfo.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// The recorder without a window: owns the slots from start-up to shutdown, runs
// the 100 ms tick that rotates files and cleans up at every change of the local
// hour, carries out start and stop commands, and keeps the two message logs.
//
// Threads: the controller lives on the thread that owns it (the controller's
// thread). Each slot's work (its checks, rotation, cleanup, commands and
// settings) runs on that slot's own worker: a folder that hangs holds up its
// slot alone. The tick hands every idle slot its checks and waits for them at
// most TickWait; a slot still busy is left to finish and is not handed more
// until it has, and one busy for FolderTimeout is in alarm
// (folder_not_answering). PostSlotCommand, PostSlotLog, PostWebServerLog,
// PostTask, Now, UptimeSeconds and FreeSpace may be called from any thread; the
// slots' log lines and alarm hooks from their workers are handed to the
// controller's thread. Alarm hooks run on threads of their own.
// What a change of a slot's settings did.
struct TSettingsApplied {
    bool Input = false;     // the input was started again
    bool Output = false;    // a new file was begun
    bool Written = false;   // the slot's section is in the settings file
    bool Recording = false; // an encoder is open afterwards
};

class TController {
public:
    static constexpr std::size_t MaxLogLines = 1000;
    static constexpr int TickMs = 100;
    // At shutdown every encoder has this long, all at once, to finish its file.
    static constexpr auto FinishTimeout = std::chrono::seconds(10);
    // A slot still finishing this long after FinishTimeout is left behind
    // with this line, so that the other slots' rows and settings are stored.
    static constexpr auto AbandonGrace = std::chrono::seconds(2);
    static constexpr const char* AbandonedText =
        "the recording did not finish in time and was abandoned; its last file may lack its ending and its row";
    static constexpr int DefaultSlots = 4;
    static constexpr int MaxSlots = 255;
    // A slot whose work has not returned for this long is waiting for its folder.
    static constexpr std::uint64_t FolderTimeoutMs = 5000;

    // How long the tick, a command or a settings change waits for slots' work
    // before it goes on without (tests that step the clock wait longer).
    std::chrono::milliseconds TickWait{1000};
    // How long the start waits for the slots' first work (durations left by a crash).
    static constexpr auto StartWait = std::chrono::seconds(5);
    // N: key Slots of section General, brought into 0 ... MaxSlots.
    static int ReadSlotCount(const TSettingsFile& settings);
    static void WriteSlotCount(TSettingsStore& settings, int count);

    enum class TLogKind { Slots, WebServer };
    // Told of every stamped log line (the window shows them; the headless
    // program mirrors them to standard error).
    using TLogSink = std::function<void(TLogKind kind, const std::string& line)>;

    // Creates the slots in index order; each reads its section, logs through the
    // controller and attaches its input. No file is opened before the first tick.
    TController(TSettingsFile& settings, TDeviceCatalogue& devices, int slotCount, TSlotServices services,
                TLogSink sink = {});
    // Frees the slots in index order: each finishes its file and writes its section.
    ~TController();

    TController(const TController&) = delete;
    TController& operator=(const TController&) = delete;

    void timTimerTimer();

    // The Start and Stop buttons and the remote commands.
    void SetRecording(int index, bool on);
    // False when the queue is full.
    bool PostSlotCommand(TSlotCommand command) { return FCommands.Post(command); }
    // A line for slot `index`'s log from another thread; logged by ProcessCommands.
    // Lines beyond what the log keeps are dropped until then, and counted in the log.
    void PostSlotLog(int index, const std::string& message);
    // The same for the web server's log.
    void PostWebServerLog(const std::string& message) { PostSlotLog(WebServerLogIndex, message); }
    std::chrono::system_clock::time_point Now() const { return FServices.Now(); }
    double UptimeSeconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - FStartedAt).count();
    }
    std::optional<std::uint64_t> FreeSpace(const std::string& folder) const {
        return FServices.FreeSpace ? FServices.FreeSpace(folder) : std::nullopt;
    }
    void ProcessCommands();
    // When no slot has an input (a first run): where the settings are, the
    // inputs there are (as --list-devices prints them) and how a slot gets one.
    void GuideNewcomer(const std::string& settingsFile, const TDeviceCatalogue& devices);

    // After a slot took over new settings (the dialog's OK): restarts what
    // changed, writes the slot's section at once and, with an `origin` such as
    // "from the web by admin at 192.0.2.7", logs "Settings of slot N changed <origin>".
    void ApplySlotSettings(int index, bool inputChanged, bool outputChanged, const std::string& origin = "");
    // Settings for slot `index` from elsewhere than the dialog, checked by the
    // caller: taken over and applied as the dialog's are. Nothing when the
    // slot's worker did not get to it within TickWait (it is done when it does).
    std::optional<TSettingsApplied> ChangeSlotSettings(int index, const TSlotSettings& values,
                                                       const std::string& origin);
    // The number of slots at the next start; a change is written at once.
    int NextSlotCount() const { return FNextSlotCount; }
    void SetNextSlotCount(int count, const std::string& origin);
    const TDeviceCatalogue& Devices() const { return FDevices; }
    // What the encoders take (any thread); null when not checked.
    TEncoderCapabilities* Encoders() const { return FServices.Encoders.get(); }

    // Work for the controller's thread from another thread, run by
    // ProcessCommands in posted order. False when too many tasks wait already.
    bool PostTask(std::function<void()> task);

    void LogSlotMessage(TSlotInfo& slot, const std::string& text);
    void LogWebServerMessage(const std::string& text);
    const std::deque<std::string>& SlotLog() const { return FSlotLog; }
    const std::deque<std::string>& WebServerLog() const { return FWebServerLog; }

    // The window's UpdateSlotButtons, called after commands, the dialog and each new hour.
    std::function<void()> OnUpdateSlotButtons;

    const std::vector<std::unique_ptr<TSlotInfo>>& Slots() const { return FSlots; }
    // Waits until every slot's work is done, at most `limit`; true when it is.
    bool WaitForSlots(std::chrono::milliseconds limit);
    std::int64_t LastHour() const { return FLastHour; }

private:
    static constexpr int WebServerLogIndex = -1; // in FPostedLog
    static constexpr int SlotLineIndex = -2;     // a slot's line, stamped with its name already
    void AppendLog(TLogKind kind, std::deque<std::string>& log, const std::string& text);
    void UpdateSlotButtons();
    // Runs one slot operation; what escapes it becomes that slot's log line.
    bool Guarded(TSlotInfo& slot, const std::function<void()>& operation);
    bool OnControllerThread() const { return std::this_thread::get_id() == FThread; }
    // Queues `work` on the slot's worker and waits for it at most TickWait.
    void RunOnSlot(std::size_t index, std::function<void()> work);
    std::optional<TSettingsApplied> ApplyOnSlot(std::size_t index, std::optional<TSlotSettings> values,
                                                TSettingsChange change, const std::string& origin);
    // The tick's checks of one slot, and at a new hour its rotation and cleanup by age.
    void TickSlot(TSlotInfo& slot, bool newHour);
    // Deletes by free space from slot `index` on, one slot after another on their workers.
    void CleanupBySpaceFrom(std::size_t index);
    // Raises and clears folder_not_answering from how long each slot's work has run.
    void WatchFolders();
    // Lines and hook runs that the slots' workers handed over.
    void TakePosted();

    const TSlotServices FServices;
    TSettingsFile& FSettings;
    TDeviceCatalogue& FDevices;
    TLogSink FSink;
    int FNextSlotCount = 0;
    const std::thread::id FThread = std::this_thread::get_id();
    std::vector<std::unique_ptr<TSlotInfo>> FSlots;
    // One per slot, by index; stopped before the slots are freed.
    std::vector<std::unique_ptr<TSerialWorker>> FWorkers;
    std::int64_t FLastHour = 0;
    TCommandQueue FCommands;
    std::mutex FPostedLogLock; // guards FPostedLog; held only to add or take lines
    std::vector<std::pair<int, std::string>> FPostedLog;
    std::uint64_t FPostedDropped = 0; // guarded by FPostedLogLock: lines beyond MaxLogLines
    static constexpr std::size_t MaxTasks = 100;
    std::mutex FTaskLock; // guards FTasks; held only to add or take them
    std::vector<std::function<void()>> FTasks;
    std::deque<std::string> FSlotLog;
    std::deque<std::string> FWebServerLog;
    const std::chrono::steady_clock::time_point FStartedAt = std::chrono::steady_clock::now();
    // Last: its runs post log lines until it is gone.
    std::unique_ptr<TAlarmHook> FHook;
};
