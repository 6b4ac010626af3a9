#pragma once

#include "Catalogue.h"
#include "CommandQueue.h"
#include "SlotSettings.h"

#include <chrono>
#include <functional>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct TWebAlarm {
    std::string Kind;  // "silence", "input_lost", ...
    std::string Since; // local "YYYY-MM-DD hh:mm:ss"
    std::string Text;
    std::int64_t EventId = 0; // its row in the events, 0 for none
};

// What a request reads of one slot, copied under the slot's lock so that the
// request works on a consistent picture afterwards.
struct TWebSlotState {
    std::string Name;
    std::string SourceText; // "" without a source, the device's name or "Error", the stream URL
    std::string Folder;
    bool Recording = false; // a file is open
    std::string Error;      // what keeps the slot from recording, as its row shows it; "" when nothing
    int CurrentRecordingID = 0;
    float CurrentDuration = 0; // seconds in the open file so far

    // What the status and the metrics tell.
    std::string StateName; // "recording", "stopped", "disabled", "connecting" or "error"
    std::string File;      // the open file, "" for none
    double Elapsed = 0;    // seconds since the open file began
    std::string LastError;
    float PeakLeft = 0; // of the last block, 1.0 = full scale
    float PeakRight = 0;
    double SilenceSeconds = 0;
    std::vector<TWebAlarm> Alarms;
    std::uint64_t BytesWritten = 0; // audio handed to the encoders since start
    std::uint64_t DroppedBytes = 0;
    std::uint64_t FilesStarted = 0;
    std::uint64_t EncoderRestarts = 0;
    std::uint64_t StreamReconnections = 0;
    std::optional<std::uint64_t> FreeBytes; // in the slot's folder at its last look; nothing before one
};

// A slot's settings as the web settings view shows them.
struct TWebSlotSettings {
    TSlotSettings Values;
    std::string DeviceName;                                  // the catalogue's name of Values.Device, "" for none
    std::vector<std::pair<std::string, std::string>> Devices; // every input: ID, name, in catalogue order
    std::uint64_t Revision = 0;                              // counts the slot's settings changes
};

// A change to a slot's settings, merged into `values` (a copy of `current`'s);
// "" when it could be merged, otherwise why not. It may run more than once, on
// any thread. The merged values are then checked as the dialog's are; a
// refusal changes nothing.
using TSettingsEdit = std::function<std::string(TSlotSettings& values, const TWebSlotSettings& current)>;

// What became of a change of settings.
struct TSettingsOutcome {
    enum class TKind { Applied, Refused, Busy };
    TKind Kind = TKind::Busy;
    std::string Reason;   // Refused: which setting is wrong; Busy: why it was not done now
    TSlotSettings Before; // Applied: the settings it replaced, and those in force now
    TSlotSettings After;
    bool Written = false; // Applied: the settings file holds the change
};

// The slots as request threads may use them: read a state, open a catalogue
// connection of their own, post a command. Every method is safe on any thread.
class TWebSlots {
public:
    virtual ~TWebSlots() = default;
    virtual int Count() const = 0;
    // `index` must be below Count().
    virtual TWebSlotState State(int index) const = 0;
    // A connection to the catalogue in `folder` (the one State gave), creating
    // the folder and the table when missing.
    virtual std::unique_ptr<TCatalogue> OpenCatalogue(int index, const std::string& folder) = 0;
    // Carried out later on the controller's thread; an index outside the slots is
    // ignored there. False when too many commands wait already.
    virtual bool PostCommand(TSlotCommand command) = 0;
    // A line for the slot's log (its name goes in front), written later on the controller's thread.
    virtual void PostLog(int index, const std::string& message) = 0;
    // A line for the web server's log, written later on the controller's thread.
    virtual void PostServerLog(const std::string& message) = 0;
    // The clock the slots run on.
    virtual std::chrono::system_clock::time_point Now() const = 0;
    virtual double UptimeSeconds() const = 0;
    // Sound-card captures left behind, blocked in their library, since start-up.
    virtual std::uint64_t AbandonedCaptures() const { return 0; }
    virtual std::string Version() const = 0;
    // Bytes free in `folder`; nothing when it cannot be told.
    virtual std::optional<std::uint64_t> FreeSpace(const std::string& folder) const = 0;

    // The settings, read and changed on the controller's thread; the request
    // waits for it, and gets nothing when it did not answer in time.
    virtual std::optional<TWebSlotSettings> ReadSettings(int index) = 0;
    // Checks the change (the encoder's probes run on the calling thread's
    // behalf, never on the controller's), then applies and writes it on the
    // controller's thread and answers after that. `origin` completes the log
    // line "Settings of slot N changed <origin>".
    virtual TSettingsOutcome ChangeSettings(int index, TSettingsEdit edit, const std::string& origin) = 0;
    virtual std::optional<int> NextSlotCount() = 0;
    virtual bool SetNextSlotCount(int count, const std::string& origin) = 0;
    // The sample rates and bit rates the encoder of `format` takes (bit rates
    // at that rate and the mode's channel count).
    virtual std::vector<int> OfferedSamplerates(TSlotFormat format) const = 0;
    virtual std::vector<int> OfferedBitrates(TSlotFormat format, int samplerate, TSlotMode mode) const = 0;
};
