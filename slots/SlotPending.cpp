// Rows the catalogue refused, the journal that carries them over a restart,
// and the start-up pass that gives every recording file its row.
#include "SlotInfo.h"

#include "MediaProbe.h"
#include "TextTools.h"

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// What a catalogue may wait for its lock at shutdown: the journal takes what it refuses.
constexpr int ShutdownBusyMs = 1000;
// A journal is a few lines a refused row; anything near this size is not ours.
constexpr std::uintmax_t MaxJournalBytes = 4 << 20;

std::string JournalPath(const std::string& folder) {
    return RecordingPath(folder, TSlotInfo::JournalName);
}

bool Digits(std::string_view text, std::size_t from, std::size_t count) {
    return text.size() >= from + count &&
           std::all_of(text.begin() + static_cast<std::ptrdiff_t>(from),
                       text.begin() + static_cast<std::ptrdiff_t>(from + count),
                       [](char c) { return c >= '0' && c <= '9'; });
}

// "yyyy-mm-dd-hh-nn-ss" with an optional "-n" and .mp3, .ogg or .wma: the
// start time as a row holds it, or "" for any other name.
std::string StartTimeOfName(std::string_view name) {
    if (name.size() < 23 || !Digits(name, 0, 4) || !Digits(name, 5, 2) || !Digits(name, 8, 2) ||
        !Digits(name, 11, 2) || !Digits(name, 14, 2) || !Digits(name, 17, 2)) {
        return {};
    }
    for (std::size_t dash : {4, 7, 10, 13, 16}) {
        if (name[dash] != '-') {
            return {};
        }
    }
    const std::string_view ext = name.substr(name.size() - 4);
    if (ext != ".mp3" && ext != ".ogg" && ext != ".wma") {
        return {};
    }
    const std::string_view number = name.substr(19, name.size() - 23);
    if (!number.empty() && (number.size() < 2 || number[0] != '-' || !Digits(number, 1, number.size() - 1))) {
        return {};
    }
    std::string start(name.substr(0, 19));
    start[10] = ' ';
    start[13] = start[16] = ':';
    return start;
}

// A file name a row may hold: flat, or below its year, month and day folders.
bool IsRecordingName(const std::string& relative) {
    const auto slash = relative.rfind('/');
    if (slash == std::string::npos) {
        return !StartTimeOfName(relative).empty();
    }
    return slash == 10 && Digits(relative, 0, 4) && relative[4] == '/' && Digits(relative, 5, 2) &&
           relative[7] == '/' && Digits(relative, 8, 2) && !StartTimeOfName(relative.substr(11)).empty();
}

bool IsTime(const std::string& t) {
    return t.size() == 19 && Digits(t, 0, 4) && t[4] == '-' && Digits(t, 5, 2) && t[7] == '-' && Digits(t, 8, 2) &&
           t[10] == ' ' && Digits(t, 11, 2) && t[13] == ':' && Digits(t, 14, 2) && t[16] == ':' && Digits(t, 17, 2);
}

// Journal fields are separated by tabs; none of ours holds a control character.
std::string Field(const std::string& text) {
    std::string out = text;
    std::replace_if(out.begin(), out.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; }, '?');
    return out;
}

std::string Line(const std::vector<std::string>& fields) {
    std::string line;
    for (const auto& field : fields) {
        line += (line.empty() ? "" : "\t") + Field(field);
    }
    return line + "\n";
}

std::vector<std::string> Split(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t from = 0;
    for (std::size_t tab; (tab = line.find('\t', from)) != std::string::npos; from = tab + 1) {
        fields.push_back(line.substr(from, tab - from));
    }
    fields.push_back(line.substr(from));
    return fields;
}

bool NoControls(const std::string& text) {
    return std::none_of(text.begin(), text.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; });
}

std::optional<std::int64_t> ParseId(const std::string& text) {
    std::int64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < 0) {
        return std::nullopt;
    }
    return value;
}

std::string DurationText(double seconds) {
    char buffer[32];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, seconds);
    return std::string(buffer, end);
}

