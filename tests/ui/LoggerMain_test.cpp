// The main window with real slots (the test tone), a real settings file, the
// real web server on loopback and a fake clock for the hour.
#include "ConfigureSlot.h"
#include "Controller.h"
#include "LoggerMain.h"
#include "SlotFixture.h"
#include "SlotList.h"
#include "UiSupport.h"
#include "WebServer.h"
#include "WebServerPage.h"

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <pthread.h>

using namespace TestSupport;

namespace {

using TKeys = std::vector<std::pair<std::string, std::string>>;

// An xdg-open of our own on PATH that writes down what it was asked to open
// and the signals it was started with blocked and ignored.
class TFileManager {
public:
    TFileManager() : FOldPath(std::getenv("PATH")) {
        std::filesystem::create_directories(FDir.Path() / "bin");
        const auto script = FDir.Path() / "bin" / "xdg-open";
        std::ofstream(script) << "#!/bin/sh\ngrep -E '^Sig(Blk|Ign):' /proc/$$/status > '" << Record()
                              << ".part'\n"
                              << "echo \"$1\" >> '" << Record() << ".part'\nmv '" << Record() << ".part' '"
                              << Record() << "'\n";
        std::filesystem::permissions(script, std::filesystem::perms::owner_all);
        setenv("PATH", ((FDir.Path() / "bin").string() + ":" + FOldPath).c_str(), 1);
    }
    ~TFileManager() { setenv("PATH", FOldPath.c_str(), 1); }
    std::string Record() const { return FDir.File("opened"); }
    // The lines it wrote, once it has run.
    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        std::ifstream in(Record());
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    }

private:
    TTempDir FDir;
    std::string FOldPath;
};

class TMainFormTest : public TSlotFixture {
protected:
    std::filesystem::path Ini() const { return Dir.Path() / "data" / "RudazOdudad.ini"; }

    // Writes the sections, then creates and shows the window as the program does.
    TLoggerMainForm& Open(const std::map<std::string, TKeys>& sections = {}) {
        std::filesystem::create_directories(Ini().parent_path());
        if (!sections.empty()) {
            TSettingsStore ini(Ini());
            for (const auto& [section, keys] : sections) {
                ini.WriteSection(section, keys);
            }
        }
        Form = std::make_unique<TLoggerMainForm>(Devices, Ini(), System.Services((Dir.Path() / "Music").string()));
        Form->show();
        return *Form;
    }
    void Quit() { Form.reset(); }
    std::string Stored(const std::string& section, const std::string& key) const {
        return TSettingsStore(Ini()).ReadString(section, key, "<absent>");
    }
    TSlotList& List() const { return *Form->vdtSlots; }
    TSlotInfo& SlotAt(int i) const { return *Form->Controller().Slots().at(static_cast<std::size_t>(i)); }
    void ClickRow(int row) {
        const QRect r = List().RowRect(row);
        QTest::mouseClick(List().viewport(), Qt::LeftButton, {}, QPoint(100, r.top() + 10));
    }
    TWebServerPage& Web() const { return *Form->WebServerPage; }
    TKeys ToneSlot(const std::string& name, const std::string& enabled = "on") const {
        return {{"Name", name}, {"Source", "Soundcard"}, {"Device", "TEST:0"}, {"Folder", Folder(name)},
                {"Enabled", enabled}};
    }

    std::unique_ptr<TLoggerMainForm> Form;
};

} // namespace

TEST_F(TMainFormTest, StartsWithItsPagesNoFocusedRowAndTheWebServerDefaults) {
    TLoggerMainForm& form = Open({{"General", {{"Slots", "2"}}}});
    EXPECT_EQ(form.windowTitle(), "Pelorand Rudaz Odudad");
    EXPECT_EQ(form.size(), QSize(454, 448));
    ASSERT_EQ(form.pcMain->count(), 4);
    EXPECT_EQ(form.pcMain->tabText(0), "Slots");
    EXPECT_EQ(form.pcMain->tabText(1), "Web Server");
    EXPECT_EQ(form.pcMain->tabText(2), "Messages");
    EXPECT_EQ(form.pcMain->tabText(3), "About");
    EXPECT_EQ(form.pcMain->currentIndex(), 0);
    // The version the build was configured with.
    EXPECT_EQ(form.lblVersion->text().toStdString(),
              "Version " RUDAZ_PROJECT_VERSION " Build " RUDAZ_BUILD_NUMBER_TEXT);
    EXPECT_NEAR(form.MeterDecay, 0.857696f, 1e-6);

    EXPECT_EQ(List().RowCount(), 2);
    EXPECT_EQ(List().FocusedRow(), -1);
    EXPECT_FALSE(List().StartButton()->isVisible());
    EXPECT_EQ(List().RowHeight(0), 70);

    EXPECT_EQ(Web().edWebServerPort->text(), "5252");
    EXPECT_EQ(Web().edWebServerUser->text(), "");
    EXPECT_EQ(Web().edWebServerPassword->text(), "");
    EXPECT_EQ(Web().edWebServerPassword->echoMode(), QLineEdit::Password);
    EXPECT_TRUE(Web().cbWebServerCommandExecution->isChecked());
    EXPECT_TRUE(Web().btnWebServerStart->isEnabled());
    EXPECT_FALSE(Web().btnWebServerStop->isEnabled());
    EXPECT_FALSE(form.WebServer().Active());
    EXPECT_EQ(form.TrayIcon, nullptr) << "no tray on the offscreen platform";
}

