#include "JackDevices.h"
#include "JackServer.h"
#include "SlotFixture.h"
#include "basserrors.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

using namespace TestSupport;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

TASIOSubDeviceInfo& Pair(const TDeviceCatalogue& devices, const std::string& id) {
    const int i = devices.FindDevice(id);
    if (i < 0) {
        throw std::runtime_error(id + " is not listed");
    }
    auto* pair = dynamic_cast<TASIOSubDeviceInfo*>(&devices.Entry(static_cast<std::size_t>(i)));
    if (pair == nullptr) {
        throw std::runtime_error(id + " is not a JACK pair");
    }
    return *pair;
}

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto until = Clock::now() + timeout;
    while (!done()) {
        if (Clock::now() >= until) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// Frames a second that arrive in the stream, measured over about `seconds`.
double FramesPerSecond(const TPushStream& stream, double seconds = 1.0) {
    const auto start = Clock::now();
    const std::size_t before = stream.QueuedFrames();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const std::size_t after = stream.QueuedFrames();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    return (static_cast<double>(after) - static_cast<double>(before)) / elapsed;
}

// Real-time pace at 48000 Hz, with room for a loaded machine but not for
// audio delivered twice.
void ExpectFlowing(const TPushStream& stream, const char* what) {
    const double rate = FramesPerSecond(stream);
    EXPECT_GT(rate, 0.5 * 48000) << what;
    EXPECT_LT(rate, 1.5 * 48000) << what;
}

// Our client's name in this test process.
const std::string OurClient = TJackServer::ClientNameForTests();

std::vector<std::string> PortsOfClient(const TJackServer& server, const std::string& client) {
    std::vector<std::string> found;
    for (const auto& [port, connected] : server.Connections()) {
        if (port.rfind(client + ":", 0) == 0) {
            found.push_back(port);
        }
    }
    return found;
}

// Ports of any client of ours, also of one the server renamed ("<name>-01").
std::vector<std::string> OurPorts(const TJackServer& server) {
    std::vector<std::string> found;
    for (const auto& [port, connected] : server.Connections()) {
        if (port.rfind(OurClient, 0) == 0) {
            found.push_back(port);
        }
    }
    return found;
}

// For failure messages.
std::string Describe(const TJackServer& server) {
    std::string text;
    for (const auto& [port, connected] : server.Connections()) {
        text += port;
        for (const auto& other : connected) {
            text += " -> " + other;
        }
        text += "\n";
    }
    return text;
}

// The streams' content so far: the dummy driver captures silence.
bool AllSilent(TPushStream& stream) {
    std::vector<float> buffer(4800 * 2, 1.0f);
    const std::size_t frames = stream.Read(buffer.data(), 4800);
    for (std::size_t i = 0; i < frames * 2; ++i) {
        if (buffer[i] != 0.0f) {
            return false;
        }
    }
    return frames > 0;
}

} // namespace

// ---- listing ----

TEST(TJackDevicesTest, ListsPairsOfPhysicalCapturePortsInOrder) {
    TJackServer server(4);
    TDeviceCatalogue devices;
    AddJackDevices(devices, OurClient);

    ASSERT_EQ(devices.Count(), 2u);
    EXPECT_EQ(devices.Id(0), "ASIO:0:0");
    EXPECT_EQ(devices.Id(1), "ASIO:0:1");
    EXPECT_EQ(devices.Entry(0).Name, "ASIO: " + server.Name() + " (system:capture_1 + system:capture_2)");
    EXPECT_EQ(devices.Entry(1).Name, "ASIO: " + server.Name() + " (system:capture_3 + system:capture_4)");
    EXPECT_EQ(devices.FindDevice("asio:0:1"), 1);

    auto& first = Pair(devices, "ASIO:0:0");
    auto& second = Pair(devices, "ASIO:0:1");
    EXPECT_EQ(first.Index, 0);
    EXPECT_EQ(second.Index, 1);
    EXPECT_TRUE(first.HasControlPanel());
    ASSERT_NE(first.Driver, nullptr);
    EXPECT_EQ(first.Driver, second.Driver) << "one driver for the server";
    EXPECT_EQ(first.Driver->Index, 0);
    EXPECT_EQ(first.Driver->Name, server.Name());
    EXPECT_EQ(first.Driver->OpenCount(), 0);
    EXPECT_TRUE(first.Driver->ClientName().empty());
    EXPECT_FALSE(server.HasClient(OurClient)) << "the listing client is closed again";
}

