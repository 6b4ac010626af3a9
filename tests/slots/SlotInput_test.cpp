#include "SlotFixture.h"

using namespace TestSupport;

using TSlotInputTest = TSlotFixture;

TEST_F(TSlotInputTest, AttachFailuresAreKeptAndLoggedInTheirForms) {
    auto slot = MakeSlot(0, {{"Name", "A"}, {"Source", "Soundcard"}});
    slot->StartInput();
    EXPECT_EQ(slot->LastError, "No device selected");
    slot->Device = "WDM:9";
    slot->StartInput();
    EXPECT_EQ(slot->LastError, "Invalid device");
    Flaky->RefuseOpen = true;
    slot->Device = "test:1";
    slot->StartInput();
    EXPECT_EQ(slot->LastError, "Init: can't find a free sound driver (BASS error 3)");
    EXPECT_EQ(slot->AttachedDevice, nullptr);
    const std::vector<std::string> expected{"A: Recording error: No device selected", "A: Recording error: Invalid device",
                                            "A: Error recording from \"Flaky\": Init: can't find a free sound driver "
                                            "(BASS error 3)"};
    EXPECT_EQ(Logged, expected);
}

TEST_F(TSlotInputTest, SwitchingDevicesReleasesTheFirstAndTheSameDeviceTwiceChangesNothing) {
    auto slot = MakeSlot(0, {{"Name", "A"}, {"Source", "Soundcard"}, {"Device", "TEST:1"}});
    slot->StartInput();
    slot->StartInput();
    EXPECT_EQ(Logged, std::vector<std::string>{"A: Recording from Flaky"});
    EXPECT_EQ(Flaky->Opens, 1);
    slot->Device = "TEST:0";
    slot->StartInput();
    EXPECT_EQ(Flaky->Closes, 1) << "its only client left";
    EXPECT_EQ(Flaky->ClientCount(), 0u);
    EXPECT_EQ(Logged.back(), "A: Recording from Test: tone");
    slot->Source = TSlotSource::None;
    slot->StartInput();
    EXPECT_EQ(slot->AttachedDevice, nullptr);
    EXPECT_FALSE(Tone->IsOpen());
    EXPECT_EQ(slot->PeakLeft(), 0.0f);
}

TEST_F(TSlotInputTest, ALostDeviceIsReportedOnceAndAttachedAgainWhenItIsBack) {
    auto slot = MakeSlot(0, {{"Name", "A"}, {"Source", "Soundcard"}, {"Device", "TEST:1"}});
    slot->StartInput();
    Logged.clear();
    Flaky->Lose();
    Flaky->RefuseOpen = true;
    for (int i = 0; i < 40; ++i) { // 4 s: one failed attempt to reopen
        slot->CheckInput();
        WaitSeconds(0.1);
    }
    EXPECT_EQ(Logged, std::vector<std::string>{"A: Error recording from \"Flaky\": illegal device number (BASS error 23)"});
    EXPECT_EQ(slot->LastError, "illegal device number (BASS error 23)");
    EXPECT_EQ(slot->AttachedDevice, Flaky) << "still the slot's input";
    Flaky->RefuseOpen = false;
    for (int i = 0; i < 40 && Logged.size() < 2; ++i) {
        slot->CheckInput();
        WaitSeconds(0.1);
    }
    ASSERT_EQ(Logged.size(), 2u);
    EXPECT_EQ(Logged[1], "A: Recording from Flaky");
    EXPECT_TRUE(slot->LastError.empty());
    EXPECT_FALSE(Flaky->Lost());
    EXPECT_EQ(Flaky->Opens, 2);
}
