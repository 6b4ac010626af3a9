// The slot configuration dialog on real slots: how it fills, what it writes
// back on OK, the two flags, the bit-rate lists and the space estimate.
#include "ConfigureSlot.h"
#include "SlotFixture.h"
#include "UiSupport.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>

#include <gtest/gtest.h>

#include <stdexcept>

using namespace TestSupport;

namespace {

// An input with a control panel, like a JACK port pair; its panel fails on demand.
class TPanelDevice : public TDeviceInfoWithClients {
public:
    TPanelDevice() : TDeviceInfoWithClients(0, "Panel: in 1 + 2") {}
    bool HasControlPanel() const override { return true; }
    void ShowControlPanel() override {
        ++Shown;
        if (Fail) {
            throw std::runtime_error("ASIOInit: driver not present");
        }
    }
    int Shown = 0;
    bool Fail = false;

protected:
    void Open(int) override {}
    void Close() override {}
    int GetSampleRate() override { return 48000; }
};

class TConfigureSlotTest : public TSlotFixture {
protected:
    TConfigureSlotTest() {
        auto panel = std::make_unique<TPanelDevice>();
        Panel = panel.get();
        Devices.Add("ASIO:0:0", std::move(panel));
    }

    TSlotInfo& Slot(const std::vector<std::pair<std::string, std::string>>& keys) {
        auto keysWithFolder = keys;
        keysWithFolder.emplace_back("Folder", Folder());
        FSlot = MakeSlot(0, keysWithFolder);
        return *FSlot;
    }
    // The settings as they would be written, to compare before and after.
    static std::string Snapshot(const TSlotInfo& slot) {
        struct TCapture : TSettingsFile {
            std::string ReadString(const std::string&, const std::string&, const std::string& d) const override {
                return d;
            }
            int ReadInteger(const std::string&, const std::string&, int d) const override { return d; }
            void WriteSection(const std::string&, const std::vector<std::pair<std::string, std::string>>& v) override {
                for (const auto& [k, value] : v) {
                    Text += k + "=" + value + "\n";
                }
            }
            std::string Text;
        } capture;
        slot.Write(capture, 0);
        return capture.Text;
    }
    static void SetDaysText(TConfigureSlotForm& form, const QString& text) {
        form.udCleanupDays->lineEdit()->setText(text);
    }

    TPanelDevice* Panel = nullptr;
    std::unique_ptr<TSlotInfo> FSlot;
};

} // namespace

TEST(CleanupEstimate, ComputesGigabytesFromBitRateAndDays) {
    EXPECT_EQ(CleanupEstimate("128", TSlotFormat::mp3, "365"), "days (~481 GB)");
    EXPECT_EQ(CleanupEstimate("320", TSlotFormat::ogg, "30"), "days (~98 GB)");
    EXPECT_EQ(CleanupEstimate("256", TSlotFormat::mp3, "365"), "days (~962 GB)");
    EXPECT_EQ(CleanupEstimate("64000", TSlotFormat::wma, "7"), "days (~4 GB)");
    EXPECT_EQ(CleanupEstimate("128", TSlotFormat::wma, "365"), "days (~0 GB)") << "128 bit/s is 0 kbit/s";
    EXPECT_EQ(CleanupEstimate("50", TSlotFormat::wmapro, "365"), "days");
    EXPECT_EQ(CleanupEstimate("", TSlotFormat::mp3, "365"), "days");
    EXPECT_EQ(CleanupEstimate("abc", TSlotFormat::mp3, "365"), "days");
    EXPECT_EQ(CleanupEstimate("128", TSlotFormat::mp3, ""), "days (~0 GB)");
    EXPECT_EQ(CleanupEstimate("2000000", TSlotFormat::mp3, "32767"), "days (~674979400 GB)") << "64-bit throughout";
}