TEST(TJackDevicesTest, DoesNotOfferAnOddLastPort) {
    TJackServer server(5);
    ASSERT_EQ(server.Connections().count("system:capture_5"), 1u);
    TDeviceCatalogue devices;
    AddJackDevices(devices, OurClient);
    ASSERT_EQ(devices.Count(), 2u);
    EXPECT_EQ(devices.Entry(1).Name, "ASIO: " + server.Name() + " (system:capture_3 + system:capture_4)");
}

TEST(TJackDevicesTest, ListsNothingWithoutAServer) {
    TJackServer absent(4, 48000, false);
    TDeviceCatalogue devices;
    AddJackDevices(devices, OurClient);
    EXPECT_EQ(devices.Count(), 0u);
}

// ---- capture ----

TEST(TJackDevicesTest, PairsShareOneClientAtTheServersRate) {
    TJackServer server(4);
    TDeviceCatalogue devices;
    AddJackDevices(devices, OurClient);
    auto& first = Pair(devices, "ASIO:0:0");
    auto& second = Pair(devices, "ASIO:0:1");
    auto driver = first.Driver;

    auto a = first.AddClient(44100);
    auto b = second.AddClient(44100);
    EXPECT_EQ(driver->OpenCount(), 2);
    EXPECT_EQ(a->Rate(), 48000) << "the server's rate, not the one asked for";
    EXPECT_EQ(b->Rate(), 48000);
    EXPECT_EQ(a->Channels(), 2);

    const std::string client = driver->ClientName();
    ASSERT_FALSE(client.empty());
    EXPECT_TRUE(server.HasClient(client));
    EXPECT_EQ(PortsOfClient(server, client).size(), 4u) << "one client with two ports per pair";
    auto connections = server.Connections();
    EXPECT_EQ(connections["system:capture_1"], std::vector<std::string>{client + ":pair0_L"});
    EXPECT_EQ(connections["system:capture_2"], std::vector<std::string>{client + ":pair0_R"});
    EXPECT_EQ(connections["system:capture_3"], std::vector<std::string>{client + ":pair1_L"});
    EXPECT_EQ(connections["system:capture_4"], std::vector<std::string>{client + ":pair1_R"});

    ExpectFlowing(*a, "first pair");
    ExpectFlowing(*b, "second pair");
    EXPECT_TRUE(AllSilent(*a));
    EXPECT_TRUE(AllSilent(*b));

    first.RemoveClient(a.get());
    EXPECT_EQ(driver->OpenCount(), 1);
    EXPECT_EQ(driver->ClientName(), client) << "the other pair keeps the client";
    const std::size_t detached = a->QueuedFrames();
    ExpectFlowing(*b, "second pair with the first closed");
    EXPECT_EQ(a->QueuedFrames(), detached) << "a removed client gets nothing more";
    EXPECT_EQ(PortsOfClient(server, client), (std::vector<std::string>{client + ":pair1_L", client + ":pair1_R"}));

    // And the other way round.
    a = first.AddClient(48000);
    second.RemoveClient(b.get());
    EXPECT_EQ(driver->OpenCount(), 1);
    ExpectFlowing(*a, "first pair with the second closed");

    first.RemoveClient(a.get());
    EXPECT_EQ(driver->OpenCount(), 0);
    EXPECT_TRUE(driver->ClientName().empty());
    EXPECT_TRUE(PortsOfClient(server, client).empty()) << Describe(server);
    EXPECT_FALSE(server.HasClient(client)) << "our client is gone";
    const std::size_t queued = a->QueuedFrames();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(a->QueuedFrames(), queued) << "nothing arrives once closed";
}

