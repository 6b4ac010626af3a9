// The program's command line, run as a user runs it.
#include "JackServer.h"
#include "PulseServer.h"
#include "SettingsStore.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

using namespace TestSupport;

namespace {

// The program with `arguments`; standard error joined to the output, so that
// "2>&1" shows what a user sees in a terminal.
TCommandResult Program(const std::string& arguments, bool withErrors = false) {
    return RunCommand(std::string("QT_QPA_PLATFORM=offscreen '") + RUDAZ_PROGRAM + "' " + arguments +
                      (withErrors ? " 2>&1" : " 2>/dev/null"));
}

} // namespace

TEST(CommandLine, HelpVersionListAndDataDirAsAUserTypesThem) {
    const auto help = Program("--help");
    EXPECT_EQ(help.ExitCode, 0);
    EXPECT_EQ(help.Output.rfind("Usage: rudazodudad [OPTION]...\n", 0), 0u) << help.Output;
    for (const char* option : {"--data-dir DIR", "--headless", "--list-devices", "--version"}) {
        EXPECT_NE(help.Output.find(option), std::string::npos) << option;
    }
    const auto version = Program("-V");
    EXPECT_EQ(version.ExitCode, 0);
    EXPECT_EQ(version.Output.rfind("rudazodudad ", 0), 0u) << version.Output;
    EXPECT_EQ(Program("--version").Output, version.Output);
    for (const char* wrong : {"--frobnicate", "-x", "extra", "--data-dir"}) {
        const auto r = Program(wrong, true);
        EXPECT_EQ(r.ExitCode, 2) << wrong;
        EXPECT_EQ(r.Output.rfind("rudazodudad: ", 0), 0u) << wrong << ": " << r.Output;
        EXPECT_NE(r.Output.find("Try 'rudazodudad --help'"), std::string::npos) << wrong;
        EXPECT_EQ(Program(wrong).Output, "") << "nothing on standard output";
    }

    // The inputs of private PulseAudio and JACK servers, with the IDs slots take.
    TTempDir data;
    const std::string unused = data.File("never-made");
    {
        TPulseServer pulse;
        TJackServer jack(4);
        const auto list = Program("--list-devices --data-dir '" + unused + "'");
        EXPECT_EQ(list.ExitCode, 0);
        std::istringstream lines(list.Output);
        std::vector<std::string> ids;
        for (std::string line; std::getline(lines, line);) {
            const auto tab = line.find('\t');
            ASSERT_NE(tab, std::string::npos) << line;
            EXPECT_FALSE(line.substr(tab + 1).empty()) << line;
            ids.push_back(line.substr(0, tab));
        }
        for (const char* id : {"ASIO:0:0", "ASIO:0:1", "WASAPI:sine", "WASAPI:null.monitor"}) {
            EXPECT_NE(std::find(ids.begin(), ids.end(), id), ids.end()) << id << " in\n" << list.Output;
        }
        EXPECT_NE(list.Output.find("WASAPI:sine\tWASAPI: " + pulse.SourceDescription("sine") + "\n"), std::string::npos)
            << list.Output;
        EXPECT_FALSE(std::filesystem::exists(unused)) << "listing touches no data folder";
    }

    // --data-dir holds the settings; --headless runs without a window and stops on SIGTERM.
    const std::string folder = data.File("elsewhere");
    std::filesystem::create_directories(folder);
    {
        TSettingsStore ini(std::filesystem::path(folder) / "RudazOdudad.ini");
        ini.WriteString("General", "Slots", "2");
    }
    const auto run = RunCommand("cd '" + data.Path().string() + "'; env -u QT_QPA_PLATFORM XDG_RUNTIME_DIR='" + folder +
                                "' DISPLAY=:99 '" + RUDAZ_PROGRAM + "' --headless --data-dir '" + folder +
                                "' 2>&1 & pid=$!; sleep 3; kill -TERM $pid; wait $pid; echo \"exit $?\"");
    EXPECT_NE(run.Output.find("2 slots ready"), std::string::npos) << run.Output;
    // A first run says where its settings are and how a slot gets an input.
    EXPECT_NE(run.Output.find("No slot has an input yet. The settings are in " + folder + "/RudazOdudad.ini."),
              std::string::npos) << run.Output;
    EXPECT_NE(run.Output.find("Source=Soundcard with Device=<ID>"), std::string::npos) << run.Output;
    EXPECT_NE(run.Output.find("exit 0"), std::string::npos) << run.Output;
}
