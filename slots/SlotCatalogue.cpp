#include "SlotInfo.h"

#include "MediaProbe.h"
#include "TextTools.h"

#include <cerrno>
#include <filesystem>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Rows of (id, filename), read whole before anything is deleted or updated.
std::vector<std::pair<std::int64_t, std::string>> IdsAndNames(TStatement&& query) {
    std::vector<std::pair<std::int64_t, std::string>> rows;
    while (query.Step()) {
        rows.emplace_back(query.ColumnInt64(0), query.ColumnText(1));
    }
    return rows;
}

std::string WithSlash(const std::string& folder) {
    return !folder.empty() && folder.back() == '/' ? folder : folder + "/";
}

} // namespace

std::unique_ptr<TCatalogue> TSlotInfo::OpenCatalogue() {
    std::string folder;
    {
        std::lock_guard guard(Lock);
        folder = Folder;
    }
    return OpenCatalogue(folder);
}

std::unique_ptr<TCatalogue> TSlotInfo::OpenCatalogue(const std::string& folder) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) {
        throw TCatalogueError("cannot create folder " + folder + ": " + ec.message());
    }
    return std::make_unique<TCatalogue>(WithSlash(folder) + TCatalogue::FileName);
}

void TSlotInfo::RepairDurations() {
    std::lock_guard guard(Lock);
    std::error_code ec;
    if (!fs::exists(WithSlash(Folder) + TCatalogue::FileName, ec)) {
        return; // nothing recorded here yet: do not create folders for it
    }
    auto db = OpenCatalogue();
    for (const auto& [id, filename] : IdsAndNames(db->Prepare("SELECT id, filename FROM recordings WHERE duration IS NULL"))) {
        const std::string path = RecordingPath(Folder, filename);
        if (FServices.OpenFiles->Contains(path)) {
            continue; // being written, by this slot or another in the same folder
        }
        if (const auto seconds = ProbeDuration(path)) {
            db->Prepare("UPDATE recordings SET duration=? WHERE id=?").Bind(1, *seconds).Bind(2, id).Run();
        }
    }
}

// ---- cleanup ----

void TSlotInfo::RemoveEmptiedFolders(const std::string& folder, const std::string& path) {
    const fs::path root = fs::path(WithSlash(folder)).lexically_normal().parent_path();
    fs::path dir = fs::path(path).lexically_normal().parent_path();
    // Up through the emptied day, month and year folders, never the slot's folder.
    while (dir != root && dir.string().starts_with(root.string() + "/") && rmdir(dir.c_str()) == 0) {
        dir = dir.parent_path();
    }
}

void TSlotInfo::RemoveFile(const std::string& folder, const std::string& path) {
    if (unlink(path.c_str()) == 0) {
        RemoveEmptiedFolders(folder, path);
    }
}

bool TSlotInfo::DeleteRecording(TCatalogue& db, std::int64_t id, const std::string& path) {
    // unlink would succeed on a file being written (by this slot or another
    // recording into the same folder) and silently destroy it.
    if (FServices.OpenFiles->Contains(path)) {
        Log(::Format("Error deleting %s: Error code %d", path.c_str(), EBUSY));
        return false;
    }
    if (unlink(path.c_str()) == 0) {
        Log("Deleted " + path);
        RemoveEmptiedFolders(Folder, path);
    } else if (errno == ENOENT) {
        Log("Warning: File was missing, deleted from database: " + path);
    } else {
        Log(::Format("Error deleting %s: Error code %d", path.c_str(), errno));
        return false;
    }
    db.Prepare("DELETE FROM recordings WHERE id=?").Bind(1, id).Run();
    return true;
}

void TSlotInfo::CleanupByAge() {
    std::lock_guard guard(Lock);
    if (!CleanupDaysEnabled) {
        return;
    }
    auto db = OpenCatalogue();
    auto query = db->Prepare("SELECT id, filename FROM recordings WHERE julianday('now') - julianday(starttime) > ?");
    query.Bind(1, CleanupDays);
    for (const auto& [id, filename] : IdsAndNames(std::move(query))) {
        DeleteRecording(*db, id, RecordingPath(Folder, filename));
    }
    // Events go with the recordings they happened in; an alarm still on keeps its row.
    std::string sql = "DELETE FROM events WHERE COALESCE(endtime, starttime) < (SELECT MIN(starttime) FROM recordings)";
    std::vector<std::int64_t> active;
    for (const TAlarm& alarm : FAlarms) {
        if (alarm.EventId > 0) {
            sql += active.empty() ? " AND id NOT IN (?" : ",?";
            active.push_back(alarm.EventId);
        }
    }
    if (!active.empty()) {
        sql += ")";
    }
    auto events = db->Prepare(sql.c_str());
    for (std::size_t i = 0; i < active.size(); ++i) {
        events.Bind(static_cast<int>(i + 1), active[i]);
    }
    events.Run();
}

bool TSlotInfo::CleanupBySpace() {
    std::lock_guard guard(Lock);
    if (!CleanupSpaceEnabled || !FServices.FreeSpace) {
        return false;
    }
    const auto free = FServices.FreeSpace(Folder);
    if (!free) {
        return false;
    }
    const std::int64_t limit = static_cast<std::int64_t>(CleanupSpace) << 30;
    if (limit <= 0 || *free >= static_cast<std::uint64_t>(limit)) {
        return false;
    }
    auto db = OpenCatalogue();
    for (const auto& [id, filename] : IdsAndNames(db->Prepare("SELECT id, filename FROM recordings ORDER BY id"))) {
        if (DeleteRecording(*db, id, RecordingPath(Folder, filename))) {
            return true;
        }
    }
    return false;
}
