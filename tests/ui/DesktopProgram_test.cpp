// The whole desktop program on a private X server, recording a private
// PulseAudio daemon's sine source, worked with the mouse and the keyboard.
#include "Catalogue.h"
#include "ChildProgram.h"
#include "PulseServer.h"
#include "SettingsStore.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

// Last: its macros (None, Status, ...) clash with names in the headers above.
#include <X11/Xlib.h>

using namespace TestSupport;
using namespace std::chrono_literals;

namespace {

// A client connection to the test's X server, for what xdotool cannot do
// without a window manager: ask a window to close, stack a window over it.
class TXClient {
public:
    explicit TXClient(const std::string& display) : FDisplay(XOpenDisplay(display.c_str()), XCloseDisplay) {
        if (!FDisplay) {
            throw std::runtime_error("cannot open display " + display);
        }
    }
    // What a window manager sends for the window's close button.
    void RequestClose(Window w) {
        XEvent e{};
        e.xclient.type = ClientMessage;
        e.xclient.window = w;
        e.xclient.message_type = XInternAtom(FDisplay.get(), "WM_PROTOCOLS", False);
        e.xclient.format = 32;
        e.xclient.data.l[0] = static_cast<long>(XInternAtom(FDisplay.get(), "WM_DELETE_WINDOW", False));
        e.xclient.data.l[1] = CurrentTime;
        XSendEvent(FDisplay.get(), w, False, NoEventMask, &e);
        XFlush(FDisplay.get());
    }
    // A plain window over the whole screen, on top of everything.
    Window Cover() {
        const Window root = DefaultRootWindow(FDisplay.get());
        const Window w = XCreateSimpleWindow(FDisplay.get(), root, 0, 0, 1024, 768, 0, 0, 0);
        XMapRaised(FDisplay.get(), w);
        XSync(FDisplay.get(), False);
        return w;
    }
    // Position of a top-level window in the stacking order, bottom first; -1 if absent.
    int StackPosition(Window w) {
        Window root = 0, parent = 0;
        Window* children = nullptr;
        unsigned count = 0;
        XQueryTree(FDisplay.get(), DefaultRootWindow(FDisplay.get()), &root, &parent, &children, &count);
        int position = -1;
        for (unsigned i = 0; i < count; ++i) {
            if (children[i] == w) {
                position = static_cast<int>(i);
            }
        }
        XFree(children);
        return position;
    }

private:
    std::unique_ptr<Display, int (*)(Display*)> FDisplay;
};

struct TGeometry {
    int X = 0, Y = 0, Width = 0, Height = 0;
};

class TDesktopProgramTest : public ::testing::Test {
protected:
    TDesktopProgramTest() : X(Pulse.RuntimeDir().string() + "/xvfb.log") {}

    std::string Dir() const { return Pulse.RuntimeDir().string(); }
    std::string Rec() const { return Dir() + "/rec"; }
    std::filesystem::path Ini() const { return Pulse.RuntimeDir() / "data" / "RudazOdudad.ini"; }

