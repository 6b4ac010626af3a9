#include "Paths.h"

#include "SettingsStore.h"
#include "SlotSettings.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Every test gets a home folder of its own and none of the variables below set;
// the environment is put back afterwards.
class PathsTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : Variables) {
            const char* value = std::getenv(name);
            FSaved.emplace_back(name, value != nullptr ? std::optional<std::string>(value) : std::nullopt);
            ::unsetenv(name);
        }
        fs::create_directory(Home());
        ::setenv("HOME", Home().c_str(), 1);
    }

    void TearDown() override {
        for (const auto& [name, value] : FSaved) {
            if (value) {
                ::setenv(name.c_str(), value->c_str(), 1);
            } else {
                ::unsetenv(name.c_str());
            }
        }
    }

    fs::path Home() const { return FTemp.Path() / "home"; }
    fs::path Temp(const std::string& name) const { return FTemp.Path() / name; }

    static void WriteText(const fs::path& path, const std::string& text) {
        fs::create_directories(path.parent_path());
        std::ofstream(path) << text;
    }

private:
    static constexpr const char* Variables[] = {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME",
                                                "RUDAZODUDAD_DATA_DIR"};
    TestSupport::TTempDir FTemp;
    std::vector<std::pair<std::string, std::optional<std::string>>> FSaved;
};

} // namespace

TEST_F(PathsTest, TheProgramsOwnVariableChoosesTheDataFolder) {
    const fs::path own = Temp("own") / "deeper";
    ::setenv("RUDAZODUDAD_DATA_DIR", own.c_str(), 1);
    ::setenv("XDG_DATA_HOME", Temp("xdg").c_str(), 1);

    EXPECT_EQ(DataFolder(Temp("system").string()), own.string() + "/");
    EXPECT_TRUE(fs::is_directory(own));
    EXPECT_FALSE(fs::exists(Temp("system")));
    EXPECT_EQ(SettingsFileName(), own.string() + "/RudazOdudad.ini");
}

TEST_F(PathsTest, TheSystemFolderIsUsedWhenItCanBeCreated) {
    ::setenv("RUDAZODUDAD_DATA_DIR", "", 1); // empty counts as unset
    ::setenv("XDG_DATA_HOME", Temp("xdg").c_str(), 1);
    const fs::path system = Temp("var") / "lib" / "Pelorand" / "RudazOdudad";

    EXPECT_EQ(DataFolder(system.string()), system.string() + "/");
    EXPECT_TRUE(fs::is_directory(system));
    EXPECT_FALSE(fs::exists(Temp("xdg")));
}

TEST_F(PathsTest, WithoutAUsableSystemFolderTheUsersDataFolderIsUsed) {
    WriteText(Temp("blocker"), ""); // a file where the system folder's parent should be
    const std::string system = (Temp("blocker") / "RudazOdudad").string();

    ::setenv("XDG_DATA_HOME", Temp("xdg").c_str(), 1);
    const fs::path xdg = Temp("xdg") / "Pelorand" / "RudazOdudad";
    EXPECT_EQ(DataFolder(system), xdg.string() + "/");
    EXPECT_TRUE(fs::is_directory(xdg));

    const fs::path local = Home() / ".local" / "share" / "Pelorand" / "RudazOdudad";
    ::setenv("XDG_DATA_HOME", "", 1);
    EXPECT_EQ(DataFolder(system), local.string() + "/");
    EXPECT_TRUE(fs::is_directory(local));
    ::setenv("XDG_DATA_HOME", "relative/share", 1); // not absolute: ignored
    EXPECT_EQ(DataFolder(system), local.string() + "/");
}

TEST_F(PathsTest, AReadOnlySystemFolderIsPassedOver) {
    if (::geteuid() == 0) {
        GTEST_SKIP() << "root may write anywhere";
    }
    const fs::path system = Temp("system");
    fs::create_directory(system);
    fs::permissions(system, fs::perms(0555));
    ::setenv("XDG_DATA_HOME", Temp("xdg").c_str(), 1);
    EXPECT_EQ(DataFolder(system.string()), (Temp("xdg") / "Pelorand" / "RudazOdudad").string() + "/");
    fs::permissions(system, fs::perms(0755));
}

