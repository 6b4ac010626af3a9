#include "SlotFixture.h"

#include <filesystem>
#include <fstream>
#include <regex>

using namespace TestSupport;
namespace fs = std::filesystem;

using TSlotFilesTest = TSlotFixture;

TEST_F(TSlotFilesTest, BuildsTheEncoderCommandLinesExactly) {
    auto slot = MakeSlot(0, {});
    EXPECT_EQ(slot->EncoderCommandLine(TSlotFormat::mp3, "/rec/2011/03/15/2011-03-15-14-00-00.mp3"),
              "lame --flush -m s -r -s 44100 -b 128  - \"/rec/2011/03/15/2011-03-15-14-00-00.mp3\"");
    slot->Mode = TSlotMode::mono;
    slot->EncoderOptions = "-q 2";
    EXPECT_EQ(slot->EncoderCommandLine(TSlotFormat::ogg, "/r/a.ogg"),
              "oggenc -r -R 44100 -b 128 -m 16 --downmix -q 2 -o \"/r/a.ogg\" -");
    slot->Mode = TSlotMode::jointstereo;
    slot->EncoderOptions.clear();
    EXPECT_EQ(slot->EncoderCommandLine(TSlotFormat::ogg, "/r/a.ogg"), "oggenc -r -R 44100 -b 128 -m 16   -o \"/r/a.ogg\" -");
    EXPECT_EQ(slot->EncoderCommandLine(TSlotFormat::mp3, "/r/a.mp3"), "lame --flush -m j -r -s 44100 -b 128  - \"/r/a.mp3\"");
}

TEST_F(TSlotFilesTest, RecordsAnMp3WithItsRowAndStoresTheDurationWhenItCloses) {
    auto slot = RecordingSlot();
    ASSERT_NE(slot->AttachedDevice, nullptr) << slot->LastError;
    slot->RestartEncoder();
    ASSERT_TRUE(slot->HasEncoder()) << slot->LastError;
    const std::string path = Folder() + "/2011/03/15/2011-03-15-14-00-00.mp3";
    EXPECT_EQ(slot->CurrentFile, path);
    EXPECT_EQ(LogsContaining("Studio: Encoding to file " + path).size(), 1u);

    auto rows = Rows(Folder());
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].Id, 1);
    EXPECT_EQ(rows[0].StartTime, "2011-03-15 14:00:00");
    EXPECT_FALSE(rows[0].Duration.has_value()) << "open files have no duration yet";
    EXPECT_EQ(rows[0].FileName, "2011/03/15/2011-03-15-14-00-00.mp3");
    EXPECT_EQ(slot->CurrentRecordingID, 1);

    WaitSeconds(2.0);
    EXPECT_NEAR(slot->CurrentDuration(), 2.0, 0.3);
    slot->StopEncoder();
    EXPECT_FALSE(slot->HasEncoder());
    EXPECT_EQ(slot->CurrentRecordingID, 0);
    rows = Rows(Folder());
    ASSERT_TRUE(rows[0].Duration.has_value());
    EXPECT_NEAR(*rows[0].Duration, 2.0, 0.3);
    const auto probe = ProbeAudio(path);
    EXPECT_NEAR(probe.Duration, *rows[0].Duration, 0.06) << "the stored duration is the file's";
    EXPECT_EQ(probe.Channels, 2);
    const auto decoded = DecodeToStereoFloat(path, 44100);
    EXPECT_NEAR(Goertzel(decoded, 0, 44100, 440.0, 4410, 44100), 0.5, 0.03);
}