TEST_F(TMainFormTest, TheFocusedRowGrowsWithItsButtonsAndEscTakesThemAway) {
    Open({{"General", {{"Slots", "3"}}}});
    List().setFocus();
    ClickRow(1);
    EXPECT_EQ(List().FocusedRow(), 1);
    EXPECT_EQ(List().RowHeight(0), 70);
    EXPECT_EQ(List().RowHeight(1), 100);
    const QRect row = List().RowRect(1);
    EXPECT_EQ(row.top(), 70);
    const int top = row.top() + row.height() - 30;
    const int right = row.left() + row.width();
    EXPECT_EQ(List().SettingsButton()->geometry(), QRect(58, top, 100, 25));
    EXPECT_EQ(List().StartButton()->geometry(), QRect(right - 208, top, 100, 25));
    EXPECT_EQ(List().StopButton()->geometry(), QRect(right - 104, top, 100, 25));
    EXPECT_TRUE(List().SettingsButton()->isVisible());
    EXPECT_EQ(List().SettingsButton()->text(), "Settings...");

    ClickRow(2);
    EXPECT_EQ(List().RowHeight(1), 70);
    EXPECT_EQ(List().RowHeight(2), 100);
    EXPECT_EQ(List().StopButton()->y(), 140 + 70);

    // A resize keeps the buttons at the row's right end.
    Form->resize(600, 448);
    QTest::qWait(10);
    EXPECT_EQ(List().StopButton()->x(), List().RowRect(2).width() - 104);

    QTest::keyClick(&List(), Qt::Key_Escape);
    EXPECT_EQ(List().FocusedRow(), -1);
    EXPECT_EQ(List().RowHeight(2), 70);
    EXPECT_FALSE(List().SettingsButton()->isVisible());
    EXPECT_FALSE(List().StopButton()->isVisible());
}

TEST_F(TMainFormTest, StartAndStopAreEnabledBySourceAndState) {
    Open({{"General", {{"Slots", "6"}}},
          {"Slot0", {{"Source", "None"}, {"Enabled", "on"}}},
          {"Slot1", {{"Source", "None"}, {"Enabled", "off"}}},
          {"Slot2", ToneSlot("on")},
          {"Slot3", ToneSlot("off", "off")},
          {"Slot4", {{"Source", "Stream"}, {"StreamURL", "http://127.0.0.1:1/"}, {"Enabled", "on"}}},
          {"Slot5", {{"Source", "Stream"}, {"StreamURL", "http://127.0.0.1:1/"}, {"Enabled", "off"}}}});
    const struct {
        bool Start;
        bool Stop;
    } expected[] = {{false, false}, {false, false}, {false, true}, {true, false}, {false, true}, {true, false}};
    for (int row = 0; row < 6; ++row) {
        List().SetFocusedRow(row);
        EXPECT_EQ(List().StartButton()->isEnabled(), expected[row].Start) << "row " << row;
        EXPECT_EQ(List().StopButton()->isEnabled(), expected[row].Stop) << "row " << row;
        EXPECT_TRUE(List().SettingsButton()->isEnabled());
    }
}

