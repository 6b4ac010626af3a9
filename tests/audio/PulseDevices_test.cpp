#include "PulseDevices.h"

#include "PulseServer.h"
#include "SlotFixture.h"
#include "basserrors.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace TestSupport;

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> WasapiIds(const TDeviceCatalogue& devices) {
    std::vector<std::string> ids;
    for (std::size_t i = 0; i < devices.Count(); ++i) {
        if (devices.Id(i).rfind("WASAPI:", 0) == 0) {
            ids.push_back(devices.Id(i));
        }
    }
    return ids;
}

// Polls `done` until it holds or `seconds` pass.
// Everything a client stream holds right now.
std::vector<float> Drain(TPushStream& stream) {
    std::vector<float> all(stream.QueuedFrames() * 2);
    const std::size_t frames = stream.Read(all.data(), all.size() / 2);
    all.resize(frames * 2);
    return all;
}

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

class TPulseDevicesTest : public TSlotFixture {
protected:
    TDeviceInfoWithClients& Sine() {
        const int i = Devices.FindDevice("WASAPI:sine");
        if (i < 0) {
            throw std::runtime_error("WASAPI:sine is not listed");
        }
        return Devices.Entry(static_cast<std::size_t>(i));
    }

    std::unique_ptr<TSlotInfo> SineSlot(int index, const std::string& rate = "44100") {
        return MakeSlot(index, {{"Name", "Pulse" + std::to_string(index)},
                                {"Folder", Folder("rec" + std::to_string(index))},
                                {"Source", "Soundcard"},
                                {"Device", "WASAPI:sine"},
                                {"Samplerate", rate}});
    }

    // Runs the controller's input check every 100 ms until `done` or `seconds` pass.
    bool CheckInputUntil(TSlotInfo& slot, const std::function<bool()>& done, double seconds) {
        const auto until = Clock::now() + std::chrono::duration<double>(seconds);
        while (!done()) {
            if (Clock::now() >= until) {
                return false;
            }
            slot.CheckInput();
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return true;
    }
};

// ---- listing ----

TEST_F(TPulseDevicesTest, ListsTheServersSourcesInItsOrderWithTheirDescriptions) {
    TPulseServer server;
    const std::size_t before = Devices.Count();
    AddPulseDevices(Devices);

    // The server's own order, monitors included.
    std::vector<std::string> expected;
    std::istringstream in(server.Pactl("list short sources").Output);
    for (std::string line; std::getline(in, line);) {
        const auto a = line.find('\t');
        const auto b = line.find('\t', a + 1);
        if (a != std::string::npos && b != std::string::npos) {
            expected.push_back("WASAPI:" + line.substr(a + 1, b - a - 1));
        }
    }
    ASSERT_EQ(expected.size(), 2u) << "the daemon has a null sink's monitor and the sine";
    EXPECT_EQ(WasapiIds(Devices), expected);
    ASSERT_EQ(Devices.Count(), before + expected.size()) << "the test tone stays first";
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(Devices.Entry(before + i).Index, static_cast<int>(i));
    }

    const int sine = Devices.FindDevice("WASAPI:sine");
    ASSERT_GE(sine, 0);
    const std::string description = server.SourceDescription("sine");
    ASSERT_FALSE(description.empty());
    EXPECT_EQ(Devices.Entry(static_cast<std::size_t>(sine)).Name, "WASAPI: " + description);
    EXPECT_EQ(Devices.FindDevice("wasapi:SINE"), sine);

    const int monitor = Devices.FindDevice("WASAPI:null.monitor");
    ASSERT_GE(monitor, 0);
    EXPECT_EQ(Devices.Entry(static_cast<std::size_t>(monitor)).Name,
              "WASAPI: " + server.SourceDescription("null.monitor"));
    EXPECT_TRUE(server.SourceOutputs().empty()) << "listing opens nothing";
}