TEST_F(TSlotFilesTest, FlatNamesOggMonoAndWmaAtEveryRate) {
    struct {
        const char* Format;
        const char* Mode;
        const char* Bitrate;
        int Rate;
        const char* Name;
        int Channels;
    } cases[] = {{"ogg", "mono", "96", 44100, "2011-03-15-14-00-00.ogg", 1},
                 {"wma", "jointstereo", "128000", 48000, "2011-03-15-14-00-00.wma", 2},
                 {"mp3", "mono", "64", 44100, "2011-03-15-14-00-00.mp3", 1},
                 // Not a multiple of 100: the tone's 10 ms buffers are 220 or 221 frames.
                 {"mp3", "stereo", "64", 22050, "2011-03-15-14-00-00.mp3", 2}};
    for (const auto& c : cases) {
        const std::string folder = Folder(c.Format + std::string("-") + c.Mode + std::to_string(c.Rate));
        std::unique_ptr<TSlotInfo> slot = MakeSlot(0, {{"Folder", folder},
                                                       {"Source", "Soundcard"},
                                                       {"Device", "test:0"},
                                                       {"FlatFilenames", "on"},
                                                       {"Format", c.Format},
                                                       {"Mode", c.Mode},
                                                       {"Bitrate", c.Bitrate},
                                                       {"Samplerate", std::to_string(c.Rate)}});
        slot->StartInput();
        slot->RestartEncoder();
        ASSERT_TRUE(slot->HasEncoder()) << c.Format << ": " << slot->LastError;
        EXPECT_EQ(slot->CurrentFile, folder + "/" + c.Name);
        WaitSeconds(1.5);
        slot.reset(); // destruction closes the file and stores its duration
        const auto rows = Rows(folder);
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(rows[0].FileName, c.Name);
        ASSERT_TRUE(rows[0].Duration.has_value());
        const auto probe = ProbeAudio(folder + "/" + c.Name);
        EXPECT_EQ(probe.Channels, c.Channels) << c.Format;
        EXPECT_EQ(probe.SampleRate, c.Rate) << c.Format;
        if (std::string(c.Format).starts_with("wma")) {
            // A WMA file also holds the frame that primes the decoder, its last
            // part frame padded and a frame of silence that the decoder fades out.
            EXPECT_GE(probe.Duration, *rows[0].Duration - 0.01) << c.Format;
            EXPECT_LE(probe.Duration, *rows[0].Duration + 3 * 2048.0 / c.Rate) << c.Format;
        } else {
            EXPECT_NEAR(probe.Duration, *rows[0].Duration, 0.1) << c.Format << ": no more, no less than was counted";
        }
        EXPECT_NEAR(*rows[0].Duration, 1.5, 0.3)
            << c.Format << " at " << c.Rate << ": the tone comes in real time";
        const auto audio = DecodeToStereoFloat(folder + "/" + c.Name, c.Rate);
        EXPECT_NEAR(
            ZeroCrossings(audio, 0, static_cast<std::size_t>(c.Rate) / 4, static_cast<std::size_t>(c.Rate)) /
                2.0,
            440.0, 2.0)
            << c.Format << " at " << c.Rate << ": the tone keeps its pitch";
    }
}

TEST_F(TSlotFilesTest, AMissingEncoderProgramLeavesNoFileNoRowAndIsLoggedOnce) {
    const std::string oldPath = std::getenv("PATH");
    setenv("PATH", Dir.File("empty-bin").c_str(), 1);
    auto slot = RecordingSlot();
    Logged.clear();
    slot->RestartEncoder();
    slot->RestartEncoder(); // the next hour, say
    setenv("PATH", oldPath.c_str(), 1);
    EXPECT_FALSE(slot->HasEncoder());
    EXPECT_EQ(slot->LastError, "can't open the file (BASS error 2)");
    EXPECT_TRUE(slot->CurrentFile.empty());
    EXPECT_EQ(Logged, std::vector<std::string>{"Studio: Encoder error: can't open the file (BASS error 2)"});
    EXPECT_FALSE(fs::exists(Folder() + "/RudazOdudad.db"));
}

TEST_F(TSlotFilesTest, AFolderChangeCompletesTheOldRowAndStartsANewCatalogue) {
    auto slot = RecordingSlot();
    slot->RestartEncoder();
    WaitSeconds(0.5);
    slot->Folder = Folder("elsewhere");
    System.Advance(std::chrono::seconds(1));
    slot->RestartEncoder();
    const auto old = Rows(Folder());
    ASSERT_EQ(old.size(), 1u);
    EXPECT_TRUE(old[0].Duration.has_value()) << "completed in the folder where it started";
    const auto fresh = Rows(Folder("elsewhere"));
    ASSERT_EQ(fresh.size(), 1u);
    EXPECT_EQ(fresh[0].Id, 1);
    EXPECT_EQ(fresh[0].FileName, "2011/03/15/2011-03-15-14-00-01.mp3");
}

