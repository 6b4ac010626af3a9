#include "SettingsStore.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fstream>
#include <pwd.h>
#include <sstream>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using TestSupport::TTempDir;

namespace {

std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteText(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// Position of the line in the file; lines.size() when it is not there.
std::size_t LineIndex(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<std::size_t>(std::find(lines.begin(), lines.end(), line) - lines.begin());
}

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

ino_t Inode(const fs::path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

std::vector<std::string> FolderEntries(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Counts the files renamed into a folder, to see how often the settings file was replaced.
class TRenameCounter {
public:
    explicit TRenameCounter(const fs::path& folder) : FFd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        if (FFd < 0 || inotify_add_watch(FFd, folder.c_str(), IN_MOVED_TO) < 0) {
            throw std::runtime_error("inotify");
        }
    }
    ~TRenameCounter() { ::close(FFd); }
    TRenameCounter(const TRenameCounter&) = delete;
    TRenameCounter& operator=(const TRenameCounter&) = delete;

    int RenamesTo(const std::string& name) {
        alignas(inotify_event) char buffer[16384];
        int count = 0;
        ssize_t n;
        while ((n = ::read(FFd, buffer, sizeof buffer)) > 0) {
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                if (event->len > 0 && name == event->name) {
                    ++count;
                }
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        return count;
    }

private:
    int FFd;
};

} // namespace

TEST(SettingsStore, WrittenValuesAreInTheFileForAFreshStore) {
    TTempDir dir;
    const fs::path file = dir.File("RudazOdudad.ini");
    {
        TSettingsStore store(file);
        store.WriteString("Main", "Title", "Studio Zürich ♪");
        store.WriteInteger("Main", "Volume", -10);
        store.WriteInteger("Main", "Lowest", INT_MIN);
        store.WriteSection("Slot0", {{"Enabled", "on"}, {"Name", "News"}});
    }
    TSettingsStore fresh(file);
    EXPECT_EQ(fresh.ReadString("Main", "Title", ""), "Studio Zürich ♪");
    EXPECT_EQ(fresh.ReadInteger("Main", "Volume", 0), -10);
    EXPECT_EQ(fresh.ReadInteger("Main", "Lowest", 0), INT_MIN);
    EXPECT_EQ(fresh.ReadString("Slot0", "Enabled", ""), "on");
    EXPECT_EQ(fresh.ReadString("Slot0", "Name", ""), "News");

    // Plain key=value lines that a person can edit.
    const auto lines = Lines(ReadText(file));
    EXPECT_LT(LineIndex(lines, "Volume=-10"), lines.size());
    const std::size_t slot = LineIndex(lines, "[Slot0]");
    ASSERT_LT(slot + 2, lines.size());
    EXPECT_EQ(lines[slot + 1], "Enabled=on");
    EXPECT_EQ(lines[slot + 2], "Name=News");
}

TEST(SettingsStore, SectionAndKeyNamesIgnoreCase) {
    TTempDir dir;
    const fs::path file = dir.File("RudazOdudad.ini");
    WriteText(file, "[Slot1]\nName=Morning\n");
    TSettingsStore store(file);
    EXPECT_EQ(store.ReadString("SLOT1", "name", ""), "Morning");
    EXPECT_TRUE(store.KeyExists("slot1", "NAME"));

    store.WriteString("sLoT1", "NAME", "Evening");
    EXPECT_EQ(TSettingsStore(file).ReadString("Slot1", "Name", ""), "Evening");
    // The key was replaced, not added a second time under another spelling.
    const std::string text = ReadText(file);
    std::string lower = text;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    EXPECT_EQ(Count(lower, "name="), 1u) << text;
    EXPECT_EQ(Count(lower, "[slot1]"), 1u) << text;
}

TEST(SettingsStore, AnEmptyValueIsReadAsEmptyAndAnAbsentKeyAsTheDefault) {
    TTempDir dir;
    const fs::path file = dir.File("RudazOdudad.ini");
    WriteText(file, "[Slot0]\nEnabled=\nName =  Padded  \n");
    TSettingsStore store(file);
    EXPECT_EQ(store.ReadString("Slot0", "Enabled", "on"), "");
    EXPECT_TRUE(store.KeyExists("Slot0", "Enabled"));
    EXPECT_EQ(store.ReadInteger("Slot0", "Enabled", 5), 5);
    EXPECT_EQ(store.ReadString("Slot0", "Name", ""), "Padded");

    EXPECT_EQ(store.ReadString("Slot0", "Folder", "/default"), "/default");
    EXPECT_FALSE(store.KeyExists("Slot0", "Folder"));
    EXPECT_EQ(store.ReadString("Slot9", "Enabled", "off"), "off");
    EXPECT_FALSE(store.KeyExists("Slot9", "Enabled"));
}

TEST(SettingsStore, ReadIntegerTakesDecimalOrHexadecimalAndOtherwiseTheDefault) {
    const std::vector<std::pair<std::string, int>> cases = {
        {"42", 42},
        {"-10", -10},
        {"+7", 7},
        {"0", 0},
        {"0x10", 16},
        {"0XfF", 255},
        {"0x7FFFFFFF", INT_MAX},
        {"2147483647", INT_MAX},
        {"-2147483648", INT_MIN},
        {"", 777},
        {"abc", 777},
        {"12abc", 777},
        {"1 2", 777},
        {"1.5", 777},
        {"2147483648", 777},
        {"-2147483649", 777},
        {"99999999999999999999", 777},
        {"0x", 777},
        {"0x-5", 777},
        {"0x80000000", 777},
        {"0xg", 777},
        {"-", 777},
        {"+-5", 777},
        {"--5", 777},
    };
    TTempDir dir;
    const fs::path file = dir.File("RudazOdudad.ini");
    std::string text = "[Numbers]\n";
    for (std::size_t i = 0; i < cases.size(); ++i) {
        text += "N" + std::to_string(i) + "=" + cases[i].first + "\n";
    }
    WriteText(file, text);
    TSettingsStore store(file);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(store.ReadInteger("Numbers", "N" + std::to_string(i), 777), cases[i].second)
            << "value \"" << cases[i].first << "\"";
    }
}

TEST(SettingsStore, CommentsAndUnknownEntriesSurviveWrites) {
    TTempDir dir;
    const fs::path file = dir.File("RudazOdudad.ini");
    WriteText(file, "; Rudaz Odudad settings\r\n"
                    "; edited by hand\r\n"
                    "\r\n"
                    "[Main]\r\n"
                    "; window position\r\n"
                    "Left=10\r\n"
                    "Top=20\r\n"
                    "Custom=kept\r\n"
                    "\r\n"
                    "; written by a later version\r\n"
                    "[Unknown]\r\n"
                    "Foo=bar\r\n"
                    "\r\n"
                    "; closing remark\r\n"
                    "# and another\r\n");
    TSettingsStore store(file);
    store.WriteString("Main", "Top", "25");
    store.WriteString("Main", "Width", "800");

    const std::string text = ReadText(file);
    for (const char* comment : {"; Rudaz Odudad settings", "; edited by hand", "; window position",
                                "; written by a later version", "; closing remark", "# and another"}) {
        EXPECT_EQ(Count(text, comment), 1u) << comment << " in\n" << text;
    }
    const auto lines = Lines(text);
    // A changed key keeps its place; a new key goes to the end of its section.
    EXPECT_LT(LineIndex(lines, "Left=10"), LineIndex(lines, "Top=25"));
    EXPECT_LT(LineIndex(lines, "Top=25"), LineIndex(lines, "Custom=kept"));
    EXPECT_LT(LineIndex(lines, "Custom=kept"), LineIndex(lines, "Width=800"));
    EXPECT_LT(LineIndex(lines, "Width=800"), LineIndex(lines, "[Unknown]"));
    EXPECT_LT(LineIndex(lines, "Foo=bar"), LineIndex(lines, "; closing remark"));
    EXPECT_EQ(lines.back(), "# and another");

    TSettingsStore fresh(file);
    EXPECT_EQ(fresh.ReadString("Unknown", "Foo", ""), "bar");
    EXPECT_EQ(fresh.ReadString("Main", "Custom", ""), "kept");
    EXPECT_EQ(fresh.ReadInteger("Main", "Top", 0), 25);

    // Writing again through a store that read the rewritten file changes nothing else.
    fresh.WriteString("Main", "Left", "10");
    EXPECT_EQ(ReadText(file), text);
}

TEST(SettingsStore, AFileOfOnlyCommentsKeepsThemAll) {
    TTempDir dir;
    const fs::path file = dir.File("RudazOdudad.ini");
    WriteText(file, "; first\n\n; second\n# third\n");
    TSettingsStore store(file);
    store.WriteString("Main", "Left", "3");
    store.WriteString("Main", "Top", "4");

    const std::string text = ReadText(file);
    for (const char* comment : {"; first", "; second", "# third"}) {
        EXPECT_EQ(Count(text, comment), 1u) << comment << " in\n" << text;
    }
    EXPECT_EQ(TSettingsStore(file).ReadInteger("Main", "Top", 0), 4);
}

TEST(SettingsStore, AWriteReplacesTheFileAndLeavesNothingElseBehind) {
    TTempDir dir;
    const fs::path file = dir.File("RudazOdudad.ini");
    WriteText(file, "[Main]\nLeft=1\n");
    fs::permissions(file, fs::perms(0640));
    const ino_t before = Inode(file);

    TSettingsStore store(file);
    store.WriteString("Main", "Left", "2");

    // Renamed over the old file, not rewritten in place.
    EXPECT_NE(Inode(file), before);
    EXPECT_EQ(fs::status(file).permissions(), fs::perms(0640));
    EXPECT_EQ(FolderEntries(dir.Path()), std::vector<std::string>{"RudazOdudad.ini"});
    EXPECT_EQ(TSettingsStore(file).ReadInteger("Main", "Left", 0), 2);
}

TEST(SettingsStore, WriteSectionKeepsTheOrderAndReplacesTheFileOnce) {
    TTempDir dir;
    const fs::path file = dir.File("RudazOdudad.ini");
    WriteText(file, "[Slot3]\nName=Old\nForeign=x\n\n[Slot4]\nName=Next\n");
    TSettingsStore store(file);

    std::vector<std::pair<std::string, std::string>> values = {{"Enabled", "on"}, {"Name", "New"}};
    for (int i = 0; i < 17; ++i) {
        values.emplace_back("Key" + std::to_string(i), std::to_string(i * 3));
    }
    TRenameCounter renames(dir.Path());
    store.WriteSection("Slot3", values);
    EXPECT_EQ(renames.RenamesTo("RudazOdudad.ini"), 1);

    const auto lines = Lines(ReadText(file));
    const std::size_t section = LineIndex(lines, "[Slot3]");
    std::vector<std::string> expected = {"Name=New", "Foreign=x", "Enabled=on"};
    for (int i = 0; i < 17; ++i) {
        expected.push_back("Key" + std::to_string(i) + "=" + std::to_string(i * 3));
    }
    ASSERT_LT(section + expected.size(), lines.size());
    EXPECT_EQ(std::vector<std::string>(lines.begin() + static_cast<long>(section) + 1,
                                       lines.begin() + static_cast<long>(section + 1 + expected.size())),
              expected);
    EXPECT_EQ(TSettingsStore(file).ReadString("Slot4", "Name", ""), "Next");
}

TEST(SettingsStore, AWriteThatCannotReachTheDiskIsKeptAndRetried) {
    TTempDir dir;
    const fs::path folder = dir.Path() / "not-yet";
    const fs::path file = folder / "RudazOdudad.ini";
    TSettingsStore store(file);
    EXPECT_NO_THROW(store.WriteString("Main", "Left", "12"));
    EXPECT_NO_THROW(store.WriteSection("Slot0", {{"Name", "News"}}));
    EXPECT_EQ(store.ReadInteger("Main", "Left", 0), 12);
    EXPECT_FALSE(fs::exists(folder));

    fs::create_directory(folder);
    store.UpdateFile();
    TSettingsStore fresh(file);
    EXPECT_EQ(fresh.ReadInteger("Main", "Left", 0), 12);
    EXPECT_EQ(fresh.ReadString("Slot0", "Name", ""), "News");

    // A plain file where the folder should be.
    WriteText(dir.File("blocker"), "");
    TSettingsStore blocked(dir.Path() / "blocker" / "RudazOdudad.ini");
    EXPECT_NO_THROW(blocked.WriteString("Main", "Left", "1"));
    EXPECT_NO_THROW(blocked.UpdateFile());
    EXPECT_EQ(blocked.ReadString("Main", "Left", ""), "1");
}

TEST(SettingsStore, LineBreaksInAValueCannotAddEntries) {
    TTempDir dir;
    const fs::path file = dir.File("RudazOdudad.ini");
    TSettingsStore store(file);
    store.WriteString("Slot0", "Name", "News\n[Evil]\r\nKey=1");
    store.WriteString("Slot0", "Folder", "  /music/with blanks around\t");

    TSettingsStore fresh(file);
    EXPECT_FALSE(fresh.KeyExists("Evil", "Key"));
    EXPECT_EQ(fresh.ReadString("Slot0", "Name", ""), "News [Evil]  Key=1");
    EXPECT_EQ(fresh.ReadString("Slot0", "Folder", ""), "/music/with blanks around");
    // The running program sees what the next run will see.
    EXPECT_EQ(store.ReadString("Slot0", "Name", ""), fresh.ReadString("Slot0", "Name", "-"));
    EXPECT_EQ(store.ReadString("Slot0", "Folder", ""), fresh.ReadString("Slot0", "Folder", "-"));
}

TEST(SettingsStore, NamesTheFileCannotHoldAreRejected) {
    TTempDir dir;
    const fs::path file = dir.File("RudazOdudad.ini");
    TSettingsStore store(file);
    EXPECT_THROW(store.WriteString("Main", "a=b", "1"), std::invalid_argument);
    EXPECT_THROW(store.WriteString("Main", "", "1"), std::invalid_argument);
    EXPECT_THROW(store.WriteString("Main", "; x", "1"), std::invalid_argument);
    EXPECT_THROW(store.WriteString("Main", "Two\nLines", "1"), std::invalid_argument);
    EXPECT_THROW(store.WriteString("a]b", "Key", "1"), std::invalid_argument);
    EXPECT_THROW(store.WriteSection("Main", {{"Good", "1"}, {"Bad=", "2"}}), std::invalid_argument);
    // Nothing of a rejected section was written, not even its valid keys.
    EXPECT_FALSE(store.KeyExists("Main", "Good"));
    EXPECT_FALSE(fs::exists(file));
}

TEST(SettingsStore, AFileThatCannotBeReadIsNotOverwritten) {
    TTempDir dir;
    const fs::path folder = dir.Path() / "data";
    const fs::path file = folder / "RudazOdudad.ini";
    fs::create_directory(folder);
    WriteText(file, "[Main]\nKeep=yes\n");
    fs::permissions(file, fs::perms::none);

    // Root reads everything: the store runs as an ordinary user in a child process.
    uid_t uid = ::geteuid();
    gid_t gid = ::getegid();
    if (uid == 0) {
        const passwd* nobody = ::getpwnam("nobody");
        if (nobody == nullptr) {
            GTEST_SKIP() << "no user 'nobody' to drop to";
        }
        uid = nobody->pw_uid;
        gid = nobody->pw_gid;
        fs::permissions(dir.Path(), fs::perms(0755));
        ASSERT_EQ(::chown(folder.c_str(), uid, gid), 0);
        ASSERT_EQ(::chown(file.c_str(), uid, gid), 0);
    }
    const ino_t inode = Inode(file);

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::geteuid() == 0 && (::setgid(gid) != 0 || ::setuid(uid) != 0)) {
            ::_exit(10);
        }
        {
            TSettingsStore store(file);
            if (store.ReadString("Main", "Keep", "default") != "default") {
                ::_exit(11); // could read it after all: the test proves nothing
            }
            store.WriteString("Main", "Added", "1");
            if (Inode(file) != inode) {
                ::_exit(12);
            }
            if (store.ReadString("Main", "Added", "") != "1") {
                ::_exit(13);
            }
            // Readable again: the held-back write joins the file's own settings.
            if (::chmod(file.c_str(), 0600) != 0) {
                ::_exit(14);
            }
            store.UpdateFile();
        }
        TSettingsStore fresh(file);
        const bool merged =
            fresh.ReadString("Main", "Keep", "") == "yes" && fresh.ReadString("Main", "Added", "") == "1";
        ::_exit(merged ? 0 : 15);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 10) {
        GTEST_SKIP() << "cannot change user here";
    }
    EXPECT_EQ(WEXITSTATUS(status), 0) << "failed at step " << WEXITSTATUS(status);
}