TEST_F(TMainFormTest, StopClosesTheFileAndStartOpensANewOne) {
    TLoggerMainForm& form = Open({{"General", {{"Slots", "1"}}}, {"Slot0", ToneSlot("Studio")}});
    EXPECT_FALSE(SlotAt(0).HasEncoder()) << "no file before the first tick";
    form.timTimerTimer();
    ASSERT_TRUE(SlotAt(0).HasEncoder()) << SlotAt(0).LastError;
    WaitSeconds(0.3); // audio in the file: one without keeps no row
    ClickRow(0);
    QTest::mouseClick(List().StopButton(), Qt::LeftButton);
    EXPECT_FALSE(SlotAt(0).Enabled);
    EXPECT_FALSE(SlotAt(0).HasEncoder());
    EXPECT_TRUE(List().StartButton()->isEnabled());
    EXPECT_FALSE(List().StopButton()->isEnabled());
    auto rows = Rows(Folder("Studio"));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_TRUE(rows[0].Duration.has_value()) << "the closed file has its duration";

    System.Advance(std::chrono::seconds(5)); // the next file gets a name of its own
    QTest::mouseClick(List().StartButton(), Qt::LeftButton);
    EXPECT_TRUE(SlotAt(0).HasEncoder());
    EXPECT_FALSE(List().StartButton()->isEnabled());
    EXPECT_EQ(Rows(Folder("Studio")).size(), 2u);
    QTest::mouseClick(List().StopButton(), Qt::LeftButton);
    Quit();
    EXPECT_EQ(Stored("Slot0", "Enabled"), "off") << "a stopped slot stays stopped";
}

TEST_F(TMainFormTest, RemoteCommandsRunOnTheNextTickAndIgnoreBadIndexes) {
    TLoggerMainForm& form = Open({{"General", {{"Slots", "1"}}}, {"Slot0", ToneSlot("Studio", "off")}});
    form.Controller().PostSlotCommand({WM_STARTSLOT, -1});
    form.Controller().PostSlotCommand({WM_STARTSLOT, 4});
    form.Controller().PostSlotCommand({WM_STARTSLOT, 0});
    EXPECT_FALSE(SlotAt(0).Enabled) << "not before the tick";
    form.timTimerTimer();
    EXPECT_TRUE(SlotAt(0).Enabled);
    EXPECT_TRUE(SlotAt(0).HasEncoder());
}

TEST_F(TMainFormTest, TheSettingsFlowRestartsOnlyWhatChanged) {
    TLoggerMainForm& form = Open({{"General", {{"Slots", "1"}}}, {"Slot0", ToneSlot("Studio")}});
    form.timTimerTimer();
    const std::string file = SlotAt(0).CurrentFile;
    ASSERT_FALSE(file.empty());
    ClickRow(0);

    TModalAnswerer rename([](QWidget* w) {
        auto* dialog = qobject_cast<TConfigureSlotForm*>(w);
        dialog->edName->setText("Renamed");
        dialog->btnOk->click();
    });
    QTest::mouseDClick(List().viewport(), Qt::LeftButton, {}, QPoint(100, 20));
    ASSERT_TRUE(rename.Answered());
    EXPECT_EQ(SlotAt(0).Name, "Renamed");
    EXPECT_EQ(SlotAt(0).CurrentFile, file) << "a new name opens no new file";

    System.Advance(std::chrono::seconds(5));
    TModalAnswerer move([this](QWidget* w) {
        auto* dialog = qobject_cast<TConfigureSlotForm*>(w);
        dialog->edFolder->setText(QString::fromStdString(Folder("moved")));
        dialog->btnOk->click();
    });
    QTest::mouseClick(List().SettingsButton(), Qt::LeftButton);
    ASSERT_TRUE(move.Answered());
    EXPECT_EQ(SlotAt(0).CurrentFile.rfind(Folder("moved"), 0), 0u) << SlotAt(0).CurrentFile;
    EXPECT_EQ(Rows(Folder("moved")).size(), 1u);

    auto cancel = TModalAnswerer::Clicking("Cancel");
    QTest::mouseClick(List().SettingsButton(), Qt::LeftButton);
    ASSERT_TRUE(cancel.Answered());
    EXPECT_EQ(Rows(Folder("moved")).size(), 1u);
}

