#pragma once

#include "Catalogue.h"
#include "CommandQueue.h"

#include <chrono>
#include <memory>
#include <string>

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
};
