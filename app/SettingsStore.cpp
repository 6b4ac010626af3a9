#include "SettingsStore.h"

#include "FileHandle.h"

// Debian builds SimpleIni against ICU; the char flavour used here passes UTF-8 through unchanged.
#define SI_CONVERT_ICU
#include <SimpleIni.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <new>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A new file next to the target, removed again unless it was renamed over the target.
class TTempFile {
public:
    explicit TTempFile(const std::filesystem::path& target) {
        static std::atomic<unsigned> counter{0};
        const std::string prefix =
            "." + target.filename().string() + ".tmp-" + std::to_string(getpid()) + "-";
        for (int attempt = 0; attempt < 100; ++attempt) {
            FPath = target.parent_path() / (prefix + std::to_string(counter.fetch_add(1)));
            FFd = TFileHandle(::open(FPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
            if (FFd.Valid() || errno != EEXIST) {
                break; // EEXIST: a leftover of an earlier run with our pid
            }
        }
        if (!FFd.Valid()) {
            FPath.clear();
        }
    }
    ~TTempFile() {
        if (!FPath.empty()) {
            FFd.Close();
            ::unlink(FPath.c_str());
        }
    }
    TTempFile(const TTempFile&) = delete;
    TTempFile& operator=(const TTempFile&) = delete;

    bool Valid() const { return FFd.Valid(); }
    int Fd() const { return FFd.Get(); }

    bool RenameTo(const std::filesystem::path& target) {
        if (!FFd.Close() || ::rename(FPath.c_str(), target.c_str()) != 0) {
            return false;
        }
        FPath.clear();
        return true;
    }

private:
    std::filesystem::path FPath;
    TFileHandle FFd;
};

enum class TReadResult { Read, Missing, Failed };

TReadResult ReadWholeFile(const std::filesystem::path& path, std::string& text) {
    // O_NONBLOCK: a FIFO in the file's place must not hang the program.
    TFileHandle fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.Valid()) {
        return errno == ENOENT || errno == ENOTDIR ? TReadResult::Missing : TReadResult::Failed;
    }
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return TReadResult::Failed;
    }
    text.clear();
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return TReadResult::Failed;
        }
        if (n == 0) {
            return TReadResult::Read;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
}

bool WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// A settings file that is a link stays a link: the file it points to is replaced.
std::filesystem::path ResolveLinks(std::filesystem::path path) {
    std::error_code ec;
    for (int depth = 0; depth < 16 && std::filesystem::is_symlink(path, ec); ++depth) {
        const std::filesystem::path target = std::filesystem::read_symlink(path, ec);
        if (ec) {
            break;
        }
        path = target.is_absolute() ? target : path.parent_path() / target;
    }
    return path;
}

bool ReplaceFile(const std::filesystem::path& fileName, const std::string& text) {
    const std::filesystem::path target = ResolveLinks(fileName);
    TTempFile temp(target);
    if (!temp.Valid()) {
        return false;
    }
    struct stat old {};
    if (::stat(target.c_str(), &old) == 0) {
        // Keep the owner and permissions of the file being replaced, where we may.
        if ((old.st_uid != ::geteuid() || old.st_gid != ::getegid()) &&
            ::fchown(temp.Fd(), old.st_uid, old.st_gid) != 0) {
            // not allowed: the new file is ours
        }
        ::fchmod(temp.Fd(), old.st_mode & 07777);
    }
    if (!WriteAll(temp.Fd(), text) || ::fsync(temp.Fd()) != 0 || !temp.RenameTo(target)) {
        return false;
    }
    // The rename itself is only durable once the folder is synced.
    const std::filesystem::path folder = target.has_parent_path() ? target.parent_path() : ".";
    TFileHandle dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.Valid()) {
        ::fsync(dir.Get());
    }
    return true;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool IsBlankLine(std::string_view line) {
    return line.find_first_not_of(" \t") == std::string_view::npos;
}

bool IsCommentLine(std::string_view line) {
    const auto first = line.find_first_not_of(" \t");
    return first != std::string_view::npos && (line[first] == ';' || line[first] == '#');
}