TEST_F(PathsTest, TheMusicFolderComesFromUserDirs) {
    WriteText(Home() / ".config" / "user-dirs.dirs", "# This file is written by xdg-user-dirs-update\n"
                                                     "XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n"
                                                     "# XDG_MUSIC_DIR=\"$HOME/Commented\"\n"
                                                     "XDG_MUSIC_DIRS=\"$HOME/Wrong\"\n"
                                                     "XDG_MUSIC_DIR=\"$HOME/Musik\"\n"
                                                     "XDG_VIDEOS_DIR=\"$HOME/Videos\"\n");
    EXPECT_EQ(MusicFolder(), Home().string() + "/Musik");
    EXPECT_EQ(DefaultSlotFolder("News"), Home().string() + "/Musik/Rudaz Odudad/News");

    // XDG_CONFIG_HOME points elsewhere; an absolute folder with escapes and a trailing '/'.
    ::setenv("XDG_CONFIG_HOME", Temp("config").c_str(), 1);
    WriteText(Temp("config") / "user-dirs.dirs", "XDG_MUSIC_DIR=\"/srv/Radio \\\"Eins\\\"/\"\n");
    EXPECT_EQ(MusicFolder(), "/srv/Radio \"Eins\"");
}

TEST_F(PathsTest, WithoutAUsableEntryTheMusicFolderIsHomeMusic) {
    EXPECT_EQ(MusicFolder(), Home().string() + "/Music"); // no user-dirs.dirs at all

    const fs::path dirs = Home() / ".config" / "user-dirs.dirs";
    for (const char* entry : {"XDG_MUSIC_DIR=\"$HOME/\"\n",       // switched off
                              "XDG_MUSIC_DIR=\"Music\"\n",        // relative
                              "XDG_MUSIC_DIR=\"$HOME/Unclosed\n", // broken
                              "XDG_MUSIC_DIR=$HOME/Unquoted\n"}) {
        WriteText(dirs, entry);
        EXPECT_EQ(MusicFolder(), Home().string() + "/Music") << entry;
    }
}

TEST_F(PathsTest, WithoutHomeThereIsNoMusicFolderAndSlotsRecordIntoTheDataFolder) {
    ::unsetenv("HOME");
    ::setenv("RUDAZODUDAD_DATA_DIR", Temp("data").c_str(), 1);
    EXPECT_EQ(MusicFolder(), "");
    EXPECT_EQ(DefaultSlotFolder("News"), Temp("data").string() + "/Rudaz Odudad/News")
        << "not a folder at the root of the file system";

    // An absolute entry still counts; one relative to the missing home does not.
    ::setenv("XDG_CONFIG_HOME", Temp("config").c_str(), 1);
    WriteText(Temp("config") / "user-dirs.dirs", "XDG_MUSIC_DIR=\"$HOME/Musik\"\n");
    EXPECT_EQ(MusicFolder(), "");
    WriteText(Temp("config") / "user-dirs.dirs", "XDG_MUSIC_DIR=\"/srv/music\"\n");
    EXPECT_EQ(MusicFolder(), "/srv/music");
}

TEST_F(PathsTest, ASlotNameCannotLeaveTheRecordingsFolder) {
    // As a slot reads its section without a Folder key.
    const fs::path base = Home() / "Music" / "Rudaz Odudad";
    TSettingsStore ini(Temp("RudazOdudad.ini"));
    const std::vector<std::string> names{"../../etc", "..", ".", "", "a/b", "/abs", "tab\there"};
    for (std::size_t i = 0; i < names.size(); ++i) {
        ini.WriteSection(TSlotSettings::SectionName(static_cast<int>(i)), {{"Name", names[i]}});
        TSlotSettings slot;
        slot.Read(ini, static_cast<int>(i), DefaultFolderBase());
        const fs::path folder = slot.Folder;
        EXPECT_EQ(folder.parent_path(), base) << names[i];
        EXPECT_NE(folder.filename(), "..") << names[i];
        EXPECT_NE(folder.filename(), ".") << names[i];
        EXPECT_EQ(folder.lexically_normal(), folder) << names[i];
        EXPECT_EQ(DefaultSlotFolder(names[i]), slot.Folder);
    }
    EXPECT_EQ(DefaultSlotFolder("Morning Show ♪"), (base / "Morning Show ♪").string());
}
