#include "SlotFixture.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

using namespace TestSupport;
namespace fs = std::filesystem;

namespace {

class TSlotCleanupTest : public TSlotFixture {
protected:
    // A file and its row, started `daysAgo` days before now (SQLite's clock).
    void AddRecording(const std::string& folder, const std::string& relative, double daysAgo, bool createFile = true) {
        if (createFile) {
            fs::create_directories(fs::path(folder + "/" + relative).parent_path());
            std::ofstream(folder + "/" + relative) << "audio";
        }
        TCatalogue db(folder + "/RudazOdudad.db");
        db.Prepare("INSERT INTO recordings (starttime, duration, filename) VALUES "
                   "(datetime('now', ? || ' days'), 3600, ?)")
            .Bind(1, std::to_string(-daysAgo))
            .Bind(2, relative)
            .Run();
    }

    std::vector<std::string> Names(const std::string& folder) {
        std::vector<std::string> names;
        for (const auto& row : Rows(folder)) {
            names.push_back(row.FileName);
        }
        return names;
    }
};

} // namespace

TEST_F(TSlotCleanupTest, ByAgeDeletesOldFilesTheirRowsAndEmptiedFolders) {
    AddRecording(Folder(), "2010/01/05/2010-01-05-10-00-00.mp3", 400);
    AddRecording(Folder(), "2010/01/06/2010-01-06-10-00-00.mp3", 399);
    AddRecording(Folder(), "2010/01/06/2010-01-06-11-00-00.mp3", 30);   // keeps its day folder
    AddRecording(Folder(), "2010/02/01/missing.mp3", 380, false);       // removed by hand
    fs::create_directories(Folder() + "/2010/03/01/busy.mp3/inner");    // cannot be unlinked
    AddRecording(Folder(), "2010/03/01/busy.mp3", 370, false);
    {
        // Alarms of the deleted hours, one of the kept hours, one never ended (a crash) long ago.
        TCatalogue db(Folder() + "/RudazOdudad.db");
        db.Execute("INSERT INTO events (kind, starttime, endtime, text) VALUES "
                   "('silence', datetime('now', '-400 days'), datetime('now', '-399 days'), 'old'), "
                   "('silence', datetime('now', '-31 days'), datetime('now', '-29 days'), 'kept'), "
                   "('low_disk', datetime('now', '-500 days'), NULL, 'crashed')");
    }
    auto slot = MakeSlot(0, {{"Name", "Studio"}, {"Folder", Folder()}, {"CleanupDays", "365"}});
    slot->CleanupByAge();
    {
        TCatalogue db(Folder() + "/RudazOdudad.db");
        std::vector<std::string> events;
        for (auto rows = db.Prepare("SELECT text FROM events"); rows.Step();) {
            events.push_back(rows.ColumnText(0));
        }
        EXPECT_EQ(events, std::vector<std::string>{"kept"}) << "events before the oldest recording go";
        auto plan = db.Prepare("EXPLAIN QUERY PLAN SELECT id FROM events WHERE starttime < ?");
        std::string detail;
        while (plan.Step()) {
            detail += plan.ColumnText(3);
        }
        EXPECT_NE(detail.find("INDEX events_starttime"), std::string::npos) << detail;
    }

    EXPECT_EQ(Names(Folder()), (std::vector<std::string>{"2010/01/06/2010-01-06-11-00-00.mp3", "2010/03/01/busy.mp3"}));
    EXPECT_FALSE(fs::exists(Folder() + "/2010/01/05")) << "emptied day folder removed";
    EXPECT_TRUE(fs::exists(Folder() + "/2010/01/06/2010-01-06-11-00-00.mp3"));
    EXPECT_TRUE(fs::exists(Folder() + "/RudazOdudad.db"));
    EXPECT_EQ(LogsContaining("Studio: Deleted " + Folder() + "/2010/01/05/2010-01-05-10-00-00.mp3").size(), 1u);
    EXPECT_EQ(LogsContaining("Studio: Warning: File was missing, deleted from database: " + Folder() +
                             "/2010/02/01/missing.mp3").size(), 1u);
    EXPECT_EQ(LogsContaining("Studio: Error deleting " + Folder() + "/2010/03/01/busy.mp3: Error code 21").size(), 1u);

    // Everything old gone: the year folders go too, never the slot's folder.
    fs::remove_all(Folder() + "/2010/03");
    slot->CleanupDays = 1;
    slot->CleanupByAge();
    EXPECT_TRUE(Names(Folder()).empty());
    EXPECT_FALSE(fs::exists(Folder() + "/2010"));
    EXPECT_TRUE(fs::exists(Folder()));

    slot->CleanupDaysEnabled = false;
    AddRecording(Folder(), "old.mp3", 1000);
    slot->CleanupByAge();
    EXPECT_EQ(Names(Folder()).size(), 1u) << "switched off";
}