TEST_F(TConfigureSlotTest, TheStoredSourceWinsOverTheFillingRules) {
    const std::vector<std::pair<std::string, std::string>> input{{"Device", "TEST:0"}, {"StreamURL", "http://x/"}};
    for (const char* source : {"None", "Soundcard", "Stream"}) {
        auto keys = input;
        keys.emplace_back("Source", source);
        TConfigureSlotForm form(nullptr, Slot(keys), Devices);
        EXPECT_EQ(form.rbDisabled->isChecked(), std::string(source) == "None") << source;
        EXPECT_EQ(form.rbSoundcard->isChecked(), std::string(source) == "Soundcard") << source;
        EXPECT_EQ(form.rbStream->isChecked(), std::string(source) == "Stream") << source;
        EXPECT_EQ(form.cbDevice->currentIndex(), Devices.FindDevice("TEST:0"));
        EXPECT_EQ(form.edStreamURL->text(), "http://x/");
    }
}

TEST_F(TConfigureSlotTest, FillsEveryControlFromTheSlot) {
    TConfigureSlotForm form(nullptr,
                            Slot({{"Name", "Studio A"}, {"NominalLevel", "-10"}, {"RecordDelay", "120"},
                                  {"Format", "ogg"}, {"Bitrate", "192"}, {"Mode", "mono"}, {"Samplerate", "48000"},
                                  {"EncoderOptions", "-q 5"}, {"FlatFilenames", "on"}, {"NoAutoRotate", "on"},
                                  {"CleanupDaysEnabled", "off"}, {"CleanupDays", "30"}, {"CleanupSpace", "12"},
                                  {"SilenceAlarm", "on"}, {"SilenceLevel", "-45"}, {"SilenceSeconds", "20"}}),
                            Devices);
    EXPECT_EQ(form.windowTitle(), "Configure Slot");
    EXPECT_EQ(form.edName->text(), "Studio A");
    EXPECT_EQ(form.cbDevice->count(), 3);
    EXPECT_EQ(form.cbDevice->itemText(0), "Test: tone") << "the display names, in catalogue order";
    EXPECT_EQ(form.udNominalLevel->value(), -10);
    EXPECT_EQ(form.udRecordDelay->value(), 120);
    EXPECT_EQ(form.udRecordDelay->singleStep(), 60);
    EXPECT_EQ(form.cbFormat->currentText(), "Ogg Vorbis");
    EXPECT_EQ(form.cbBitrate->currentText(), "192");
    EXPECT_EQ(form.cbBitrate->count(), 14);
    EXPECT_EQ(form.cbMode->currentText(), "mono");
    EXPECT_EQ(form.cbSamplerate->currentText(), "48000");
    EXPECT_EQ(form.edEncoderOptions->text(), "-q 5");
    EXPECT_EQ(form.edFolder->text().toStdString(), Folder());
    EXPECT_TRUE(form.cbFlatFilenames->isChecked());
    EXPECT_TRUE(form.cbNoAutoRotate->isChecked());
    EXPECT_FALSE(form.cbCleanupDaysEnabled->isChecked());
    EXPECT_EQ(form.udCleanupDays->value(), 30);
    EXPECT_TRUE(form.cbCleanupSpaceEnabled->isChecked());
    EXPECT_EQ(form.udCleanupSpace->value(), 12);
    EXPECT_EQ(form.lblCleanupDays->text(), "days (~59 GB)");
    EXPECT_TRUE(form.cbSilenceAlarm->isChecked());
    EXPECT_EQ(form.udSilenceLevel->value(), -45);
    EXPECT_EQ(form.udSilenceSeconds->value(), 20);
    EXPECT_EQ(form.size(), QSize(469, 585));
}

TEST_F(TConfigureSlotTest, AnUnknownDeviceSelectsNothingAndOkStoresAnEmptyDevice) {
    TSlotInfo& slot = Slot({{"Source", "Soundcard"}, {"Device", "WDM:77"}});
    TConfigureSlotForm form(nullptr, slot, Devices);
    EXPECT_EQ(form.cbDevice->currentIndex(), -1);
    EXPECT_FALSE(form.btnControlPanel->isEnabled());
    EXPECT_TRUE(form.rbSoundcard->isChecked());
    form.btnOk->click();
    EXPECT_EQ(form.result(), QDialog::Accepted);
    EXPECT_EQ(slot.Device, "");
    EXPECT_TRUE(form.InputChanged());
    EXPECT_FALSE(form.OutputChanged());
}