std::vector<std::string_view> SplitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const auto end = text.find_first_of("\r\n");
        lines.push_back(text.substr(0, end));
        if (end == std::string_view::npos) {
            break;
        }
        // "\r\n" counts as one break
        const std::size_t next = text.compare(end, 2, "\r\n") == 0 ? end + 2 : end + 1;
        text.remove_prefix(next);
    }
    return lines;
}

// The comment lines from `from` on, with the blank lines between them; "" when there are none.
std::string CommentBlock(const std::vector<std::string_view>& lines, std::size_t from) {
    std::size_t first = from;
    while (first < lines.size() && !IsCommentLine(lines[first])) {
        ++first;
    }
    std::size_t end = lines.size();
    while (end > first && !IsCommentLine(lines[end - 1])) {
        --end;
    }
    std::string block;
    for (std::size_t i = first; i < end; ++i) {
        block.append(IsBlankLine(lines[i]) ? std::string_view() : lines[i]);
        block += '\n';
    }
    return block;
}

std::optional<int> ParseInteger(std::string_view text) {
    int base = 10;
    bool minusAllowed = true; // from_chars takes a '-' of its own: not in "0x-5" or "+-5"
    if (text.starts_with("0x") || text.starts_with("0X")) {
        base = 16;
        minusAllowed = false;
        text.remove_prefix(2);
    } else if (text.starts_with('+')) {
        minusAllowed = false;
        text.remove_prefix(1);
    }
    if (text.empty() || (!minusAllowed && text[0] == '-')) {
        return std::nullopt;
    }
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (ec != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

void CheckNames(const std::string& section, const std::string& key) {
    const auto padded = [](const std::string& s) {
        return !s.empty() && (IsBlank(s.front()) || IsBlank(s.back()));
    };
    if (section.find_first_of("]\r\n") != std::string::npos || padded(section)) {
        throw std::invalid_argument("Settings section name cannot be stored: \"" + section + "\"");
    }
    if (key.empty() || key.find_first_of("=\r\n") != std::string::npos || padded(key) || key[0] == ';' ||
        key[0] == '#' || key[0] == '[') {
        throw std::invalid_argument("Settings key name cannot be stored: \"" + key + "\"");
    }
}

// A value is one line without surrounding blanks; anything else would read back differently.
std::string CleanValue(const std::string& value) {
    std::string clean = value;
    for (char& c : clean) {
        if (c == '\r' || c == '\n') {
            c = ' ';
        }
    }
    const auto first = clean.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return {};
    }
    return clean.substr(first, clean.find_last_not_of(" \t") - first + 1);
}

const std::string Utf8Signature = "\xEF\xBB\xBF";

} // namespace

// The parsed file plus the comments the parser would drop: a file of nothing
// but comments, and comments after the last entry.
class TSettingsStore::TContent {
public:
    TContent() { FIni.SetSpaces(false); }

    bool Load(std::string_view text) {
        if (text.starts_with(Utf8Signature)) {
            text.remove_prefix(Utf8Signature.size());
        }
        const std::vector<std::string_view> lines = SplitLines(text);
        std::size_t entries = 0; // lines up to the last one that is not a comment or blank
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (!IsBlankLine(lines[i]) && !IsCommentLine(lines[i])) {
                entries = i + 1;
            }
        }
        if (entries == 0) {
            FPreamble = CommentBlock(lines, 0);
            return true;
        }
        FTrailer = CommentBlock(lines, entries);
        return FIni.LoadData(text.data(), text.size()) >= 0;
    }

    std::string Render() const {
        std::string body;
        if (FIni.Save(body, false) < 0) {
            throw std::bad_alloc();
        }
        std::string text = FPreamble;
        if (!text.empty() && !body.empty()) {
            text += '\n';
        }
        text += body;
        if (!FTrailer.empty()) {
            if (!text.empty()) {
                text += '\n';
            }
            text += FTrailer;
        }
        return text;
    }

    const char* Value(const std::string& section, const std::string& key) const {
        return FIni.GetValue(section.c_str(), key.c_str(), nullptr);
    }

    void Set(const std::string& section, const std::string& key, const std::string& value) {
        if (FIni.SetValue(section.c_str(), key.c_str(), value.c_str()) < 0) {
            throw std::bad_alloc(); // the only way SetValue fails
        }
    }