TEST_F(TPulseDevicesTest, WithoutAServerThereAreNoEntriesAndOpeningFailsWithDriver) {
    TPulseServer server(false);
    const auto start = Clock::now();
    const std::size_t before = Devices.Count();
    AddPulseDevices(Devices);
    EXPECT_TRUE(WasapiIds(Devices).empty());
    EXPECT_EQ(Devices.Count(), before);
    EXPECT_LT(Seconds(start), 2.0) << "a missing server is noticed at once";
    EXPECT_FALSE(std::filesystem::exists(server.RuntimeDir() / "pulse" / "native")) << "none was spawned";

    // A server that accepts the connection but never answers must not hold up the start.
    std::filesystem::create_directories(server.RuntimeDir() / "pulse");
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = (server.RuntimeDir() / "pulse" / "native").string();
    ASSERT_LT(path.size(), sizeof(address.sun_path));
    path.copy(address.sun_path, path.size());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(listen(fd, 8), 0);
    const auto silent = Clock::now();
    AddPulseDevices(Devices);
    EXPECT_TRUE(WasapiIds(Devices).empty());
    EXPECT_GE(Seconds(silent), 1.5) << "it was given its time";
    EXPECT_LT(Seconds(silent), 6.0) << "and no more";

    // An entry whose server does not answer fails to open the same way.
    Devices.Add("WASAPI:sine", std::make_unique<TWASAPIDeviceInfo>(0, "WASAPI: Sine", "sine"));
    try {
        Sine().AddClient(44100);
        ADD_FAILURE() << "opened a device without a server";
    } catch (const TAudioError& e) {
        EXPECT_EQ(e.Code(), BassError::Driver);
    }
    EXPECT_EQ(Sine().ClientCount(), 0u);
    close(fd);
}

// ---- recording ----

TEST_F(TPulseDevicesTest, ASlotRecordsTheSineInRealTime) {
    TPulseServer server;
    AddPulseDevices(Devices);
    auto slot = SineSlot(0);
    slot->StartInput();
    ASSERT_EQ(slot->LastError, "");
    ASSERT_NE(slot->AttachedDevice, nullptr);
    EXPECT_FALSE(LogsContaining("Recording from WASAPI: " + server.SourceDescription("sine")).empty());

    // The sine source hands its audio out in blocks (two seconds: its fixed
    // latency), so the file starts right after one arrived and is closed once
    // ten seconds are in, before the next block is due.
    ASSERT_TRUE(WaitUntil([&] { return slot->BytesProcessed() > 0; }, 5.0));
    slot->RestartEncoder();
    const auto started = Clock::now();
    const std::string path = slot->CurrentFile;
    ASSERT_FALSE(path.empty());
    ASSERT_TRUE(WaitUntil([&] { return slot->CurrentDuration() >= 9.9f; }, 14.0));
    slot->StopEncoder();
    const double elapsed = Seconds(started);
    // On a busy machine the next block may slip in before the stop.
    const auto rows = Rows(Folder("rec0"));
    ASSERT_EQ(rows.size(), 1u);
    ASSERT_TRUE(rows[0].Duration.has_value());
    EXPECT_GE(*rows[0].Duration, 9.9);
    EXPECT_LE(*rows[0].Duration, 12.1);
    EXPECT_NEAR(*rows[0].Duration, elapsed, 2.1) << "in real time, give or take one block";

    const auto probe = ProbeAudio(path);
    EXPECT_NEAR(probe.Duration, *rows[0].Duration, 0.1) << "the file holds what the catalogue says";
    EXPECT_EQ(probe.SampleRate, 44100);
    const auto samples = DecodeToStereoFloat(path, 44100);
    ASSERT_GT(samples.size(), 2u * 44100 * 9);
    // A stretch in the middle, away from the encoder's start and end.
    const std::size_t first = 44100, frames = 44100 * 8;
    for (int channel = 0; channel < 2; ++channel) {
        EXPECT_NEAR(Goertzel(samples, channel, 44100, 440.0, first, frames), 0.5, 0.05) << "channel " << channel;
        const double frequency = ZeroCrossings(samples, channel, first, frames) / 2.0 / (frames / 44100.0);
        EXPECT_NEAR(frequency, 440.0, 2.0) << "channel " << channel;
    }
}