TEST(SettingsStore, AWriteThroughALinkReplacesTheLinkedFile) {
    TTempDir dir;
    fs::create_directory(dir.Path() / "real");
    fs::create_directory(dir.Path() / "link");
    const fs::path real = dir.Path() / "real" / "RudazOdudad.ini";
    const fs::path link = dir.Path() / "link" / "RudazOdudad.ini";
    WriteText(real, "[Main]\nLeft=1\n");
    fs::create_symlink("../real/RudazOdudad.ini", link);

    TSettingsStore store(link);
    EXPECT_EQ(store.ReadInteger("Main", "Left", 0), 1);
    store.WriteString("Main", "Left", "2");

    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(TSettingsStore(real).ReadInteger("Main", "Left", 0), 2);
    EXPECT_EQ(FolderEntries(dir.Path() / "real"), std::vector<std::string>{"RudazOdudad.ini"});
}

TEST(SettingsStore, WritesFromSeveralThreadsAllArrive) {
    TTempDir dir;
    // The folder appears only at the end: until then writes fail fast, so the
    // threads really meet inside the store instead of queueing behind fsync.
    const fs::path folder = dir.Path() / "later";
    const fs::path file = folder / "RudazOdudad.ini";
    TSettingsStore store(file);
    constexpr int Threads = 4;
    constexpr int Keys = 300;
    std::vector<std::thread> writers;
    for (int t = 0; t < Threads; ++t) {
        writers.emplace_back([&store, t] {
            const std::string section = "Thread" + std::to_string(t);
            const std::string other = "Thread" + std::to_string((t + 1) % Threads);
            for (int i = 0; i < Keys; ++i) {
                store.WriteInteger(section, "Key" + std::to_string(i), t * 1000 + i);
                store.ReadInteger(other, "Key" + std::to_string(i), 0);
            }
        });
    }
    for (auto& writer : writers) {
        writer.join();
    }
    fs::create_directory(folder);
    store.UpdateFile();
    TSettingsStore fresh(file);
    int missing = 0;
    for (int t = 0; t < Threads; ++t) {
        for (int i = 0; i < Keys; ++i) {
            missing += fresh.ReadInteger("Thread" + std::to_string(t), "Key" + std::to_string(i), -1) !=
                       t * 1000 + i;
        }
    }
    EXPECT_EQ(missing, 0);
}
