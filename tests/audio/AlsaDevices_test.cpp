#include "AlsaDevices.h"
#include "PulseServer.h"
#include "SlotFixture.h"
#include "basserrors.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>

using namespace TestSupport;

namespace {

// ALSA devices reaching a private PulseAudio daemon through ALSA's pulse plugin:
// "sinepulse" captures the daemon's 440 Hz sine source.
class TAlsaTest : public TSlotFixture {
protected:
    TAlsaTest() {
        const std::string config = Dir.File("asound.conf");
        std::ofstream(config) << "pcm.sinepulse { type pulse device \"sine\" }\n";
        // Read by ALSA when it first loads its configuration in this process.
        setenv("ALSA_CONFIG_PATH", ("/usr/share/alsa/alsa.conf:" + config).c_str(), 1);
    }
    ~TAlsaTest() override { unsetenv("ALSA_CONFIG_PATH"); }

    TWDMDeviceInfo& AddDevice(const std::string& id, const std::string& name, const std::string& pcm) {
        auto entry = std::make_unique<TWDMDeviceInfo>(static_cast<int>(Devices.Count()), name, pcm);
        TWDMDeviceInfo& added = *entry;
        Devices.Add(id, std::move(entry));
        return added;
    }

    TPulseServer Pulse;
};

} // namespace

TEST_F(TAlsaTest, TheDefaultDeviceComesFirst) {
    TDeviceCatalogue catalogue;
    AddAlsaDevices(catalogue);
    ASSERT_GE(catalogue.Count(), 1u);
    EXPECT_EQ(catalogue.Id(0), "WDM:0");
    EXPECT_EQ(catalogue.Entry(0).Name, "WDM: Default");
    EXPECT_EQ(catalogue.FindDevice("wdm:0"), 0);
    for (std::size_t i = 1; i < catalogue.Count(); ++i) {
        EXPECT_EQ(catalogue.Id(i), "WDM:" + std::to_string(i));
    }
}

TEST_F(TAlsaTest, ASlotRecordsTheSineThroughAlsa) {
    AddDevice("WDM:7", "WDM: Sine through pulse", "sinepulse");
    auto slot = MakeSlot(0, {{"Name", "A"}, {"Folder", Folder()}, {"Source", "Soundcard"}, {"Device", "WDM:7"},
                             {"Samplerate", "48000"}});
    slot->StartInput();
    ASSERT_NE(slot->AttachedDevice, nullptr) << slot->LastError;
    EXPECT_EQ(Logged.back(), "A: Recording from WDM: Sine through pulse");
    WaitSeconds(1.5); // the daemon's first second arrives at once; start on real time
    slot->RestartEncoder();
    ASSERT_TRUE(slot->HasEncoder()) << slot->LastError;
    const std::string path = slot->CurrentFile;
    WaitSeconds(5.0);
    slot->StopEncoder();
    const auto rows = Rows(Folder());
    ASSERT_EQ(rows.size(), 1u);
    ASSERT_TRUE(rows[0].Duration.has_value());
    // The test daemon's sine source hands out audio in 2-second blocks.
    EXPECT_NEAR(*rows[0].Duration, 5.0, 2.1);
    const auto probe = ProbeAudio(path);
    EXPECT_NEAR(probe.Duration, *rows[0].Duration, 0.1);
    EXPECT_EQ(probe.SampleRate, 48000);
    const auto audio = DecodeToStereoFloat(path, 48000);
    EXPECT_NEAR(Goertzel(audio, 0, 48000, 440.0, 48000, 48000 * 3), 0.5, 0.05);
    EXPECT_NEAR(ZeroCrossings(audio, 1, 48000, 48000 * 3) / 2.0 / 3.0, 440.0, 2.0);
}