TEST_F(TSlotFilesTest, ANameThatExistsGetsANumberInsteadOfOverwritingTheRecording) {
    auto slot = RecordingSlot({{"FlatFilenames", "on"}});
    slot->RestartEncoder();
    WaitSeconds(0.3);
    slot->RestartEncoder(); // same second
    WaitSeconds(0.3);
    System.Advance(-std::chrono::hours(1)); // the clock set back...
    slot->RestartEncoder();
    WaitSeconds(0.3);
    System.Advance(std::chrono::hours(1)); // ...and forward again onto the first names
    slot->RestartEncoder();
    WaitSeconds(0.3);
    slot->StopEncoder();
    const auto rows = Rows(Folder());
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0].FileName, "2011-03-15-14-00-00.mp3");
    EXPECT_EQ(rows[1].FileName, "2011-03-15-14-00-00-2.mp3");
    EXPECT_EQ(rows[2].FileName, "2011-03-15-13-00-00.mp3");
    EXPECT_EQ(rows[3].FileName, "2011-03-15-14-00-00-3.mp3");
    for (const auto& row : rows) {
        EXPECT_GT(ProbeAudio(Folder() + "/" + row.FileName).Duration, 0.1) << row.FileName << " survived";
    }
}

TEST_F(TSlotFilesTest, RotationLosesNoAudio) {
    auto slot = RecordingSlot({{"Format", "wma"}, {"Bitrate", "128000"}});
    slot->RestartEncoder();
    const std::uint64_t start = slot->FileStartBytes;
    for (int i = 1; i <= 6; ++i) {
        WaitSeconds(0.35);
        System.Advance(std::chrono::seconds(1));
        slot->RestartEncoder();
    }
    WaitSeconds(0.35);
    slot->StopInput(); // nothing more arrives, so the count below is the files' whole share
    WaitSeconds(0.25);
    slot->StopEncoder();
    const std::uint64_t delivered = slot->BytesProcessed() - start;
    double stored = 0;
    std::vector<float> joined;
    const auto rows = Rows(Folder());
    ASSERT_EQ(rows.size(), 7u);
    constexpr std::size_t Frame = 2048; // the codec's frame at 44100 Hz
    for (std::size_t i = 0; i < rows.size(); ++i) {
        ASSERT_TRUE(rows[i].Duration.has_value());
        stored += *rows[i].Duration;
        auto decoded = DecodeToStereoFloat(Folder() + "/" + rows[i].FileName, 44100);
        double seconds = static_cast<double>(decoded.size() / 2) / 44100;
        if (i + 1 < rows.size()) {
            // The decoder fades out a file's last frame; the next file begins with it in full.
            decoded.resize(decoded.size() - 2 * Frame);
            const double repeated = i > 0 ? Frame / 44100.0 : 0.0;
            EXPECT_NEAR(seconds - repeated, *rows[i].Duration, Frame / 44100.0) << rows[i].FileName;
        } else {
            // It also begins with the repeated frame and ends with padding and a silent frame.
            EXPECT_GE(seconds, *rows[i].Duration) << "the last file keeps all its audio";
            EXPECT_LE(seconds, *rows[i].Duration + 4 * Frame / 44100.0);
            std::size_t end = decoded.size();
            while (end > 0 && std::abs(decoded[end - 2]) < 0.4f) {
                end -= 2; // to the tone's last peak
            }
            decoded.resize(end);
        }
        joined.insert(joined.end(), decoded.begin(), decoded.end());
    }
    const double expected = static_cast<double>(delivered) / (44100.0 * 8);
    EXPECT_NEAR(stored, expected, 0.001) << "every block went into one of the files";
    // One after the other, the files are one tone: no audio lost at a joint.
    EXPECT_EQ(ToneFault(joined, 44100, 440.0, 0.5f), "");
}