TEST(TJackDevicesTest, AFailedOpenLeavesNothingBehind) {
    TJackServer server(4);
    TDeviceCatalogue devices;
    AddJackDevices(devices, OurClient);
    auto& first = Pair(devices, "ASIO:0:0");
    auto driver = first.Driver;

    // A pair whose ports went away (the server came back with fewer).
    TASIOSubDeviceInfo gone(2, "gone", driver, "system:capture_5", "system:capture_6");
    try {
        gone.AddClient(48000);
        ADD_FAILURE() << "opened a pair without ports";
    } catch (const TAudioError& e) {
        EXPECT_EQ(e.Code(), BassError::Device);
        EXPECT_EQ(std::string(e.what()), "ASIOInit: " + BassErrorText(BassError::Device));
    }
    EXPECT_EQ(gone.ClientCount(), 0u);
    EXPECT_EQ(driver->OpenCount(), 0);
    EXPECT_TRUE(driver->ClientName().empty()) << "the client opened for it is closed again";
    EXPECT_FALSE(server.HasClient(OurClient));
    EXPECT_TRUE(OurPorts(server).empty()) << Describe(server);

    // Failing beside an open pair leaves that pair and its client alone.
    auto a = first.AddClient(48000);
    const std::string client = driver->ClientName();
    TASIOSubDeviceInfo half(3, "half", driver, "system:capture_4", "system:capture_9");
    EXPECT_THROW(half.AddClient(48000), TAudioError);
    EXPECT_EQ(driver->OpenCount(), 1);
    EXPECT_EQ(PortsOfClient(server, client), (std::vector<std::string>{client + ":pair0_L", client + ":pair0_R"}));
    ExpectFlowing(*a, "the open pair");
    first.RemoveClient(a.get());

    // No server at all.
    server.Stop();
    try {
        first.AddClient(48000);
        ADD_FAILURE() << "opened a pair without a server";
    } catch (const TAudioError& e) {
        EXPECT_EQ(e.Code(), BassError::Driver);
        EXPECT_EQ(std::string(e.what()), "ASIOInit: " + BassErrorText(BassError::Driver));
    }
    EXPECT_EQ(first.ClientCount(), 0u);
    EXPECT_EQ(driver->OpenCount(), 0);
}

// ---- a slot recording from a pair ----

class TJackSlotTest : public TSlotFixture {
protected:
    TJackServer Server; // after the fixture's catalogue, so gone before it
};

TEST_F(TJackSlotTest, RecordsThePairResampledToTheSlotsRate) {
    AddJackDevices(Devices, OurClient);
    auto slot = MakeSlot(0, {{"Name", "Studio"},
                             {"Folder", Folder()},
                             {"Source", "Soundcard"},
                             {"Device", "ASIO:0:0"},
                             {"Samplerate", "44100"}});
    slot->StartInput();
    ASSERT_NE(slot->AttachedDevice, nullptr) << slot->LastError;
    EXPECT_EQ(slot->AttachedDevice->Name, "ASIO: " + Server.Name() + " (system:capture_1 + system:capture_2)");
    slot->RestartEncoder();
    ASSERT_TRUE(slot->HasEncoder()) << slot->LastError;
    const std::string path = slot->CurrentFile;
    WaitSeconds(3.0);
    slot->StopEncoder();

    const auto probe = ProbeAudio(path);
    EXPECT_NEAR(probe.Duration, 3.0, 0.2) << "48000 Hz taken as 44100 would last 3.27 s";
    EXPECT_EQ(probe.SampleRate, 44100);
    EXPECT_EQ(probe.Channels, 2);
    const auto decoded = DecodeToStereoFloat(path, 44100);
    ASSERT_GT(decoded.size(), 44100u * 2);
    float peak = 0;
    for (float v : decoded) {
        peak = std::max(peak, std::abs(v));
    }
    EXPECT_LT(peak, 1e-3f) << "the dummy ports are silent";
}

// ---- loss and recovery ----

TEST(TJackDevicesTest, ReportsTheServersLossAndRecoversWhenItIsBack) {
    TJackServer server(4);
    TDeviceCatalogue devices;
    AddJackDevices(devices, OurClient);
    auto& first = Pair(devices, "ASIO:0:0");
    auto& second = Pair(devices, "ASIO:0:1");
    auto driver = first.Driver;
    auto a = first.AddClient(48000);
    auto b = second.AddClient(48000);
    ExpectFlowing(*a, "before the crash");

    server.Crash();
    EXPECT_TRUE(WaitFor([&] { return first.Lost() && second.Lost(); }, 5s)) << "every open pair is lost";
    EXPECT_EQ(first.LostCode(), BassError::Driver);
    EXPECT_EQ(second.LostCode(), BassError::Driver);
    EXPECT_EQ(driver->OpenCount(), 2) << "still open for their clients";
    const std::size_t queued = a->QueuedFrames();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(a->QueuedFrames(), queued);

    // This also closes the dead client, before the test's own clients come:
    // libjack deletes the clients of a dead server when another one opens.
    EXPECT_FALSE(first.Recover()) << "the server is still down";
    EXPECT_EQ(first.LostCode(), BassError::Driver);
    EXPECT_TRUE(driver->ClientName().empty());
    EXPECT_EQ(driver->OpenCount(), 1) << "the second pair is open, on no client";

    server.Start();
    ASSERT_TRUE(first.Recover());
    EXPECT_FALSE(first.Lost());
    ExpectFlowing(*a, "after the recovery");
    EXPECT_TRUE(second.Lost()) << "until it recovers itself";
    ASSERT_TRUE(second.Recover());
    ExpectFlowing(*b, "the second pair after its recovery");
    EXPECT_EQ(driver->OpenCount(), 2);
    const std::string client = driver->ClientName();
    EXPECT_EQ(PortsOfClient(server, client).size(), 4u) << Describe(server);
    EXPECT_EQ(server.Connections()["system:capture_3"], std::vector<std::string>{client + ":pair1_L"});

    first.RemoveClient(a.get());
    second.RemoveClient(b.get());
    EXPECT_EQ(driver->OpenCount(), 0);
    EXPECT_TRUE(PortsOfClient(server, client).empty());
}