TEST_F(TAlsaTest, ADeviceThatCannotBeOpenedIsReportedWithItsStep) {
    auto& missing = AddDevice("WDM:8", "WDM: No such card", "hw:9,0");
    try {
        missing.AddClient(44100);
        FAIL() << "opened a card that does not exist";
    } catch (const TAudioError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Init: ", 0), 0u) << e.what();
        EXPECT_EQ(e.Code(), BassError::Device);
    }
    EXPECT_EQ(missing.ClientCount(), 0u);
    auto slot = MakeSlot(0, {{"Name", "A"}, {"Source", "Soundcard"}, {"Device", "WDM:8"}});
    slot->StartInput();
    EXPECT_EQ(slot->AttachedDevice, nullptr);
    EXPECT_EQ(slot->LastError, "Init: illegal device number (BASS error 23)");
    EXPECT_EQ(Logged.back(), "A: Error recording from \"WDM: No such card\": Init: illegal device number (BASS error 23)");
}

TEST_F(TAlsaTest, ASoundServerRestartIsReportedRecordedThroughAndNeverHoldsUpTheEnd) {
    AddDevice("WDM:7", "WDM: Sine through pulse", "sinepulse");
    auto slot = MakeSlot(0, {{"Name", "A"}, {"Folder", Folder()}, {"Source", "Soundcard"}, {"Device", "WDM:7"}});
    slot->StartInput();
    ASSERT_NE(slot->AttachedDevice, nullptr) << slot->LastError;
    slot->RestartEncoder();
    WaitSeconds(2.5);
    const std::uint64_t before = slot->BytesProcessed();
    EXPECT_GT(before, 0u);

    // ALSA's pulse plugin blocks its reader for good when the server goes:
    // the slot must notice and say so rather than wait on in silence.
    Logged.clear();
    Pulse.Stop();
    ASSERT_TRUE(WaitUntil(
        [&] {
            slot->CheckInput();
            return slot->InputLost();
        },
        10))
        << "the loss was noticed";
    EXPECT_EQ(Logged.front(), "A: Error recording from \"WDM: Sine through pulse\": illegal device number (BASS error 23)");

    Pulse.Start();
    ASSERT_TRUE(WaitUntil(
        [&] {
            slot->CheckInput();
            return !slot->InputLost();
        },
        15))
        << "opened again once the server was back";
    EXPECT_EQ(Logged.back(), "A: Recording from WDM: Sine through pulse");
    const std::uint64_t back = slot->BytesProcessed();
    EXPECT_TRUE(WaitUntil([&] { return slot->BytesProcessed() > back; }, 5)) << "and records again";

    const auto start = std::chrono::steady_clock::now();
    slot.reset(); // as at shutdown: the device closes with its last client
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    const auto rows = Rows(Folder());
    ASSERT_EQ(rows.size(), 1u);
    ASSERT_TRUE(rows[0].Duration.has_value()) << "the file was finished";
}

// A capture thread given up on (blocked in ALSA's library past the stop
// timeout) that wakes once its device has a new capture must not reach the
// device: its "device lost" would close the working capture.
TEST(CaptureGate, ACaptureGivenUpOnNeverReachesItsDeviceAgain) {
    auto gate = std::make_shared<TCaptureGate>();
    std::atomic<int> lostReports{0};
    const std::uint64_t given = gate->Open();
    std::promise<void> wake;
    std::future<bool> reached = std::async(std::launch::async, [&, woken = wake.get_future()] {
        woken.wait();
        return gate->Call(given, [&] { ++lostReports; });
    });
    gate->Close();
    const std::uint64_t current = gate->Open();
    wake.set_value();
    EXPECT_FALSE(reached.get());
    EXPECT_EQ(lostReports.load(), 0);

    // A call in progress holds a close back until it is over.
    std::promise<void> inside;
    std::promise<void> release;
    std::atomic<bool> callOver{false};
    auto call = std::async(std::launch::async, [&, go = release.get_future()] {
        return gate->Call(current, [&] {
            inside.set_value();
            go.wait();
            callOver = true;
        });
    });
    inside.get_future().wait();
    auto closing = std::async(std::launch::async, [&] {
        gate->Close();
        return callOver.load();
    });
    EXPECT_EQ(closing.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    release.set_value();
    EXPECT_TRUE(closing.get()) << "the close waited for the call";
    EXPECT_TRUE(call.get());
}