TEST_F(TSlotFilesTest, AnEncoderThatKeepsFailingLeavesNoRowsAndFewLinesAndRecordsOnceMended) {
    auto slot = RecordingSlot({{"EncoderOptions", "--no-such-option"}});
    slot->RetryTimes = {300, 1000}; // a retry every 0.3 s, a reminder every second
    slot->RestartEncoder();
    ASSERT_TRUE(slot->HasEncoder()) << "the program starts; it fails on its own";
    auto checkFor = [&](double seconds) {
        for (double t = 0; t < seconds; t += 0.05) {
            WaitSeconds(0.05);
            slot->CheckEncoder();
        }
    };
    checkFor(3.2);
    EXPECT_EQ(LogsContaining("Studio: Encoder error: exit status 1").size(), 1u);
    const auto reminders = LogsContaining("Studio: Encoder still failing: exit status 1").size();
    EXPECT_GE(reminders, 2u);
    EXPECT_LE(reminders, 4u) << "at most one a reminder period";
    EXPECT_EQ(LogsContaining("Encoding to file").size(), 2u) << "the first file and the first retry's";
    EXPECT_NE(slot->LastError.find("exit status 1"), std::string::npos) << slot->LastError;
    for (const auto& row : Rows(Folder())) {
        // A retry that has only just started has its row while it runs.
        EXPECT_EQ(row.Id, slot->CurrentRecordingID) << "no row for files that never held audio";
        EXPECT_FALSE(row.Duration.has_value());
    }
    for (const auto& entry : fs::recursive_directory_iterator(Folder())) {
        EXPECT_TRUE(entry.is_directory() || entry.path().filename() == "RudazOdudad.db") << entry.path();
    }

    slot->EncoderOptions.clear(); // mended
    checkFor(1.0);
    ASSERT_TRUE(slot->HasEncoder());
    EXPECT_EQ(LogsContaining("Encoding to file").size(), 3u) << "the file that works is told of";
    EXPECT_EQ(LogsContaining("Encoding to file").back(), "Studio: Encoding to file " + slot->CurrentFile);
    EXPECT_TRUE(slot->LastError.empty());
    slot->StopEncoder();
    const auto rows = Rows(Folder());
    ASSERT_EQ(rows.size(), 1u);
    ASSERT_TRUE(rows[0].Duration.has_value());
    EXPECT_NEAR(ProbeAudio(Folder() + "/" + rows[0].FileName).Duration, *rows[0].Duration, 0.06);
}

TEST_F(TSlotFilesTest, AnEncoderWhoseFileStopsGrowingCountsAsFailedAndItsFileIsMeasured) {
    // As lame does on a full disk: it runs on, takes the audio and writes no
    // more, and its header counts frames the disk never took. Here a 10 s MP3
    // cut to its first half, and nothing at all from the next start on.
    const std::string cut = Dir.File("cut.mp3");
    ASSERT_EQ(RunCommand("ffmpeg -v error -f lavfi -i sine=frequency=440:duration=10 -ac 2 -c:a libmp3lame -b:a 128k '" +
                         cut + "' && truncate -s 80000 '" + cut + "'")
                  .ExitCode,
              0);
    ASSERT_GT(ProbeAudio(cut).Duration, 9.0) << "the header claims the whole";
    fs::create_directories(Dir.Path() / "bin");
    const auto fake = Dir.Path() / "bin" / "lame";
    std::ofstream(fake) << "#!/bin/sh\nfor last; do :; done\n"
                        << "if [ -e '" << Dir.File("ran") << "' ]; then : > \"$last\"; else cp '" << cut
                        << "' \"$last\"; : > '" << Dir.File("ran") << "'; fi\nexec cat > /dev/null\n";
    fs::permissions(fake, fs::perms::owner_all);
    const std::string oldPath = std::getenv("PATH");
    setenv("PATH", ((Dir.Path() / "bin").string() + ":" + oldPath).c_str(), 1);
    auto slot = RecordingSlot();
    slot->RetryTimes.StalledFileSeconds = 1.0;
    slot->RestartEncoder();
    ASSERT_TRUE(slot->HasEncoder());
    for (int i = 0; i < 40 && LogsContaining("Encoder error").empty(); ++i) {
        WaitSeconds(0.1);
        slot->CheckEncoder();
    }
    setenv("PATH", oldPath.c_str(), 1);
    EXPECT_EQ(LogsContaining("Studio: Encoder error: the file stopped growing (is the disk full?)").size(), 1u);
    EXPECT_EQ(slot->LastError, "the file stopped growing (is the disk full?)");
    slot->StopEncoder();
    const auto rows = Rows(Folder());
    ASSERT_EQ(rows.size(), 1u) << "no row for the file that got nothing";
    ASSERT_TRUE(rows[0].Duration.has_value());
    EXPECT_NEAR(*rows[0].Duration, 5.0, 0.1) << "what the file holds: not its header, not what was counted";
}

