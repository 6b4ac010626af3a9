#pragma once

#include "AudioDevices.h"
#include "Catalogue.h"
#include "FakeClock.h"
#include "SettingsStore.h"
#include "SlotInfo.h"
#include "TestSupport.h"
#include "TestToneDevice.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace TestSupport {

// A device that can be told to fail: at open, or while it runs. It delivers no audio.
class TFlakyDevice : public TDeviceInfoWithClients {
public:
    using TDeviceInfoWithClients::TDeviceInfoWithClients;
    void Lose();
    std::atomic<bool> RefuseOpen{false};
    std::atomic<int> Opens{0};
    std::atomic<int> Closes{0};

protected:
    void Open(int) override;
    void Close() override { ++Closes; }
    int GetSampleRate() override { return 44100; }
};

struct TRow {
    std::int64_t Id;
    std::string StartTime;
    std::optional<double> Duration;
    std::string FileName;
};

// A data folder with a settings file, a device catalogue holding a 440 Hz test
// tone ("TEST:0", 44100 Hz, half scale) and a flaky device ("TEST:1", named
// "Flaky"), a fake clock at 2011-03-15 14:00:00 Berlin time, and helpers to
// build slots and read their catalogues.
class TSlotFixture : public ::testing::Test {
protected:
    TSlotFixture();

    std::string Folder(const std::string& name = "rec") const { return (Dir.Path() / name).string(); }
    // Writes section Slot<index> with these keys, then builds the slot.
    std::unique_ptr<TSlotInfo> MakeSlot(int index, const std::vector<std::pair<std::string, std::string>>& keys);
    // A slot recording the tone into Folder() with these extra keys.
    std::unique_ptr<TSlotInfo> RecordingSlot(const std::vector<std::pair<std::string, std::string>>& extra = {},
                                             int index = 0);

    static std::vector<TRow> Rows(const std::string& folder);
    static void WaitSeconds(double s);
    std::vector<std::string> LogsContaining(const std::string& text) const;

    TTimeZone Zone{"Europe/Berlin"};
    TTempDir Dir;
    TSettingsStore Settings;
    TDeviceCatalogue Devices;
    TTestToneDevice* Tone = nullptr;
    TFlakyDevice* Flaky = nullptr;
    TFakeSystem System;
    mutable std::mutex LoggedLock; // guards Logged while slots log from other threads
    std::vector<std::string> Logged;
    // Lines posted from other threads, as the controller would write them.
    std::mutex PostedLock;
    std::vector<std::string> Posted; // guarded by PostedLock
};

} // namespace TestSupport