// R id duration filename starttime | E id kind starttime endtime text; none on a line that is not ours.
std::optional<TSlotInfo::TPendingRow> ParseLine(const std::string& folder, const std::string& line) {
    const auto fields = Split(line);
    if (!std::all_of(fields.begin(), fields.end(), NoControls)) {
        return std::nullopt;
    }
    TSlotInfo::TPendingRow row;
    row.Folder = folder;
    const auto id = fields.size() > 1 ? ParseId(fields[1]) : std::nullopt;
    if (!id) {
        return std::nullopt;
    }
    row.Id = *id;
    if (fields[0] == "R" && fields.size() == 5) {
        if (!fields[2].empty()) {
            double seconds = 0;
            const auto [end, ec] = std::from_chars(fields[2].data(), fields[2].data() + fields[2].size(), seconds);
            if (ec != std::errc() || end != fields[2].data() + fields[2].size() || !(seconds >= 0)) {
                return std::nullopt;
            }
            row.Duration = seconds;
        }
        row.Relative = fields[3];
        row.StartTime = fields[4];
        const bool insert = row.Id == 0;
        if ((insert && (!row.Duration || !IsRecordingName(row.Relative) || !IsTime(row.StartTime)))) {
            return std::nullopt;
        }
        return row;
    }
    // An insert has its start and perhaps its end; an update by id only its end.
    if (fields[0] == "E" && fields.size() == 6 && !fields[2].empty() &&
        (row.Id == 0 ? IsTime(fields[3]) && (fields[4].empty() || IsTime(fields[4])) : IsTime(fields[4]))) {
        row.EventKind = fields[2];
        row.StartTime = fields[3];
        row.EndTime = fields[4];
        row.EventText = fields[5];
        return row;
    }
    return std::nullopt;
}

} // namespace

void TSlotInfo::FinishRow(const TPendingRow& row) { ApplyPending({row}); }

void TSlotInfo::ApplyRow(TCatalogue& db, const TPendingRow& row) {
    if (row.IsEvent()) {
        if (row.Id != 0) {
            db.Prepare("UPDATE events SET endtime=? WHERE id=?").Bind(1, row.EndTime).Bind(2, row.Id).Run();
            return;
        }
        // A journal line may come again after a crash: the event goes in once.
        auto known = db.Prepare("SELECT id FROM events WHERE kind=? AND starttime=? AND text=?");
        known.Bind(1, row.EventKind).Bind(2, row.StartTime).Bind(3, row.EventText);
        std::int64_t id = 0;
        if (known.Step()) {
            id = known.ColumnInt64(0);
        } else {
            db.Prepare("INSERT INTO events (kind, starttime, text) VALUES (?,?,?)")
                .Bind(1, row.EventKind)
                .Bind(2, row.StartTime)
                .Bind(3, row.EventText)
                .Run();
            id = sqlite3_last_insert_rowid(db.Handle());
        }
        if (!row.EndTime.empty()) {
            db.Prepare("UPDATE events SET endtime=? WHERE id=? AND endtime IS NULL")
                .Bind(1, row.EndTime)
                .Bind(2, id)
                .Run();
        }
        for (TAlarm& alarm : FAlarms) {
            if (row.Ticket != 0 && alarm.EventId == -row.Ticket) {
                alarm.EventId = id; // still on: its end updates this row
            }
        }
        return;
    }
    if (row.Id == 0) {
        // Its file has audio but never got a row: the record lists it all the
        // same, once, also when a journal line comes again after a crash.
        auto known = db.Prepare("SELECT 1 FROM recordings WHERE filename=?");
        if (!known.Bind(1, row.Relative).Step()) {
            db.Prepare("INSERT INTO recordings (starttime, duration, filename) VALUES (?,?,?)")
                .Bind(1, row.StartTime)
                .Bind(2, *row.Duration)
                .Bind(3, row.Relative)
                .Run();
        }
    } else if (row.Duration) {
        db.Prepare("UPDATE recordings SET duration=? WHERE id=?").Bind(1, *row.Duration).Bind(2, row.Id).Run();
    } else {
        db.Prepare("DELETE FROM recordings WHERE id=?").Bind(1, row.Id).Run();
    }
}