TEST_F(TSlotFilesTest, ARowTheCatalogueRefusedIsWrittenOnceItTakesItAgain) {
    auto slot = RecordingSlot();
    fs::create_directories(Folder());
    {
        // As a full disk refuses every write to the catalogue.
        TCatalogue db(Folder() + "/RudazOdudad.db");
        db.Execute("CREATE TRIGGER full BEFORE INSERT ON recordings BEGIN SELECT RAISE(FAIL, 'database or disk is "
                   "full'); END");
    }
    slot->RestartEncoder();
    ASSERT_TRUE(slot->HasEncoder());
    EXPECT_EQ(slot->CurrentRecordingID, 0);
    WaitSeconds(1.0);
    slot->StopEncoder(); // the file closes while the catalogue still refuses
    EXPECT_TRUE(Rows(Folder()).empty());
    EXPECT_EQ(LogsContaining("Studio: Error updating database: database or disk is full").size(), 1u);

    TCatalogue(Folder() + "/RudazOdudad.db").Execute("DROP TRIGGER full");
    ASSERT_TRUE(WaitUntil(
        [&] {
            slot->CheckEncoder();
            return !Rows(Folder()).empty();
        },
        7));
    const auto rows = Rows(Folder());
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].StartTime, "2011-03-15 14:00:00");
    ASSERT_TRUE(rows[0].Duration.has_value());
    EXPECT_NEAR(ProbeAudio(Folder() + "/" + rows[0].FileName).Duration, *rows[0].Duration, 0.06)
        << "the file recorded meanwhile is in the record";
}

TEST_F(TSlotFilesTest, StopAndStartFollowEnabled) {
    auto slot = RecordingSlot();
    slot->SetRecording(true); // already on: nothing happens, no file
    EXPECT_FALSE(slot->HasEncoder());
    slot->SetRecording(false);
    EXPECT_FALSE(slot->Enabled);
    slot->SetRecording(true);
    EXPECT_TRUE(slot->HasEncoder());
    WaitSeconds(0.3);
    slot->SetRecording(false);
    EXPECT_FALSE(slot->HasEncoder());
    EXPECT_EQ(Rows(Folder()).size(), 1u);
}

TEST_F(TSlotFilesTest, RowsLeftOpenByACrashGetTheDurationOfTheirFile) {
    fs::create_directories(Folder() + "/2011/03/15");
    const std::string good = "2011/03/15/2011-03-15-12-00-00.mp3";
    ASSERT_EQ(RunCommand("ffmpeg -v error -f lavfi -i sine=frequency=440:duration=3 -ac 2 -c:a libmp3lame -b:a 128k '" +
                         Folder() + "/" + good + "'").ExitCode, 0);
    {
        TCatalogue db(Folder() + "/RudazOdudad.db");
        db.Execute("INSERT INTO recordings (starttime, filename) VALUES ('2011-03-15 12:00:00', "
                   "'2011\\03\\15\\2011-03-15-12-00-00.mp3')");
        db.Execute("INSERT INTO recordings (starttime, filename) VALUES ('2011-03-15 13:00:00', 'gone.mp3')");
        db.Execute("INSERT INTO recordings (starttime, duration, filename) VALUES ('2011-03-15 13:30:00', 12.5, "
                   "'kept.mp3')");
    }
    auto slot = RecordingSlot();
    slot->RepairDurations();
    const auto rows = Rows(Folder());
    ASSERT_EQ(rows.size(), 3u);
    ASSERT_TRUE(rows[0].Duration.has_value()) << "a name with backslashes is found too";
    EXPECT_NEAR(*rows[0].Duration, 3.0, 0.1);
    EXPECT_FALSE(rows[1].Duration.has_value()) << "an unreadable file keeps NULL";
    EXPECT_DOUBLE_EQ(*rows[2].Duration, 12.5);
}