TEST_F(TPulseDevicesTest, ClientsShareOneStreamAtTheFirstClientsRate) {
    TPulseServer server;
    AddPulseDevices(Devices);
    auto& sine = Sine();

    auto first = sine.AddClient(44100);
    auto second = sine.AddClient(48000);
    EXPECT_EQ(first->Rate(), 44100);
    EXPECT_EQ(second->Rate(), 44100) << "the device runs at the rate it was opened with";
    EXPECT_EQ(sine.ClientCount(), 2u);
    auto outputs = server.SourceOutputs();
    ASSERT_EQ(outputs.size(), 1u) << "one stream for both clients";
    EXPECT_NE(outputs[0].find("float32le 2ch 44100Hz"), std::string::npos) << outputs[0];

    ASSERT_TRUE(WaitUntil([&] { return first->QueuedFrames() > 4410 && second->QueuedFrames() > 4410; }, 5.0));

    sine.RemoveClient(first.get());
    sine.RemoveClient(first.get());
    TPushStream stranger(44100, 2);
    sine.RemoveClient(&stranger);
    sine.RemoveClient(nullptr);
    EXPECT_EQ(sine.ClientCount(), 1u);
    EXPECT_EQ(server.SourceOutputs().size(), 1u) << "the second client keeps it open";

    // Audio still flows to the second client, intact.
    Drain(*second);
    ASSERT_TRUE(WaitUntil([&] { return second->QueuedFrames() >= 22050; }, 5.0));
    const auto audio = Drain(*second);
    EXPECT_NEAR(Goertzel(audio, 0, 44100, 440.0), 0.5, 0.05);
    EXPECT_NEAR(Goertzel(audio, 1, 44100, 440.0), 0.5, 0.05);

    sine.RemoveClient(second.get());
    EXPECT_EQ(sine.ClientCount(), 0u);
    EXPECT_TRUE(WaitUntil([&] { return server.SourceOutputs().empty(); }, 3.0)) << "the last client closed it";
    EXPECT_FALSE(sine.Lost()) << "closing is no loss";

    // Opened again, now at the new first client's rate.
    auto again = sine.AddClient(48000);
    EXPECT_EQ(again->Rate(), 48000);
    outputs = server.SourceOutputs();
    ASSERT_EQ(outputs.size(), 1u);
    EXPECT_NE(outputs[0].find("48000Hz"), std::string::npos) << outputs[0];
    ASSERT_TRUE(WaitUntil([&] { return again->QueuedFrames() >= 24000; }, 5.0));
    EXPECT_NEAR(Goertzel(Drain(*again), 0, 48000, 440.0), 0.5, 0.05) << "the server converts to the rate asked for";
    sine.RemoveClient(again.get());
    EXPECT_TRUE(WaitUntil([&] { return server.SourceOutputs().empty(); }, 3.0));
}

// ---- errors ----

TEST_F(TPulseDevicesTest, OpenFailuresCarryTheirCodesAndLeaveNothingOpen) {
    TPulseServer server;
    AddPulseDevices(Devices);
    auto& sine = Sine();
    const std::string name = sine.Name;

    // A rate the server cannot take.
    try {
        sine.AddClient(1000000);
        ADD_FAILURE() << "opened at 1 MHz";
    } catch (const TAudioError& e) {
        EXPECT_EQ(e.Code(), BassError::Freq);
    }
    EXPECT_EQ(sine.ClientCount(), 0u);

    // The source went away after the list was made.
    ASSERT_EQ(server.Pactl("unload-module module-sine-source").ExitCode, 0);
    try {
        sine.AddClient(44100);
        ADD_FAILURE() << "opened a source that is gone";
    } catch (const TAudioError& e) {
        EXPECT_EQ(e.Code(), BassError::Device);
        EXPECT_EQ(std::string(e.what()).rfind("WASAPI_Init: ", 0), 0u) << e.what();
    }
    EXPECT_EQ(sine.ClientCount(), 0u);
    EXPECT_EQ(sine.Name, name) << "the entry stays as it was listed";
    EXPECT_TRUE(server.SourceOutputs().empty());

    // Through a slot: shown and logged.
    auto slot = SineSlot(0);
    slot->StartInput();
    EXPECT_EQ(slot->AttachedDevice, nullptr);
    EXPECT_EQ(slot->LastError, TAudioError("WASAPI_Init", BassError::Device).what());
    EXPECT_EQ(LogsContaining("Error recording from \"" + name + "\": WASAPI_Init: ").size(), 1u);

    // The server gone altogether.
    server.Stop();
    try {
        sine.AddClient(44100);
        ADD_FAILURE() << "opened without a server";
    } catch (const TAudioError& e) {
        EXPECT_EQ(e.Code(), BassError::Driver);
    }
    EXPECT_EQ(sine.ClientCount(), 0u);
}

// ---- loss ----

