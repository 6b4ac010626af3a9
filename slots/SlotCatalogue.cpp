#include "SlotInfo.h"

#include "MediaProbe.h"
#include "TextTools.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
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

// A folder's descriptor, closed with it.
class TDirHandle {
public:
    explicit TDirHandle(int fd) : FFd(fd) {}
    ~TDirHandle() {
        if (FFd >= 0) {
            close(FFd);
        }
    }
    TDirHandle(const TDirHandle&) = delete;
    TDirHandle& operator=(const TDirHandle&) = delete;
    int Get() const { return FFd; }
    void Reset(int fd) {
        if (FFd >= 0) {
            close(FFd);
        }
        FFd = fd;
    }

private:
    int FFd;
};

enum class TUnlinked { Deleted, Missing, Outside, Failed };

// Deletes a row's file only where it lies below `folder`: the name is walked
// from the folder one component at a time without following a link, so that
// neither "..", an absolute name nor a link (to a folder or a file) reaches
// anything outside. `error` is errno of a failure.
TUnlinked UnlinkInside(const std::string& folder, std::string filename, int& error) {
    std::replace(filename.begin(), filename.end(), '\\', '/'); // as older installations stored it
    std::vector<std::string> parts;
    if (filename.empty() || filename.front() == '/') {
        return TUnlinked::Outside;
    }
    for (std::size_t begin = 0; begin <= filename.size();) {
        const std::size_t end = std::min(filename.find('/', begin), filename.size());
        const std::string part = filename.substr(begin, end - begin);
        if (part == "..") {
            return TUnlinked::Outside;
        }
        if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        begin = end + 1;
    }
    if (parts.empty()) {
        return TUnlinked::Outside;
    }
    TDirHandle dir(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.Get() < 0) {
        error = errno;
        return error == ENOENT ? TUnlinked::Missing : TUnlinked::Failed;
    }
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        const int next = openat(dir.Get(), parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) {
            error = errno;
            // A link (ELOOP) or a file where a folder belongs leads elsewhere.
            return error == ENOENT ? TUnlinked::Missing
                   : error == ELOOP || error == ENOTDIR ? TUnlinked::Outside
                                                        : TUnlinked::Failed;
        }
        dir.Reset(next);
    }
    struct stat info {};
    if (fstatat(dir.Get(), parts.back().c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        error = errno;
        return error == ENOENT ? TUnlinked::Missing : TUnlinked::Failed;
    }
    if (S_ISLNK(info.st_mode)) {
        return TUnlinked::Outside;
    }
    if (unlinkat(dir.Get(), parts.back().c_str(), 0) != 0) {
        error = errno;
        return error == ENOENT ? TUnlinked::Missing : TUnlinked::Failed;
    }
    return TUnlinked::Deleted;
}

// True when `folder` holds a catalogue with rows; a catalogue that cannot be
// read counts as one that has, so that nothing is cleaned unasked.
bool HoldsRecordings(const std::string& folder) {
    std::error_code ec;
    const std::string file = WithSlash(folder) + TCatalogue::FileName;
    if (!fs::exists(file, ec)) {
        return ec.value() != 0 && ec != std::errc::no_such_file_or_directory;
    }
    try {
        TCatalogue db(file);
        return db.Prepare("SELECT 1 FROM recordings LIMIT 1").Step();
    } catch (const TCatalogueError&) {
        return true;
    }
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

bool TSlotInfo::DeleteRecording(TCatalogue& db, std::int64_t id, const std::string& filename) {
    const std::string path = RecordingPath(Folder, filename);
    // unlink would succeed on a file being written (by this slot or another
    // recording into the same folder) and silently destroy it.
    if (FServices.OpenFiles->Contains(path)) {
        Log(::Format("Error deleting %s: Error code %d", path.c_str(), EBUSY));
        return false;
    }
    int error = 0;
    switch (UnlinkInside(Folder, filename, error)) {
    case TUnlinked::Deleted:
        Log("Deleted " + path);
        RemoveEmptiedFolders(Folder, path);
        break;
    case TUnlinked::Missing:
        Log("Warning: File was missing, deleted from database: " + path);
        break;
    case TUnlinked::Outside:
        if (FOutsideRows.insert(id).second) {
            Log("Recording " + LogText(filename) + " lies outside the slot's folder: kept");
        }
        return false;
    case TUnlinked::Failed:
        Log(::Format("Error deleting %s: Error code %d", path.c_str(), error));
        return false;
    }
    db.Prepare("DELETE FROM recordings WHERE id=?").Bind(1, id).Run();
    return true;
}

bool TSlotInfo::CleanupWaitsForConfirmation() {
    if (CleanupConfirmed) {
        FCleanupWaitLogged = false;
        return false;
    }
    if (!FCleanupWaitLogged) {
        FCleanupWaitLogged = true;
        Log("Cleanup skipped: the catalogue found in the folder is cleaned once its cleanup is confirmed");
    }
    return true;
}

bool TSlotInfo::FolderTakesOverRecordings(const std::string& folder) { return HoldsRecordings(folder); }

void TSlotInfo::CleanupByAge() {
    std::lock_guard guard(Lock);
    if (!CleanupDaysEnabled || CleanupWaitsForConfirmation()) {
        return;
    }
    auto db = OpenCatalogue();
    auto query = db->Prepare("SELECT id, filename FROM recordings WHERE julianday('now') - julianday(starttime) > ?");
    query.Bind(1, CleanupDays);
    for (const auto& [id, filename] : IdsAndNames(std::move(query))) {
        DeleteRecording(*db, id, filename);
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
    if (!CleanupSpaceEnabled || !FServices.FreeSpace || CleanupWaitsForConfirmation()) {
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
        if (DeleteRecording(*db, id, filename)) {
            return true;
        }
    }
    return false;
}