TEST_F(TSlotFilesTest, ACatalogueFromElsewhereGetsAnIndexForWeekQueriesAndKeepsItsRows) {
    fs::create_directories(Folder());
    const std::string path = Folder() + "/RudazOdudad.db";
    // As another installation leaves it: the table only.
    ASSERT_EQ(RunCommand("sqlite3 '" + path +
                         "' \"CREATE TABLE recordings (id INTEGER PRIMARY KEY AUTOINCREMENT, starttime TIMESTAMP NOT "
                         "NULL, duration REAL DEFAULT NULL, filename VARCHAR NOT NULL); INSERT INTO recordings "
                         "(starttime, duration, filename) VALUES ('2011-03-15 12:00:00', 3600, 'a.mp3');\"")
                  .ExitCode,
              0);
    TCatalogue db(path);
    auto plan = db.Prepare("EXPLAIN QUERY PLAN SELECT id FROM recordings WHERE starttime >= ? AND starttime < ?");
    std::string detail;
    while (plan.Step()) {
        detail += plan.ColumnText(3) + "\n";
    }
    EXPECT_NE(detail.find("INDEX recordings_starttime"), std::string::npos) << detail;
    ASSERT_EQ(Rows(Folder()).size(), 1u);
    EXPECT_EQ(Rows(Folder())[0].FileName, "a.mp3");
}

TEST_F(TSlotFilesTest, AFileWhoseSizeCannotBeReadKeepsItsFileAndRow) {
    auto slot = RecordingSlot();
    slot->RestartEncoder();
    ASSERT_TRUE(slot->HasEncoder()) << slot->LastError;
    const std::string day = Folder() + "/2011/03/15";
    const std::string path = slot->CurrentFile;
    WaitSeconds(1.0);
    // The day folder is away while the file closes (a share that dropped): its size cannot be read.
    fs::rename(day, day + ".away");
    std::ofstream(day) << "";
    slot->StopEncoder();
    fs::remove(day);
    fs::rename(day + ".away", day);
    const auto rows = Rows(Folder());
    ASSERT_EQ(rows.size(), 1u) << "the row stays";
    ASSERT_TRUE(rows[0].Duration.has_value());
    EXPECT_NEAR(*rows[0].Duration, 1.0, 0.3) << "what was counted";
    EXPECT_NEAR(ProbeAudio(path).Duration, *rows[0].Duration, 0.1) << "the file stays, complete";
}

TEST_F(TSlotFilesTest, AnOggEncoderThatStopsReadingIsReplacedAndItsFileMeasured) {
    // oggenc takes a second of audio and finishes that file, then hangs
    // without reading; the programs started after it work.
    std::string oggenc = RunCommand("command -v oggenc").Output;
    oggenc.erase(oggenc.find_last_not_of("\n") + 1);
    fs::create_directories(Dir.Path() / "bin");
    const auto fake = Dir.Path() / "bin" / "oggenc";
    std::ofstream(fake) << "#!/bin/sh\nif [ -e '" << Dir.File("ran") << "' ]; then exec " << oggenc
                        << " \"$@\"; fi\n: > '" << Dir.File("ran") << "'\nhead -c 176400 | " << oggenc
                        << " \"$@\"\nexec sleep 600\n";
    fs::permissions(fake, fs::perms::owner_all);
    const std::string oldPath = std::getenv("PATH");
    setenv("PATH", ((Dir.Path() / "bin").string() + ":" + oldPath).c_str(), 1);
    auto slot = RecordingSlot({{"Format", "ogg"}});
    slot->RetryTimes.StalledFileSeconds = 2.0;
    slot->RestartEncoder();
    ASSERT_TRUE(slot->HasEncoder()) << slot->LastError;
    const std::string first = slot->CurrentFile;
    for (int i = 0; i < 100 && LogsContaining("Encoder error").empty(); ++i) {
        WaitSeconds(0.1);
        slot->CheckEncoder();
    }
    EXPECT_EQ(LogsContaining("Studio: Encoder error: the file stopped growing (is the disk full?)").size(), 1u);
    ASSERT_TRUE(slot->HasEncoder()) << "a new file at once";
    EXPECT_NE(slot->CurrentFile, first);
    WaitSeconds(1.0);
    slot->StopEncoder();
    setenv("PATH", oldPath.c_str(), 1);
    // The hung encoder finishes (killed at its limit) away from the slot, which its row waits for.
    slot.reset();
    const auto rows = Rows(Folder());
    ASSERT_EQ(rows.size(), 2u);
    ASSERT_TRUE(rows[0].Duration.has_value());
    EXPECT_NEAR(*rows[0].Duration, 1.0, 0.1) << "what the hung encoder's file holds";
    ASSERT_TRUE(rows[1].Duration.has_value());
    EXPECT_NEAR(ProbeAudio(Folder() + "/" + rows[1].FileName).Duration, *rows[1].Duration, 0.1);
}
