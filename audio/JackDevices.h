#pragma once

#include "AudioDevices.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>

// Our client's name on a JACK server.
inline constexpr const char* JackClientName = "RudazOdudad";

// Adds the capture pairs of the default JACK server (JACK_DEFAULT_SERVER, else
// "default") as "ASIO:0:<pair>", when that server runs. Never starts a server:
// one that cannot be reached adds nothing. Called once at start-up, after the
// ALSA devices.
//
// `clientName` is our client's name on the server. Processes that talk to
// different servers at once (tests side by side) need names of their own:
// libjack names a client's socket after the client, not after the server.
//
// libjack's own error lines go to standard error prefixed "JACK: ", except
// those of this probe: when no server answers, `note` gets the one line
// "No JACK server: JACK inputs are not listed" instead.
using TJackNote = std::function<void(const std::string& line)>;
void AddJackDevices(TDeviceCatalogue& catalogue, const std::string& clientName = JackClientName,
                    const TJackNote& note = {});

class TASIOSubDeviceInfo;

// A JACK server, listed as driver <Index> with the server's name. It is not
// selectable and not in the catalogue: its pairs are. All open pairs share its
// one client on the server, opened with the first pair and closed with the last.
//
// Ownership: the catalogue owns only the pairs; each pair holds a
// std::shared_ptr to its driver, so the driver lives exactly as long as one of
// its pairs does.
class TASIODeviceInfo : public TDeviceInfo {
public:
    // `rate` is the server's rate when it was listed.
    TASIODeviceInfo(int index, std::string serverName, int rate, std::string clientName = JackClientName);
    ~TASIODeviceInfo() override;

    // How many of its pairs are open.
    int OpenCount() const;
    // Our client's name on the server while a pair is open (the server may
    // have added a number to the name asked for), else empty.
    std::string ClientName() const;

private:
    friend class TASIOSubDeviceInfo;
    struct TImpl;
    const std::unique_ptr<TImpl> FImpl;
};

// Two adjacent physical capture ports of a JACK server, recorded as one stereo
// input at the server's rate.
class TASIOSubDeviceInfo : public TDeviceInfoWithClients {
public:
    // `leftPort` and `rightPort` are full port names ("system:capture_1").
    TASIOSubDeviceInfo(int pair, std::string name, std::shared_ptr<TASIODeviceInfo> driver, std::string leftPort,
                       std::string rightPort);
    ~TASIOSubDeviceInfo() override;

    bool HasControlPanel() const override { return true; }
    // Starts qjackctl detached for this server; throws std::runtime_error when
    // it is not installed.
    void ShowControlPanel() override;

    const std::shared_ptr<TASIODeviceInfo> Driver;
    const std::string LeftPort;
    const std::string RightPort;

protected:
    // Throws TAudioError("ASIOInit", code): 3 when the server cannot be
    // reached, 23 when a capture port is gone, 1 for memory, 25 when a server
    // that came back runs at another rate than the streams of our clients.
    void Open(int rate) override;
    void Close() override;
    // The server's rate, whatever a client asked for.
    int GetSampleRate() override { return FRate.load(); }

private:
    friend struct TASIODeviceInfo::TImpl;
    // Called by the driver when its server went away.
    void ServerLost();

    std::atomic<int> FRate; // written by Open (under the base's open lock), read by anyone
};