TEST_F(TConfigureSlotTest, ThePanelButtonFollowsTheDeviceAndShowsItsErrors) {
    TConfigureSlotForm form(nullptr, Slot({{"Source", "Stream"}, {"StreamURL", "http://x/"}}), Devices);
    form.cbDevice->setCurrentIndex(Devices.FindDevice("ASIO:0:0"));
    EXPECT_TRUE(form.btnControlPanel->isEnabled());
    EXPECT_TRUE(form.rbSoundcard->isChecked()) << "picking a device checks \"Sound card:\"";
    form.btnControlPanel->click();
    EXPECT_EQ(Panel->Shown, 1);

    Panel->Fail = true;
    auto answer = TModalAnswerer::Clicking("OK");
    form.btnControlPanel->click();
    EXPECT_EQ(answer.Text(), "ASIOInit: driver not present");

    form.cbDevice->setCurrentIndex(Devices.FindDevice("TEST:0"));
    EXPECT_FALSE(form.btnControlPanel->isEnabled());
    form.edStreamURL->setText("http://y/");
    EXPECT_TRUE(form.rbStream->isChecked()) << "typing a URL checks \"Stream URL:\"";
}

TEST_F(TConfigureSlotTest, EachKindOfChangeSetsItsFlag) {
    struct TCase {
        const char* What;
        std::function<void(TConfigureSlotForm&)> Change;
        bool Input;
        bool Output;
    };
    const std::vector<TCase> cases{
        {"nothing", [](auto&) {}, false, false},
        {"name", [](auto& f) { f.edName->setText("New"); }, false, false},
        {"sample rate", [](auto& f) { f.cbSamplerate->setEditText("48000"); }, false, false},
        {"cleanup", [](auto& f) { f.udCleanupDays->setValue(7); f.cbCleanupSpaceEnabled->setChecked(false); }, false, false},
        {"level, delay, files", [](auto& f) { f.udNominalLevel->setValue(-9); f.udRecordDelay->setValue(60);
                                               f.cbFlatFilenames->setChecked(true); f.cbNoAutoRotate->setChecked(true); },
         false, false},
        {"source", [](auto& f) { f.rbDisabled->setChecked(true); }, true, false},
        {"device", [](auto& f) { f.cbDevice->setCurrentIndex(1); }, true, false},
        {"url", [](auto& f) { f.edStreamURL->setText("http://other/"); f.rbSoundcard->setChecked(true); }, true, false},
        {"url case", [](auto& f) { f.edStreamURL->setText("HTTP://x/"); f.rbSoundcard->setChecked(true); }, true, false},
        {"folder", [](auto& f) { f.edFolder->setText(f.edFolder->text() + "2"); }, false, true},
        {"format", [](auto& f) { f.cbFormat->setCurrentIndex(1); }, false, true},
        {"bit rate", [](auto& f) { f.cbBitrate->setEditText("192"); }, false, true},
        {"mode", [](auto& f) { f.cbMode->setCurrentIndex(0); }, false, true},
        {"options", [](auto& f) { f.edEncoderOptions->setText("-q 2"); }, false, true},
        {"both", [](auto& f) { f.cbDevice->setCurrentIndex(1); f.cbMode->setCurrentIndex(2); }, true, true},
    };
    for (const auto& c : cases) {
        TConfigureSlotForm form(nullptr, Slot({{"Source", "Soundcard"}, {"Device", "TEST:0"}, {"StreamURL", "http://x/"}}),
                                Devices);
        c.Change(form);
        form.btnOk->click();
        ASSERT_EQ(form.result(), QDialog::Accepted) << c.What;
        EXPECT_EQ(form.InputChanged(), c.Input) << c.What;
        EXPECT_EQ(form.OutputChanged(), c.Output) << c.What;
    }
}