TEST(TJackDevicesTest, ClosesALostPairAndRefusesAServerBackAtAnotherRate) {
    TJackServer server(4);
    TDeviceCatalogue devices;
    AddJackDevices(devices, OurClient);
    auto& first = Pair(devices, "ASIO:0:0");
    auto driver = first.Driver;
    auto a = first.AddClient(48000);

    server.Stop(); // an orderly end this time: the server tells its clients
    ASSERT_TRUE(WaitFor([&] { return first.Lost(); }, 5s));
    EXPECT_EQ(first.LostCode(), BassError::Driver);
    first.RemoveClient(a.get());
    EXPECT_EQ(first.ClientCount(), 0u);
    EXPECT_EQ(driver->OpenCount(), 0);
    EXPECT_FALSE(first.Lost());

    // A new first client gets the rate the server has now.
    server.SetRate(44100);
    server.Start();
    a = first.AddClient(48000);
    EXPECT_EQ(a->Rate(), 44100);
    EXPECT_GT(FramesPerSecond(*a), 0.5 * 44100);

    // Its stream runs at 44100 Hz: audio at 48000 would be recorded too slow.
    server.Crash();
    ASSERT_TRUE(WaitFor([&] { return first.Lost(); }, 5s));
    EXPECT_FALSE(first.Recover()); // closes the dead client before the test opens its own
    server.SetRate(48000);
    server.Start();
    EXPECT_FALSE(first.Recover());
    EXPECT_EQ(first.LostCode(), BassError::Freq);
    EXPECT_EQ(driver->OpenCount(), 0);
    EXPECT_FALSE(server.HasClient(OurClient)) << "the client opened to check the rate is closed again";
    first.RemoveClient(a.get());
    EXPECT_EQ(first.ClientCount(), 0u);
}

// ---- control panel ----

class TJackControlPanelTest : public ::testing::Test {
protected:
    TJackControlPanelTest() {
        const char* path = std::getenv("PATH");
        FSavedPath = path != nullptr ? path : "";
    }
    ~TJackControlPanelTest() override { setenv("PATH", FSavedPath.c_str(), 1); }

    void WriteProgram(const std::string& name, const std::string& text, bool executable) {
        std::ofstream(Dir.File(name)) << text;
        std::filesystem::permissions(Dir.File(name),
                                     executable ? std::filesystem::perms::owner_all : std::filesystem::perms::owner_read |
                                                                                       std::filesystem::perms::owner_write);
    }

    TTempDir Dir;
    std::string FSavedPath;
};

TEST_F(TJackControlPanelTest, StartsQjackctlDetachedOrSaysThereIsNone) {
    auto driver = std::make_shared<TASIODeviceInfo>(0, "studio", 48000);
    TASIOSubDeviceInfo pair(0, "ASIO: studio (system:capture_1 + system:capture_2)", driver, "system:capture_1",
                            "system:capture_2");
    ASSERT_TRUE(pair.HasControlPanel());

    setenv("PATH", Dir.Path().c_str(), 1);
    WriteProgram("qjackctl", "#!/bin/sh\n: > '" + Dir.File("ran") + "'\n", false);
    try {
        pair.ShowControlPanel();
        ADD_FAILURE() << "started a panel that cannot run";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "No control panel is available");
    }
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(std::filesystem::exists(Dir.File("ran")));

    // A panel that stays open does not hold us up, and is told which server to show.
    WriteProgram("qjackctl",
                 "#!/bin/sh\necho \"$JACK_DEFAULT_SERVER\" > '" + Dir.File("server") + "'\n/bin/sleep 2\n: > '" +
                     Dir.File("closed") + "'\n",
                 true);
    const auto start = Clock::now();
    pair.ShowControlPanel();
    EXPECT_LT(Clock::now() - start, 1500ms);
    ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(Dir.File("closed")); }, 10s));
    std::string server;
    std::ifstream(Dir.File("server")) >> server;
    EXPECT_EQ(server, "studio");
}