bool TSlotInfo::ApplyPending(std::vector<TPendingRow> rows) {
    bool allDone = true;
    std::vector<std::string> folders;
    for (const auto& row : rows) {
        if (std::find(folders.begin(), folders.end(), row.Folder) == folders.end()) {
            folders.push_back(row.Folder);
        }
    }
    for (const auto& folder : folders) {
        std::vector<TPendingRow> mine;
        for (auto& row : rows) {
            if (row.Folder == folder) {
                mine.push_back(std::move(row));
            }
        }
        const bool refused = FShuttingDown && std::find(FRefusedFolders.begin(), FRefusedFolders.end(), folder) !=
                                                  FRefusedFolders.end();
        std::size_t done = 0;
        if (!refused) {
            try {
                auto db = OpenCatalogue(folder);
                if (FShuttingDown) {
                    sqlite3_busy_timeout(db->Handle(), ShutdownBusyMs);
                }
                for (; done < mine.size(); ++done) {
                    ApplyRow(*db, mine[done]);
                }
            } catch (const TCatalogueError& e) {
                // A full disk or a lock held elsewhere refuses the rest as well.
                ReportCatalogueError(e.what());
                if (FShuttingDown) {
                    FRefusedFolders.push_back(folder);
                }
            }
        }
        if (done < mine.size()) {
            allDone = false;
            std::move(mine.begin() + static_cast<std::ptrdiff_t>(done), mine.end(), std::back_inserter(FPendingRows));
        }
    }
    return allDone;
}

void TSlotInfo::RetryPendingRows() {
    std::vector<TPendingRow> rows;
    rows.swap(FPendingRows);
    if (rows.empty()) {
        return;
    }
    std::vector<std::string> folders;
    for (const auto& row : rows) {
        folders.push_back(row.Folder);
    }
    ApplyPending(std::move(rows));
    // A journal whose rows are all written now would only write them again.
    for (const auto& folder : folders) {
        if (std::none_of(FPendingRows.begin(), FPendingRows.end(),
                         [&](const TPendingRow& row) { return row.Folder == folder; })) {
            unlink(JournalPath(folder).c_str());
        }
    }
    if (FPendingRows.empty()) {
        FCatalogueFault.End();
    }
}

void TSlotInfo::SavePendingRows() {
    std::vector<std::string> folders;
    for (const auto& row : FPendingRows) {
        if (std::find(folders.begin(), folders.end(), row.Folder) == folders.end()) {
            folders.push_back(row.Folder);
        }
    }
    for (const auto& folder : folders) {
        std::string text;
        for (const auto& row : FPendingRows) {
            if (row.Folder != folder) {
                continue;
            }
            text += row.IsEvent() ? Line({"E", std::to_string(row.Id), row.EventKind, row.StartTime, row.EndTime,
                                          row.EventText})
                                  : Line({"R", std::to_string(row.Id), row.Duration ? DurationText(*row.Duration) : "",
                                          row.Relative, row.StartTime});
        }
        // Appended: another slot recording into this folder may have written its own lines.
        const std::string path = JournalPath(folder);
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
        bool saved = fd >= 0;
        for (std::size_t at = 0; saved && at < text.size();) {
            const ssize_t n = write(fd, text.data() + at, text.size() - at);
            saved = n > 0 || (n < 0 && errno == EINTR);
            at += n > 0 ? static_cast<std::size_t>(n) : 0;
        }
        const int error = saved ? 0 : errno;
        saved = saved && fsync(fd) == 0;
        if (fd >= 0) {
            saved = close(fd) == 0 && saved;
        }
        if (const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
            fsync(dir); // the journal's name lasts as well
            close(dir);
        }
        if (saved) {
            Log("Rows kept for the next start in " + path);
            continue;
        }
        // The folder takes nothing (gone, read-only, full): the next start
        // still enters its files (AddMissingRows) and their durations.
        Log(std::string("Error saving rows for the next start: ") + std::strerror(error != 0 ? error : errno));
        for (const auto& row : FPendingRows) {
            if (row.Folder == folder) {
                Log("Row not stored: " + (row.IsEvent() ? row.EventText : RecordingPath(folder, row.Relative)));
            }
        }
    }
    FPendingRows.clear();
}