private:
    CSimpleIniA FIni{true /* UTF-8 */, false /* one value per key */, false /* one line per value */};
    std::string FPreamble;
    std::string FTrailer;
};

TSettingsStore::TSettingsStore(std::filesystem::path fileName)
    : FFileName(std::move(fileName)), FContent(std::make_unique<TContent>()) {
    std::string text;
    switch (ReadWholeFile(FFileName, text)) {
    case TReadResult::Read:
        FUnreadable = !FContent->Load(text);
        if (FUnreadable) {
            FContent = std::make_unique<TContent>();
        }
        break;
    case TReadResult::Missing:
        break;
    case TReadResult::Failed:
        FUnreadable = true;
        break;
    }
}

TSettingsStore::~TSettingsStore() = default;

std::string TSettingsStore::ReadString(const std::string& section, const std::string& key,
                                       const std::string& def) const {
    std::lock_guard lock(FLock);
    const char* value = FContent->Value(section, key);
    return value != nullptr ? std::string(value) : def;
}

int TSettingsStore::ReadInteger(const std::string& section, const std::string& key, int def) const {
    std::lock_guard lock(FLock);
    const char* value = FContent->Value(section, key);
    return value != nullptr ? ParseInteger(value).value_or(def) : def;
}

bool TSettingsStore::KeyExists(const std::string& section, const std::string& key) const {
    std::lock_guard lock(FLock);
    return FContent->Value(section, key) != nullptr;
}

void TSettingsStore::WriteString(const std::string& section, const std::string& key,
                                 const std::string& value) {
    WriteSection(section, {{key, value}});
}

void TSettingsStore::WriteInteger(const std::string& section, const std::string& key, int value) {
    WriteSection(section, {{key, std::to_string(value)}});
}

void TSettingsStore::WriteSection(const std::string& section,
                                  const std::vector<std::pair<std::string, std::string>>& values) {
    std::vector<TWrite> writes;
    writes.reserve(values.size());
    for (const auto& [key, value] : values) {
        CheckNames(section, key);
        writes.emplace_back(section, key, CleanValue(value));
    }
    if (writes.empty()) {
        return;
    }
    std::lock_guard lock(FLock);
    Apply(writes);
}

void TSettingsStore::UpdateFile() {
    std::lock_guard lock(FLock);
    if (FUnreadable && !RecoverUnreadable()) {
        return;
    }
    if (FDirty) {
        Persist();
    }
}

bool TSettingsStore::AllWritten() const {
    std::lock_guard lock(FLock);
    return !FDirty && !FUnreadable;
}

void TSettingsStore::Apply(const std::vector<TWrite>& writes) {
    for (const auto& [section, key, value] : writes) {
        FContent->Set(section, key, value);
    }
    FDirty = true;
    if (FUnreadable) {
        FHeldBack.insert(FHeldBack.end(), writes.begin(), writes.end());
        if (!RecoverUnreadable()) {
            return;
        }
    }
    Persist();
}

// Reads the file that could not be read before and lays the held-back writes
// over it. False while it still cannot be read.
bool TSettingsStore::RecoverUnreadable() {
    std::string text;
    auto fresh = std::make_unique<TContent>();
    switch (ReadWholeFile(FFileName, text)) {
    case TReadResult::Failed:
        return false;
    case TReadResult::Missing:
        break;
    case TReadResult::Read:
        if (!fresh->Load(text)) {
            return false;
        }
        break;
    }
    for (const auto& [section, key, value] : FHeldBack) {
        fresh->Set(section, key, value);
    }
    FContent = std::move(fresh);
    FHeldBack.clear();
    FUnreadable = false;
    FDirty = true;
    return true;
}

void TSettingsStore::Persist() {
    FDirty = !ReplaceFile(FFileName, FContent->Render());
}