TEST_F(TConfigureSlotTest, OkWritesEverySettingBack) {
    TSlotInfo& slot = Slot({{"Source", "None"}});
    TConfigureSlotForm form(nullptr, slot, Devices);
    form.edName->setText("Studio B");
    form.cbDevice->setCurrentIndex(Devices.FindDevice("ASIO:0:0"));
    form.edStreamURL->setText("http://radio/");
    form.rbSoundcard->setChecked(true);
    form.udNominalLevel->setValue(-12);
    form.udRecordDelay->setValue(300);
    form.cbFormat->setCurrentIndex(1);
    form.cbBitrate->setEditText(" 96 ");
    form.cbMode->setCurrentIndex(2);
    form.cbSamplerate->setEditText("not a rate");
    form.edEncoderOptions->setText("-q 4");
    form.edFolder->setText("/srv/rec");
    form.cbFlatFilenames->setChecked(true);
    form.cbNoAutoRotate->setChecked(true);
    form.cbCleanupDaysEnabled->setChecked(false);
    form.udCleanupDays->setValue(40000); // the spinner keeps it in its range
    form.cbCleanupSpaceEnabled->setChecked(false);
    form.udCleanupSpace->setValue(20);
    form.cbSilenceAlarm->setChecked(true);
    form.udSilenceLevel->setValue(-200); // the spinner keeps it in its range
    form.udSilenceSeconds->setValue(90);
    form.btnOk->click();
    ASSERT_EQ(form.result(), QDialog::Accepted);
    EXPECT_EQ(slot.Name, "Studio B");
    EXPECT_EQ(slot.Source, TSlotSource::Soundcard);
    EXPECT_EQ(slot.Device, "ASIO:0:0");
    EXPECT_EQ(slot.StreamURL, "http://radio/");
    EXPECT_EQ(slot.NominalLevel, -12);
    EXPECT_EQ(slot.RecordDelay, 300);
    EXPECT_EQ(slot.Format, TSlotFormat::ogg);
    EXPECT_EQ(slot.Bitrate, 96);
    EXPECT_EQ(slot.Mode, TSlotMode::jointstereo);
    EXPECT_EQ(slot.Samplerate, 44100) << "a rate that is not a number keeps the old one";
    EXPECT_EQ(slot.EncoderOptions, "-q 4");
    EXPECT_EQ(slot.Folder, "/srv/rec");
    EXPECT_TRUE(slot.FlatFilenames);
    EXPECT_TRUE(slot.NoAutoRotate);
    EXPECT_FALSE(slot.CleanupDaysEnabled);
    EXPECT_EQ(slot.CleanupDays, 32767);
    EXPECT_FALSE(slot.CleanupSpaceEnabled);
    EXPECT_EQ(slot.CleanupSpace, 20);
    EXPECT_TRUE(slot.SilenceAlarm);
    EXPECT_EQ(slot.SilenceLevel, -150);
    EXPECT_EQ(slot.SilenceSeconds, 90);
    EXPECT_EQ(slot.ActiveSamplerate, 44100);
}

TEST_F(TConfigureSlotTest, ABitRateThatIsNoNumberLeavesEverySettingAsItWas) {
    TSlotInfo& slot = Slot({{"Name", "Keep"}, {"Source", "Soundcard"}, {"Device", "TEST:0"}});
    const std::string before = Snapshot(slot);
    TConfigureSlotForm form(nullptr, slot, Devices);
    form.edName->setText("Changed");
    form.rbDisabled->setChecked(true);
    form.edFolder->setText("/elsewhere");
    form.cbBitrate->setEditText("12x");
    auto answer = TModalAnswerer::Clicking("OK");
    form.btnOk->click();
    EXPECT_TRUE(answer.Answered());
    EXPECT_EQ(answer.Text(), "'12x' is not a valid integer value");
    EXPECT_NE(form.result(), QDialog::Accepted) << "the dialog stays open";
    EXPECT_EQ(Snapshot(slot), before);

    form.cbBitrate->setEditText("160");
    form.btnOk->click();
    EXPECT_EQ(form.result(), QDialog::Accepted) << "a second OK after the fix goes through";
    EXPECT_EQ(slot.Name, "Changed");
    EXPECT_TRUE(form.InputChanged());
    EXPECT_TRUE(form.OutputChanged());
}

TEST_F(TConfigureSlotTest, AChangeFromTheWebWhileOpenIsReplacedByOkAndTheNextDialogShowsTheResult) {
    TSlotInfo& slot = Slot({{"Name", "A"}, {"Format", "mp3"}});
    TConfigureSlotForm form(nullptr, slot, Devices);
    TSlotSettings web = slot;
    web.Name = "From the web";
    web.Format = TSlotFormat::ogg;
    slot.TakeSettings(web); // as the controller applies a web change while the dialog is open
    form.edName->setText("From the dialog");
    form.btnOk->click();
    ASSERT_EQ(form.result(), QDialog::Accepted);
    EXPECT_TRUE(form.ReplacedOtherChange()) << "the log says the web's change was replaced";
    EXPECT_EQ(slot.Name, "From the dialog");
    EXPECT_EQ(slot.Format, TSlotFormat::mp3) << "the later change wins whole";
    EXPECT_TRUE(form.OutputChanged()) << "measured against what the slot had at OK";

    TConfigureSlotForm next(nullptr, slot, Devices);
    EXPECT_EQ(next.edName->text(), "From the dialog");
    next.btnOk->click();
    EXPECT_FALSE(next.ReplacedOtherChange());
    EXPECT_FALSE(next.OutputChanged());
}