    std::unique_ptr<TChildProgram> StartProgram(const std::string& log) const {
        // The daemon's folder is also the runtime folder: the single instance lives there.
        return std::make_unique<TChildProgram>(
            std::vector<std::string>{RUDAZ_PROGRAM},
            TChildProgram::TEnvironment{{"RUDAZODUDAD_DATA_DIR", Dir() + "/data"},
                                        {"DISPLAY", X.Display()},
                                        {"QT_QPA_PLATFORM", std::nullopt},
                                        {"RUDAZODUDAD_TEST_TONE", std::nullopt},
                                        {"LSAN_OPTIONS", "suppressions=" RUDAZ_LSAN_SUPPRESSIONS}},
            Dir() + "/" + log);
    }
    TCommandResult XDoTool(const std::string& args) const {
        return RunCommand("DISPLAY=" + X.Display() + " xdotool " + args + " 2>/dev/null");
    }
    std::vector<Window> Windows(const std::string& title) const {
        std::istringstream ids(XDoTool("search --onlyvisible --name '^" + title + "$'").Output);
        std::vector<Window> found;
        for (unsigned long id; ids >> id;) {
            found.push_back(id);
        }
        return found;
    }
    TGeometry Geometry(Window w) const {
        std::map<std::string, int> values;
        std::istringstream shell(XDoTool("getwindowgeometry --shell " + std::to_string(w)).Output);
        for (std::string line; std::getline(shell, line);) {
            if (const auto eq = line.find('='); eq != std::string::npos) {
                values[line.substr(0, eq)] = std::atoi(line.c_str() + eq + 1);
            }
        }
        return TGeometry{values["X"], values["Y"], values["WIDTH"], values["HEIGHT"]};
    }
    static std::string ImageSize(const std::string& file) {
        return RunCommand("identify -format '%wx%h' '" + file + "'").Output;
    }
    void Click(int x, int y) const { XDoTool("mousemove " + std::to_string(x) + " " + std::to_string(y) + " click 1"); }
    void Key(const std::string& key) const { XDoTool("key " + key); }
    static std::vector<std::optional<double>> Durations(const std::string& folder) {
        std::vector<std::optional<double>> d;
        TCatalogue db(folder + "/RudazOdudad.db");
        auto rows = db.Prepare("SELECT duration FROM recordings ORDER BY id");
        while (rows.Step()) {
            d.push_back(rows.ColumnIsNull(0) ? std::nullopt : std::optional<double>(rows.ColumnDouble(0)));
        }
        return d;
    }

    TPulseServer Pulse;
    TXvfbServer X;
};

} // namespace

TEST_F(TDesktopProgramTest, RecordsIsWorkedWithTheMouseAndAsksBeforeItEnds) {
    std::filesystem::create_directories(Ini().parent_path());
    {
        TSettingsStore ini(Ini());
        ini.WriteString("General", "Slots", "2");
        ini.WriteSection("Slot0", {{"Name", "Studio A"}, {"Folder", Rec()}, {"Source", "Soundcard"},
                                   {"Device", "WASAPI:sine"}, {"NominalLevel", "-9"}});
        ini.WriteSection("Slot1", {{"Name", "Spare"}, {"Folder", Dir() + "/spare"}});
    }
    auto program = StartProgram("program.log");
    ASSERT_TRUE(program->WaitForLog("Encoding to file " + Rec(), 20s)) << program->Log();
    std::vector<Window> main;
    ASSERT_TRUE(WaitUntil([&] { return (main = Windows("Pelorand Rudaz Odudad")).size() == 1; }, 10));
    const Window window = main[0];
    const TGeometry g = Geometry(window);
    EXPECT_EQ(g.Width, 454);
    EXPECT_EQ(g.Height, 448);
    EXPECT_EQ(g.X + g.Width / 2, 512) << "centred";

    // Some seconds of level and time on the screen, then the picture for the README.
    std::this_thread::sleep_for(3500ms);
    std::filesystem::create_directories(RUDAZ_ARTIFACTS);
    const std::string shot = std::string(RUDAZ_ARTIFACTS) + "/main-window.png";
    ASSERT_EQ(RunCommand("DISPLAY=" + X.Display() + " import -window " + std::to_string(window) + " " + shot).ExitCode, 0);
    EXPECT_EQ(ImageSize(shot), "454x448");

    // A second start raises the running window and ends at once, touching nothing.
    TXClient client(X.Display());
    const Window cover = client.Cover();
    ASSERT_GT(client.StackPosition(cover), client.StackPosition(window));
    const auto iniBefore = std::filesystem::last_write_time(Ini());
    auto second = StartProgram("second.log");
    EXPECT_EQ(second->WaitForExit(10s), 0) << second->Log();
    EXPECT_EQ(second->Log().find("slots ready"), std::string::npos) << second->Log();
    EXPECT_TRUE(WaitUntil([&] { return client.StackPosition(window) > client.StackPosition(cover); }, 5))
        << "the first window is on top again";
    EXPECT_EQ(std::filesystem::last_write_time(Ini()), iniBefore);
    EXPECT_TRUE(program->Running());

    // Row 0 grows when clicked; its Stop and Start buttons sit at its bottom right.
    Click(g.X + 150, g.Y + 60);
    const int buttons = g.Y + 29 + 70 + 12;
    Click(g.X + g.Width - 5 - 104 + 50, buttons); // Stop
    ASSERT_TRUE(WaitUntil([&] { return Durations(Rec()).size() == 1 && Durations(Rec())[0].has_value(); }, 10))
        << "Stop finished the file\n" << program->Log();
    std::this_thread::sleep_for(1100ms); // a new file name needs a new second
    Click(g.X + g.Width - 5 - 208 + 50, buttons); // Start
    ASSERT_TRUE(WaitUntil([&] { return Durations(Rec()).size() == 2; }, 10)) << "Start began a new file";
    std::this_thread::sleep_for(2500ms); // the sine source delivers in pieces of two seconds

    // The close button asks; No keeps everything running, Yes ends in order.
    client.RequestClose(window);
    std::vector<Window> question;
    ASSERT_TRUE(WaitUntil([&] { return (question = Windows("Pelorand Rudaz Odudad")).size() == 2; }, 10));
    const Window box = question[0] == window ? question[1] : question[0];
    XDoTool("windowfocus --sync " + std::to_string(box));
    Key("n");
    ASSERT_TRUE(WaitUntil([&] { return Windows("Pelorand Rudaz Odudad").size() == 1; }, 10));
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(program->Running());
    EXPECT_EQ(Durations(Rec()).size(), 2u);

    client.RequestClose(window);
    ASSERT_TRUE(WaitUntil([&] { return (question = Windows("Pelorand Rudaz Odudad")).size() == 2; }, 10));
    XDoTool("windowfocus --sync " + std::to_string(question[0] == window ? question[1] : question[0]));
    Key("y");
    EXPECT_EQ(program->WaitForExit(20s), 0) << program->Log();

    // Both files were finished with their durations; the first holds seconds of the source.
    const auto durations = Durations(Rec());
    ASSERT_EQ(durations.size(), 2u);
    ASSERT_TRUE(durations[0].has_value());
    EXPECT_GT(*durations[0], 0.5);
    EXPECT_TRUE(durations[1].has_value());
    TSettingsStore after(Ini());
    EXPECT_EQ(after.ReadString("General", "Slots", ""), "2");
    EXPECT_EQ(after.ReadString("Slot0", "Name", ""), "Studio A");
    EXPECT_EQ(after.ReadString("Slot0", "Enabled", ""), "on");
    EXPECT_EQ(after.ReadString("Slot0", "NominalLevel", ""), "-9");
    EXPECT_EQ(after.ReadString("Slot1", "Source", ""), "None");
    EXPECT_EQ(after.ReadString("Webserver", "Enabled", ""), "off");
    EXPECT_EQ(after.ReadString("Webserver", "Port", ""), "5252");
    EXPECT_EQ(after.ReadString("Webserver", "CommandExecution", ""), "on");
}

