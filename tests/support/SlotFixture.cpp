#include "SlotFixture.h"

#include "basserrors.h"

#include <chrono>
#include <thread>

namespace TestSupport {

TSlotFixture::TSlotFixture()
    : Settings(Dir.Path() / "RudazOdudad.ini"), System(TFakeSystem::Local(2011, 3, 15, 14, 0, 0)) {
    auto tone = std::make_unique<TTestToneDevice>(0, "Test: tone", 440.0, 0.5f);
    Tone = tone.get();
    Devices.Add("TEST:0", std::move(tone));
    auto flaky = std::make_unique<TFlakyDevice>(1, "Flaky");
    Flaky = flaky.get();
    Devices.Add("TEST:1", std::move(flaky));
}

void TFlakyDevice::Lose() {
    ReportLost(BassError::Device);
}

void TFlakyDevice::Open(int) {
    if (RefuseOpen) {
        throw TAudioError("Init", BassError::Driver);
    }
    ++Opens;
}

std::unique_ptr<TSlotInfo> TSlotFixture::MakeSlot(int index,
                                                  const std::vector<std::pair<std::string, std::string>>& keys) {
    Settings.WriteSection("Slot" + std::to_string(index), keys);
    auto slot = std::make_unique<TSlotInfo>(Settings, index, Devices, System.Services((Dir.Path() / "Music").string()));
    slot->OnLog = [this](TSlotInfo&, const std::string& line) {
        std::lock_guard guard(LoggedLock); // two slots may log from two threads at once
        Logged.push_back(line);
    };
    slot->OnPostLog = [this](TSlotInfo& s, const std::string& line) {
        std::lock_guard guard(PostedLock);
        Posted.push_back(s.Name + ": " + line);
    };
    return slot;
}

std::unique_ptr<TSlotInfo> TSlotFixture::RecordingSlot(const std::vector<std::pair<std::string, std::string>>& extra,
                                                       int index) {
    std::vector<std::pair<std::string, std::string>> keys{
        {"Name", "Studio"}, {"Folder", Folder()}, {"Source", "Soundcard"}, {"Device", "TEST:0"}};
    keys.insert(keys.end(), extra.begin(), extra.end());
    auto slot = MakeSlot(index, keys);
    slot->StartInput();
    return slot;
}

std::vector<TRow> TSlotFixture::Rows(const std::string& folder) {
    TCatalogue db(folder + "/RudazOdudad.db");
    auto q = db.Prepare("SELECT id, starttime, duration, filename FROM recordings ORDER BY id");
    std::vector<TRow> rows;
    while (q.Step()) {
        rows.push_back(TRow{q.ColumnInt64(0), q.ColumnText(1),
                            q.ColumnIsNull(2) ? std::nullopt : std::optional<double>(q.ColumnDouble(2)),
                            q.ColumnText(3)});
    }
    return rows;
}

void TSlotFixture::WaitSeconds(double s) {
    std::this_thread::sleep_for(std::chrono::duration<double>(s));
}

std::vector<std::string> TSlotFixture::LogsContaining(const std::string& text) const {
    std::vector<std::string> found;
    std::lock_guard guard(LoggedLock);
    for (const auto& line : Logged) {
        if (line.find(text) != std::string::npos) {
            found.push_back(line);
        }
    }
    return found;
}

} // namespace TestSupport
