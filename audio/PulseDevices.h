#pragma once

#include "AudioDevices.h"

#include <memory>
#include <string>

// A source of the PulseAudio server (PipeWire's pulse server included), listed
// under the "WASAPI:" IDs that settings written on Windows already use.
//
// Each opening gets a server connection and a mainloop thread of its own, so a
// device that fails (its server gone, the source removed) can be closed and
// opened again from scratch without touching the other devices.
//
// Threads: Open and Close come from the base class under its open lock. The
// mainloop thread delivers audio through PushToClients and reports a failure
// with ReportLost; it takes no lock of this class, so Close may stop it (and
// wait for it) while the base class holds its open lock.
class TWASAPIDeviceInfo : public TDeviceInfoWithClients {
public:
    // `source` is the server's name of the source ("sine", "null.monitor").
    TWASAPIDeviceInfo(int index, std::string name, std::string source);
    ~TWASAPIDeviceInfo() override;

    const std::string& Source() const { return FSource; }

protected:
    // Records 2 channels of float at `rate` (the server converts); throws
    // TAudioError("WASAPI_Init", code): Device when the source is not there,
    // Driver when the server does not answer or refuses the stream, Freq for a
    // rate it cannot take, Mem when out of memory.
    void Open(int rate) override;
    void Close() override;
    int GetSampleRate() override { return FRate; }

private:
    struct TCapture;

    const std::string FSource;
    int FRate = 0;                      // guarded by the base class's open lock
    std::unique_ptr<TCapture> FCapture; // guarded by the base class's open lock; null while closed
};

// Adds an entry for each source the default server lists, in its order; sources
// whose active port is unplugged are left out. Adds nothing when no server
// answers within about two seconds (one is never started for this).
void AddPulseDevices(TDeviceCatalogue& catalogue);