TEST_F(TSlotCleanupTest, RowsNamingFilesOutsideTheFolderAreKeptAndATakenOverCatalogueWaitsForAConfirmation) {
    const std::string other = Folder("other");
    const std::string mine = Folder("mine");
    AddRecording(other, "victim.mp3", 10);
    AddRecording(other, "dir/deep.mp3", 10);
    fs::create_directories(mine);
    fs::create_symlink(other + "/victim.mp3", mine + "/link.mp3");
    fs::create_symlink(other + "/dir", mine + "/linked");
    AddRecording(mine, "../other/victim.mp3", 400, false);
    AddRecording(mine, other + "/victim.mp3", 400, false);
    AddRecording(mine, "link.mp3", 400, false);
    AddRecording(mine, "linked/deep.mp3", 400, false);
    AddRecording(mine, "2010/own.mp3", 400);
    auto slot = MakeSlot(0, {{"Name", "Mine"}, {"Folder", mine}, {"CleanupDays", "1"}});
    slot->CleanupByAge();
    slot->CleanupByAge();
    EXPECT_TRUE(fs::exists(other + "/victim.mp3"));
    EXPECT_TRUE(fs::exists(other + "/dir/deep.mp3"));
    EXPECT_TRUE(fs::is_symlink(mine + "/link.mp3"));
    EXPECT_FALSE(fs::exists(mine + "/2010/own.mp3")) << "its own file still goes";
    EXPECT_EQ(Names(mine), (std::vector<std::string>{"../other/victim.mp3", other + "/victim.mp3", "link.mp3",
                                                     "linked/deep.mp3"}));
    EXPECT_EQ(LogsContaining("Mine: Recording ../other/victim.mp3 lies outside the slot's folder: kept").size(), 1u)
        << "logged once";
    EXPECT_EQ(LogsContaining("lies outside the slot's folder: kept").size(), 4u);

    // Moved to another slot's folder: its rows are not this slot's to clean until the user says so.
    TSlotSettings moved = *slot;
    moved.Folder = other;
    slot->TakeSettings(moved);
    EXPECT_FALSE(slot->CleanupConfirmed);
    slot->CleanupByAge();
    slot->CleanupByAge();
    EXPECT_EQ(Names(other).size(), 2u);
    EXPECT_EQ(LogsContaining("Mine: Cleanup skipped").size(), 1u);
    moved.CleanupConfirmed = true;
    slot->TakeSettings(moved);
    slot->CleanupByAge();
    EXPECT_TRUE(Names(other).empty()) << "confirmed: cleaned by its rules";
    EXPECT_FALSE(fs::exists(other + "/victim.mp3"));

    // A folder without rows needs no confirmation.
    moved.Folder = Folder("fresh");
    slot->TakeSettings(moved);
    EXPECT_TRUE(slot->CleanupConfirmed);
}

TEST_F(TSlotCleanupTest, BySpaceDeletesTheOldestWhenBelowTheLimit) {
    AddRecording(Folder(), "a.mp3", 3);
    AddRecording(Folder(), "b.mp3", 2);
    auto slot = MakeSlot(0, {{"Folder", Folder()}, {"CleanupSpace", "5"}});
    System.SetFreeSpace(Folder(), 5368709120ull);
    EXPECT_FALSE(slot->CleanupBySpace());
    EXPECT_EQ(Names(Folder()).size(), 2u);
    System.SetFreeSpace(Folder(), 5368709119ull);
    EXPECT_TRUE(slot->CleanupBySpace());
    EXPECT_EQ(Names(Folder()), std::vector<std::string>{"b.mp3"});
    System.SetFreeSpace(Folder(), std::nullopt); // not measurable
    EXPECT_FALSE(slot->CleanupBySpace());
    EXPECT_EQ(Names(Folder()).size(), 1u);
}