TEST_F(TPulseDevicesTest, ALostDeviceClosesAndOpensAgainOnceItsServerIsBack) {
    TPulseServer server;
    AddPulseDevices(Devices);
    auto& sine = Sine();
    auto stream = sine.AddClient(44100);
    ASSERT_TRUE(WaitUntil([&] { return stream->QueuedFrames() > 0; }, 5.0));

    server.Stop();
    ASSERT_TRUE(WaitUntil([&] { return sine.Lost(); }, 5.0));
    EXPECT_EQ(sine.LostCode(), BassError::Driver);

    const auto start = Clock::now();
    EXPECT_FALSE(sine.Recover()) << "no server yet";
    EXPECT_LT(Seconds(start), 3.0) << "a missing server is noticed at once";
    EXPECT_TRUE(sine.Lost());

    server.Start();
    ASSERT_TRUE(sine.Recover());
    EXPECT_FALSE(sine.Lost());
    Drain(*stream);
    EXPECT_TRUE(WaitUntil([&] { return stream->QueuedFrames() > 4410; }, 5.0)) << "the same client gets audio again";
    EXPECT_EQ(server.SourceOutputs().size(), 1u);

    // The source unplugged while the server stays: lost, and not moved to another source.
    ASSERT_EQ(server.Pactl("unload-module module-sine-source").ExitCode, 0);
    ASSERT_TRUE(WaitUntil([&] { return sine.Lost(); }, 5.0));
    EXPECT_EQ(sine.LostCode(), BassError::Driver);
    EXPECT_TRUE(server.SourceOutputs().empty()) << "it did not follow the server to another source";
    EXPECT_FALSE(sine.Recover());
    EXPECT_EQ(sine.LostCode(), BassError::Device) << "why it cannot be reopened";
    ASSERT_EQ(server.Pactl("load-module module-sine-source frequency=440 source_name=sine").ExitCode, 0);
    ASSERT_TRUE(sine.Recover()) << "plugged in again";
    Drain(*stream);
    ASSERT_TRUE(WaitUntil([&] { return stream->QueuedFrames() >= 22050; }, 5.0));
    const auto audio = Drain(*stream);
    EXPECT_NEAR(Goertzel(audio, 0, 44100, 440.0), 0.5, 0.05) << "from the sine, not from a monitor";

    // Lost again, then closed by its last client while lost.
    server.Stop();
    ASSERT_TRUE(WaitUntil([&] { return sine.Lost(); }, 5.0));
    sine.RemoveClient(stream.get());
    EXPECT_EQ(sine.ClientCount(), 0u);
    EXPECT_FALSE(sine.Lost());
}

TEST_F(TPulseDevicesTest, ASlotRecordsOnIntoTheSameFileAfterItsServerCameBack) {
    TPulseServer server;
    AddPulseDevices(Devices);
    auto slot = SineSlot(0);
    slot->StartInput();
    ASSERT_EQ(slot->LastError, "");
    const std::string name = slot->AttachedDevice->Name;
    slot->RestartEncoder();
    const std::string path = slot->CurrentFile;
    ASSERT_TRUE(CheckInputUntil(*slot, [&] { return slot->CurrentDuration() > 1.5f; }, 10.0));
    EXPECT_TRUE(CheckInputUntil(*slot, [&] { return slot->PeakLeft() > 0.4f && slot->PeakRight() > 0.4f; }, 5.0));

    server.Stop();
    ASSERT_TRUE(CheckInputUntil(*slot, [&] { return !slot->LastError.empty(); }, 5.0));
    EXPECT_EQ(slot->LastError, BassErrorText(BassError::Driver));
    EXPECT_EQ(LogsContaining("Error recording from \"" + name + "\": " + BassErrorText(BassError::Driver)).size(), 1u);
    // Whatever was still on its way has arrived by now; after that nothing comes.
    CheckInputUntil(*slot, [] { return false; }, 0.5);
    const float stalled = slot->CurrentDuration();
    CheckInputUntil(*slot, [] { return false; }, 1.0);
    EXPECT_LT(slot->CurrentDuration() - stalled, 0.1f);
    EXPECT_EQ(slot->PeakLeft(), 0.0f) << "no meter shows the sine that no longer comes";
    EXPECT_EQ(slot->PeakRight(), 0.0f);

    server.Start();
    ASSERT_TRUE(CheckInputUntil(*slot, [&] { return slot->LastError.empty(); }, 10.0));
    EXPECT_EQ(LogsContaining("Recording from " + name).size(), 2u);
    const float resumed = slot->CurrentDuration();
    EXPECT_TRUE(CheckInputUntil(*slot, [&] { return slot->CurrentDuration() > resumed + 1.0f; }, 5.0))
        << "audio flows again";
    EXPECT_TRUE(CheckInputUntil(*slot, [&] { return slot->PeakLeft() > 0.4f; }, 5.0)) << "and shows again";
    EXPECT_EQ(slot->CurrentFile, path) << "the same file records on";

    const float recorded = slot->CurrentDuration();
    slot->StopEncoder();
    const auto rows = Rows(Folder("rec0"));
    ASSERT_EQ(rows.size(), 1u);
    const auto probe = ProbeAudio(path);
    EXPECT_NEAR(probe.Duration, recorded, 0.2) << "readable to its end";
    const auto samples = DecodeToStereoFloat(path, 44100);
    const std::size_t frames = samples.size() / 2;
    ASSERT_GT(frames, 44100u);
    EXPECT_NEAR(Goertzel(samples, 0, 44100, 440.0, frames - 44100, 22050), 0.5, 0.05) << "the sine after the return";
}

} // namespace
