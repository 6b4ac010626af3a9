// The real program, stopped the way a service manager or Ctrl-C stops it.
#include "Catalogue.h"
#include "SettingsStore.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace TestSupport;

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class TProgram {
public:
    explicit TProgram(const std::string& dataDir) : FLog(dataDir + "/stderr.log") {
        FPid = fork();
        if (FPid == 0) {
            const int fd = open(FLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, STDERR_FILENO);
            setenv("RUDAZODUDAD_DATA_DIR", dataDir.c_str(), 1);
            // A runtime folder of its own, so that parallel tests are not each other's second instance.
            setenv("XDG_RUNTIME_DIR", dataDir.c_str(), 1);
            setenv("RUDAZODUDAD_TEST_TONE", "440", 1);
            setenv("QT_QPA_PLATFORM", "offscreen", 1);
            execl(RUDAZ_PROGRAM, RUDAZ_PROGRAM, static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~TProgram() {
        if (FPid > 0) {
            kill(FPid, SIGKILL);
            waitpid(FPid, nullptr, 0);
        }
    }
    bool WaitForLog(const std::string& text, std::chrono::seconds timeout) const {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < end) {
            if (Log().find(text) != std::string::npos) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    // Sends the signal and returns the exit status (-1 when it did not end in time).
    int Stop(int signal) {
        kill(FPid, signal);
        for (int i = 0; i < 300; ++i) {
            int status = 0;
            if (waitpid(FPid, &status, WNOHANG) == FPid) {
                FPid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return -1;
    }
    std::string Log() const { return ReadFile(FLog); }

private:
    std::string FLog;
    pid_t FPid = -1;
};

} // namespace

TEST(Shutdown, ASignalFinishesEveryFileAndWritesTheSettings) {
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        TTempDir dir;
        const std::string mp3 = dir.File("mp3");
        const std::string ogg = dir.File("ogg");
        {
            TSettingsStore ini(dir.Path() / "RudazOdudad.ini");
            ini.WriteString("General", "Slots", "3");
            ini.WriteSection("Slot0", {{"Folder", mp3}, {"Source", "Soundcard"}, {"Device", "TEST:0"}});
            ini.WriteSection("Slot1", {{"Folder", ogg}, {"Source", "Soundcard"}, {"Device", "test:0"}, {"Format", "ogg"}});
            ini.WriteSection("Slot2", {{"Folder", dir.File("idle")}});
        }
        TProgram program(dir.Path().string());
        ASSERT_TRUE(program.WaitForLog("Encoding to file " + ogg, std::chrono::seconds(10))) << program.Log();
        std::this_thread::sleep_for(std::chrono::seconds(2));
        ASSERT_EQ(program.Stop(signal), 0) << "signal " << signal << "\n" << program.Log();

        for (const auto& folder : {mp3, ogg}) {
            TCatalogue db(folder + "/RudazOdudad.db");
            auto rows = db.Prepare("SELECT duration, filename FROM recordings");
            ASSERT_TRUE(rows.Step()) << folder;
            ASSERT_FALSE(rows.ColumnIsNull(0)) << "the duration was stored";
            const double stored = rows.ColumnDouble(0);
            EXPECT_GT(stored, 1.5);
            const auto probe = ProbeAudio(folder + "/" + rows.ColumnText(1));
            EXPECT_NEAR(probe.Duration, stored, 0.1) << "the file is complete";
            EXPECT_FALSE(rows.Step());
        }
        TSettingsStore after(dir.Path() / "RudazOdudad.ini");
        EXPECT_EQ(after.ReadString("General", "Slots", ""), "3");
        for (int slot = 0; slot < 3; ++slot) {
            const std::string section = "Slot" + std::to_string(slot);
            for (const char* key : {"Enabled", "Name", "Folder", "FlatFilenames", "NoAutoRotate", "Source", "Device",
                                    "NominalLevel", "StreamURL", "RecordDelay", "Format", "Bitrate", "Samplerate",
                                    "Mode", "EncoderOptions", "CleanupDaysEnabled", "CleanupDays",
                                    "CleanupSpaceEnabled", "CleanupSpace"}) {
                EXPECT_TRUE(after.KeyExists(section, key)) << section << "/" << key;
            }
        }
        EXPECT_EQ(after.ReadString("Slot1", "Device", ""), "test:0");
    }
}