void TSlotInfo::ReplayJournal() {
    const std::string path = JournalPath(Folder);
    std::error_code ec;
    const auto size = fs::file_size(path, ec);
    if (ec) {
        return;
    }
    if (size > MaxJournalBytes) {
        Log("Ignored " + path + ": too large");
        return;
    }
    std::vector<TPendingRow> rows;
    std::ifstream in(path, std::ios::binary);
    int skipped = 0;
    for (std::string line; std::getline(in, line);) {
        if (auto row = ParseLine(Folder, line)) {
            rows.push_back(std::move(*row));
        } else if (!line.empty()) {
            ++skipped;
        }
    }
    if (skipped > 0) {
        Log(::Format("Skipped %d unreadable lines of %s", skipped, path.c_str()));
    }
    if (rows.empty() || ApplyPending(std::move(rows))) {
        unlink(path.c_str());
    }
    // What is still refused waits in FPendingRows, and stays in the journal meanwhile.
}

int TSlotInfo::AddMissingRows() {
    std::lock_guard guard(Lock);
    const fs::path root(Folder);
    // Flat names in the folder itself, dated ones three levels down; nothing
    // else is walked, and a folder with a catalogue of its own is another slot's.
    std::vector<std::string> found;
    std::error_code ec;
    auto list = [&](const fs::path& dir, const std::string& prefix, int depth, auto& self) -> void {
        std::error_code walk;
        for (fs::directory_iterator it(dir, walk), end; !walk && it != end; it.increment(walk)) {
            const std::string name = it->path().filename().string();
            if (depth == 0 || depth == 3) {
                // Links are not followed: a row's file is deleted by the cleanup.
                if (!StartTimeOfName(name).empty() && fs::is_regular_file(it->symlink_status(walk))) {
                    found.push_back(prefix + name);
                }
                walk.clear();
            }
            if (depth < 3 && name.size() == (depth == 0 ? 4u : 2u) && Digits(name, 0, name.size()) &&
                fs::is_directory(it->symlink_status(walk)) && !fs::exists(it->path() / TCatalogue::FileName, walk)) {
                self(it->path(), prefix + name + "/", depth + 1, self);
            }
            walk.clear();
        }
    };
    if (!fs::is_directory(root, ec)) {
        return 0;
    }
    list(root, "", 0, list);
    if (found.empty()) {
        return 0;
    }
    auto db = OpenCatalogue();
    std::set<std::string> known;
    for (auto rows = db->Prepare("SELECT filename FROM recordings"); rows.Step();) {
        std::string name = rows.ColumnText(0);
        std::replace(name.begin(), name.end(), '\\', '/');
        known.insert(std::move(name));
    }
    std::sort(found.begin(), found.end());
    int added = 0;
    for (const auto& relative : found) {
        const std::string path = RecordingPath(Folder, relative);
        if (known.contains(relative) || FServices.OpenFiles->Contains(path)) {
            continue;
        }
        const std::string name = relative.substr(relative.rfind('/') + 1);
        auto insert = db->Prepare("INSERT INTO recordings (starttime, duration, filename) VALUES (?,?,?)");
        insert.Bind(1, StartTimeOfName(name)).Bind(3, relative);
        if (const auto seconds = MeasureDuration(path)) {
            insert.Bind(2, *seconds); // an unreadable file keeps NULL, as after a crash
        }
        insert.Run();
        Log("Added the recording without a row " + path);
        ++added;
    }
    return added;
}

void TSlotInfo::RecoverCatalogue() {
    std::lock_guard guard(Lock);
    std::error_code ec;
    if (!fs::is_directory(Folder, ec)) {
        return; // nothing recorded here yet: do not create folders for it
    }
    ReplayJournal();
    RepairDurations();
    AddMissingRows();
}