TEST_F(TMainFormTest, TheCloseQuestionDefaultsToNoAndYesShutsDownInOrder) {
    const int port = FreePort();
    TLoggerMainForm& form = Open({{"General", {{"Slots", "1"}}}, {"Slot0", ToneSlot("Studio")},
                                  {"Webserver", {{"Port", std::to_string(port)}, {"Enabled", "on"}}}});
    form.timTimerTimer();
    ASSERT_TRUE(form.WebServer().Active());
    {
        auto no = TModalAnswerer::Clicking("No");
        EXPECT_FALSE(form.close());
        EXPECT_EQ(no.Text(), "Exit Pelorand Rudaz Odudad?");
        EXPECT_EQ(no.DefaultButton(), "No");
    }
    EXPECT_TRUE(form.WebServer().Active()) << "No changes nothing";
    EXPECT_TRUE(SlotAt(0).HasEncoder());

    auto yes = TModalAnswerer::Clicking("Yes");
    EXPECT_TRUE(form.close());
    EXPECT_FALSE(form.WebServer().Active()) << "stopped before any slot is freed";
    EXPECT_EQ(Stored("Webserver", "Enabled"), "on");
    Quit();
    EXPECT_EQ(Stored("General", "Slots"), "1");
    EXPECT_EQ(Stored("Webserver", "Port"), std::to_string(port));
    EXPECT_EQ(Stored("Slot0", "Name"), "Studio");
    auto rows = Rows(Folder("Studio"));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_TRUE(rows[0].Duration.has_value());

    // Running at the close, so it starts by itself at the next start.
    TLoggerMainForm& again = Open();
    EXPECT_TRUE(again.WebServer().Active());
    EXPECT_FALSE(Web().edWebServerPort->isEnabled());
    Web().btnWebServerStopClick();
    again.CloseWithoutQuestion();
    Quit();
    EXPECT_EQ(Stored("Webserver", "Enabled"), "off");
}

TEST_F(TMainFormTest, EnabledWithACapitalOStaysStoppedAndCommandExecutionLikewise) {
    TLoggerMainForm& form = Open({{"Webserver", {{"Enabled", "On"}, {"CommandExecution", "On"}, {"Port", "1"}}}});
    EXPECT_FALSE(form.WebServer().Active());
    EXPECT_FALSE(Web().cbWebServerCommandExecution->isChecked());
    Quit();
    EXPECT_EQ(Stored("Webserver", "Enabled"), "off");
    EXPECT_EQ(Stored("Webserver", "CommandExecution"), "off");
}

TEST_F(TMainFormTest, TheStoredHashSurvivesUntilThePasswordFieldIsEdited) {
    const std::string stored = HashWebServerPassword("secret");
    Open({{"Webserver", {{"User", "admin"}, {"Password", stored}}}});
    EXPECT_EQ(Web().edWebServerPassword->text().toStdString(), stored) << "the field shows the hash";
    EXPECT_EQ(Form->WebServer().PasswordHash(), stored);
    Quit();
    EXPECT_EQ(Stored("Webserver", "Password"), stored);

    Open();
    QTest::keyClicks(Web().edWebServerPassword, "x");
    EXPECT_EQ(Form->WebServer().PasswordHash(), HashWebServerPassword(stored + "x")) << "the whole field text";
    Web().edWebServerPassword->clear();
    QTest::keyClicks(Web().edWebServerPassword, "new");
    Quit();
    EXPECT_EQ(Stored("Webserver", "Password"), HashWebServerPassword("new"));
    EXPECT_EQ(Stored("Webserver", "User"), "admin");
}

TEST_F(TMainFormTest, APortInUseIsReportedAndTheFieldsStayUsable) {
    TPortBlocker blocker;
    TLoggerMainForm& form = Open();
    Web().edWebServerPort->setText(QString::number(blocker.Port()));
    auto ok = TModalAnswerer::Clicking("OK");
    QTest::mouseClick(Web().btnWebServerStart, Qt::LeftButton);
    ASSERT_TRUE(ok.Answered());
    EXPECT_TRUE(ok.Text().startsWith("Error starting web server: ")) << ok.Text().toStdString();
    EXPECT_FALSE(form.WebServer().Active());
    EXPECT_TRUE(Web().edWebServerPort->isEnabled());
    EXPECT_TRUE(Web().btnWebServerStart->isEnabled());
    EXPECT_FALSE(Web().btnWebServerStop->isEnabled());
    EXPECT_TRUE(Web().memWebServerLog->toPlainText().contains("Error starting web server: "));

    Web().edWebServerPort->setText(QString::number(FreePort()));
    QTest::mouseClick(Web().btnWebServerStart, Qt::LeftButton);
    EXPECT_TRUE(form.WebServer().Active());
    EXPECT_FALSE(Web().edWebServerPassword->isEnabled());
    EXPECT_FALSE(Web().cbWebServerCommandExecution->isEnabled());
    EXPECT_TRUE(Web().btnWebServerStop->isEnabled());
    EXPECT_TRUE(Web().memWebServerLog->toPlainText().contains("Web server started"));
    QTest::mouseClick(Web().btnWebServerStop, Qt::LeftButton);
    EXPECT_FALSE(form.WebServer().Active());
    EXPECT_TRUE(Web().edWebServerUser->isEnabled());
    EXPECT_TRUE(Web().memWebServerLog->toPlainText().contains("Web server stopped"));
}