TEST_F(TDesktopProgramTest, AStopSignalWhileAMessageBoxIsOpenStillEndsInOrder) {
    // The web server's port is taken: a box tells so as the window first shows, before the main loop runs.
    TPortBlocker taken;
    std::filesystem::create_directories(Ini().parent_path());
    {
        TSettingsStore ini(Ini());
        ini.WriteString("General", "Slots", "1");
        ini.WriteSection("Webserver", {{"Enabled", "on"}, {"Port", std::to_string(taken.Port())}});
        ini.WriteSection("Slot0", {{"Folder", Rec()}, {"Source", "Soundcard"}, {"Device", "WASAPI:sine"}});
    }
    auto program = StartProgram("program.log");
    ASSERT_TRUE(program->WaitForLog("Error starting web server: ", 20s)) << program->Log();
    ASSERT_TRUE(WaitUntil([&] { return Windows(".*").size() == 2; }, 10))
        << "the window and the box are open";
    ASSERT_TRUE(program->WaitForLog("Encoding to file " + Rec(), 10s)) << program->Log();
    std::this_thread::sleep_for(3s); // the sine source delivers in pieces of two seconds
    EXPECT_EQ(program->Stop(SIGTERM), 0) << program->Log();
    const auto durations = Durations(Rec());
    ASSERT_EQ(durations.size(), 1u);
    ASSERT_TRUE(durations[0].has_value()) << "the file was finished";
    EXPECT_GT(*durations[0], 0.5);
}