TEST_F(TSlotCleanupTest, NoFileBeingRecordedIsDeletedByItsSlotOrAnotherRecordingIntoTheSameFolder) {
    // Two slots share a folder, and so a catalogue, and start in the same second
    // on two threads (a stream that connects while the other slot rotates).
    auto slot = RecordingSlot({{"NoAutoRotate", "on"}, {"CleanupDays", "1"}, {"FlatFilenames", "on"}});
    auto other = RecordingSlot({{"Name", "Other"}, {"NoAutoRotate", "on"}, {"FlatFilenames", "on"}}, 1);
    std::thread second([&] { other->RestartEncoder(); });
    slot->RestartEncoder();
    second.join();
    ASSERT_TRUE(slot->HasEncoder());
    ASSERT_TRUE(other->HasEncoder());
    EXPECT_NE(other->CurrentFile, slot->CurrentFile) << "not one file for both";
    WaitSeconds(0.3); // the encoders have created their files
    ASSERT_TRUE(fs::exists(slot->CurrentFile));
    ASSERT_TRUE(fs::exists(other->CurrentFile));
    {
        TCatalogue db(Folder() + "/RudazOdudad.db");
        db.Execute("UPDATE recordings SET starttime = datetime('now', '-2 days')");
    }
    slot->CleanupByAge();
    EXPECT_TRUE(fs::exists(slot->CurrentFile));
    EXPECT_TRUE(fs::exists(other->CurrentFile));
    EXPECT_EQ(Rows(Folder()).size(), 2u);
    EXPECT_EQ(LogsContaining("Error deleting " + slot->CurrentFile + ": Error code 16").size(), 1u);
    EXPECT_EQ(LogsContaining("Error deleting " + other->CurrentFile + ": Error code 16").size(), 1u);
    System.SetFreeSpace(Folder(), 0);
    EXPECT_FALSE(slot->CleanupBySpace()) << "nothing else to delete";

    WaitSeconds(0.3);
    other->StopEncoder(); // closed now: the next cleanup may take it
    slot->CleanupByAge();
    EXPECT_FALSE(fs::exists(other->CurrentFile));
    EXPECT_EQ(Rows(Folder()).size(), 1u);
}

TEST_F(TSlotCleanupTest, ACatalogueHeldByAnotherConnectionDoesNotHoldUpTheSlot) {
    auto slot = RecordingSlot();
    slot->RestartEncoder();
    TCatalogue holder(Folder() + "/RudazOdudad.db");
    holder.Execute("BEGIN EXCLUSIVE");
    // A web request opens the catalogue: it waits for the lock, up to the busy timeout.
    std::chrono::steady_clock::duration opening{};
    std::string failure;
    std::thread request([&] {
        const auto started = std::chrono::steady_clock::now();
        try {
            slot->OpenCatalogue(Folder());
        } catch (const TCatalogueError& e) {
            failure = e.what();
        }
        opening = std::chrono::steady_clock::now() - started;
    });
    WaitSeconds(0.3);
    const auto started = std::chrono::steady_clock::now();
    slot->CheckEncoder(); // the controller's tick takes the slot's lock meanwhile
    const auto waited = std::chrono::steady_clock::now() - started;
    WaitSeconds(0.7);
    holder.Execute("COMMIT");
    request.join();
    EXPECT_EQ(failure, "");
    EXPECT_GE(opening, std::chrono::milliseconds(900)) << "the request did wait for the catalogue";
    EXPECT_LT(waited, std::chrono::milliseconds(500)) << "the tick did not wait for the request's open";
}

TEST(FreeSpaceOf, MeasuresTheNearestExistingFolderAndNotRelativeOnes) {
    TTempDir dir;
    const auto free = FreeSpaceOf(dir.File("not/yet/there"));
    ASSERT_TRUE(free.has_value());
    EXPECT_GT(*free, 0u);
    EXPECT_FALSE(FreeSpaceOf("relative/folder").has_value());
}