TEST_F(TMainFormTest, SlotLinesGoToTheMessagesPageWhichKeeps1000) {
    TLoggerMainForm& form = Open({{"General", {{"Slots", "1"}}}, {"Slot0", ToneSlot("Studio")}});
    EXPECT_TRUE(form.memLog->toPlainText().contains(": Studio: Recording from Test: tone"));
    for (int i = 0; i < 1005; ++i) {
        form.Controller().LogSlotMessage(SlotAt(0), "line " + std::to_string(i));
    }
    EXPECT_EQ(form.memLog->blockCount(), 1000);
    EXPECT_TRUE(form.memLog->toPlainText().endsWith(": line 1004"));
}

TEST_F(TMainFormTest, WithoutSlotsTheWindowAndTheWebServerStillWork) {
    TLoggerMainForm& form = Open({{"General", {{"Slots", "0"}}}});
    EXPECT_EQ(List().RowCount(), 0);
    QTest::keyClick(&List(), Qt::Key_Down);
    EXPECT_EQ(List().FocusedRow(), -1);
    form.btnSettingsClick(); // nothing focused: nothing happens
    form.timTimerTimer();
    Web().edWebServerPort->setText(QString::number(FreePort()));
    Web().btnWebServerStartClick();
    EXPECT_TRUE(form.WebServer().Active());
    Quit();
    EXPECT_EQ(Stored("General", "Slots"), "0");
}

TEST_F(TMainFormTest, WithoutATrayMinimisingKeepsTheWindowAndARestoreBringsItBack) {
    TLoggerMainForm& form = Open({{"General", {{"Slots", "0"}}}});
    ASSERT_EQ(form.TrayIcon, nullptr);
    form.showMinimized();
    QTest::qWait(50);
    EXPECT_TRUE(form.isVisible()) << "with no tray to come back from, the window stays";
    form.TrayIconClick();
    EXPECT_FALSE(form.isMinimized());
    form.hide();
    form.TrayIconClick(); // what a second start asks for
    EXPECT_TRUE(form.isVisible());
}

TEST_F(TMainFormTest, OpenOutputFolderOpensTheFocusedRowsFolderWithoutTheProgramsSignalMask) {
    TLoggerMainForm& form = Open({{"General", {{"Slots", "2"}}}, {"Slot0", ToneSlot("first")}, {"Slot1", ToneSlot("second")}});
    TFileManager files;
    // As the program runs: its stop signals blocked for every thread, broken pipes ignored.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGHUP);
    sigset_t before;
    pthread_sigmask(SIG_BLOCK, &stop, &before);
    const auto oldPipe = std::signal(SIGPIPE, SIG_IGN);
    form.miOpenFolderClick();
    EXPECT_FALSE(WaitUntil([&] { return std::filesystem::exists(files.Record()); }, 0.5))
        << "no focused row, nothing opened";
    List().SetFocusedRow(1);
    ASSERT_EQ(List().PopupMenu()->actions().size(), 1);
    EXPECT_EQ(List().PopupMenu()->actions()[0]->text(), "Open Output Folder");
    List().PopupMenu()->actions()[0]->trigger();
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    std::signal(SIGPIPE, oldPipe);
    ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(files.Record()); }, 5));
    const auto lines = files.Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "SigBlk:\t0000000000000000") << "nothing blocked";
    const unsigned long long ignored = std::stoull(lines[1].substr(lines[1].find('\t') + 1), nullptr, 16);
    for (int sig : {SIGPIPE, SIGTERM, SIGHUP}) {
        EXPECT_EQ(ignored & (1ull << (sig - 1)), 0u) << "signal " << sig << " ignored: " << lines[1];
    }
    EXPECT_EQ(lines[2], Folder("second"));

    // Without a file manager the click is not lost in silence.
    const std::string path = std::getenv("PATH");
    setenv("PATH", Dir.File("no-such-bin").c_str(), 1);
    form.miOpenFolderClick();
    setenv("PATH", path.c_str(), 1);
    EXPECT_TRUE(form.memLog->toPlainText().contains(
        ": second: Cannot open the output folder: xdg-open: No such file or directory"))
        << form.memLog->toPlainText().toStdString();
}