TEST_F(TConfigureSlotTest, CancelWritesNothing) {
    TSlotInfo& slot = Slot({{"Name", "Keep"}, {"Source", "Stream"}, {"StreamURL", "http://x/"}});
    const std::string before = Snapshot(slot);
    TConfigureSlotForm form(nullptr, slot, Devices);
    form.edName->setText("Changed");
    form.cbDevice->setCurrentIndex(0);
    form.cbFormat->setCurrentIndex(1);
    form.udCleanupSpace->setValue(99);
    form.btnControlPanel->click();
    form.btnCancel->click();
    EXPECT_EQ(form.result(), QDialog::Rejected);
    EXPECT_EQ(Snapshot(slot), before);
}

TEST_F(TConfigureSlotTest, WmaOffersTheEncodersRatesAndKeepsTheTypedBitRate) {
    TConfigureSlotForm form(nullptr, Slot({{"Bitrate", "128"}, {"CleanupDays", "365"}}), Devices);
    EXPECT_EQ(form.lblCleanupDays->text(), "days (~481 GB)");
    form.cbFormat->setCurrentIndex(2);
    EXPECT_EQ(form.cbBitrate->currentText(), "128") << "switching the format keeps the number";
    EXPECT_EQ(form.lblCleanupDays->text(), "days (~0 GB)");
    ASSERT_GT(form.cbBitrate->count(), 0);
    EXPECT_EQ(form.cbBitrate->itemText(0), "32000") << "bit/s for WMA";
    EXPECT_EQ(form.cbBitrate->itemText(2), "64000");

    form.cbBitrate->setEditText("64000");
    form.udCleanupDays->setValue(7);
    EXPECT_EQ(form.lblCleanupDays->text(), "days (~4 GB)");
    form.cbBitrate->setEditText("50");
    EXPECT_EQ(form.lblCleanupDays->text(), "days");
    form.cbBitrate->setEditText("64000");
    SetDaysText(form, "");
    EXPECT_EQ(form.lblCleanupDays->text(), "days (~0 GB)") << "an empty days field counts as 0";
}

TEST_F(TConfigureSlotTest, WmaProOrAnUnsupportedRateShowsTheMessageAndAnEmptyList) {
    for (const auto& [format, rate] : std::vector<std::pair<std::string, std::string>>{{"wmapro", "44100"}, {"wma", "96000"}}) {
        auto answer = TModalAnswerer::Clicking("OK");
        TConfigureSlotForm form(nullptr, Slot({{"Format", format}, {"Samplerate", rate}, {"Bitrate", "64000"}}), Devices);
        EXPECT_EQ(answer.Text(), TConfigureSlotForm::WmaMissingMessage) << format;
        EXPECT_EQ(form.cbBitrate->count(), 0) << format;
        EXPECT_EQ(form.cbBitrate->currentText(), "64000") << format;
    }
}

TEST_F(TConfigureSlotTest, TheWmaRatesFollowTheModeOfTheDialogAndTheStoredSampleRate) {
    std::vector<std::pair<int, int>> asked;
    auto rates = [&](int rate, int channels, TSlotFormat) {
        asked.emplace_back(rate, channels);
        return std::vector<int>{48000};
    };
    TConfigureSlotForm form(nullptr, Slot({{"Samplerate", "32000"}}), Devices, rates);
    form.cbSamplerate->setEditText("48000");
    form.cbMode->setCurrentIndex(0);
    form.cbFormat->setCurrentIndex(3);
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0], std::make_pair(32000, 1));
    form.cbMode->setCurrentIndex(1);
    EXPECT_EQ(asked.size(), 1u) << "changing the mode does not ask again";
}
