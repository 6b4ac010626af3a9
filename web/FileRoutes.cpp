// The recordings themselves: the download and the page's player, both with
// single byte ranges so that a player seeks without fetching the whole hour.
#include "WebRouter.h"

#include "TextTools.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>

bool TWebRouter::IsInsideFolder(std::string_view filename) {
    if (filename.empty() || filename.front() == '/') {
        return false;
    }
    std::string_view rest = filename;
    while (!rest.empty()) {
        const auto slash = rest.find('/');
        if (rest.substr(0, slash) == "..") {
            return false;
        }
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    }
    return true;
}

namespace {

std::optional<std::uint64_t> ParseBytePosition(std::string_view text) {
    text = Trim(text);
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

enum class TRangeAnswer { Whole, Part, Unsatisfiable };

// One range of a Range header ("bytes=0-99", "bytes=100-", "bytes=-500").
// What is not served as a range (several ranges, another unit, bad syntax)
// gets the whole file, as HTTP allows.
TRangeAnswer ParseRange(std::string_view header, std::uint64_t size, std::uint64_t& first, std::uint64_t& last) {
    header = Trim(header);
    if (header.size() < 6 || !EqualsIgnoringCase(header.substr(0, 6), "bytes=")) {
        return TRangeAnswer::Whole;
    }
    const std::string_view spec = header.substr(6);
    const auto dash = spec.find('-');
    if (spec.find(',') != std::string_view::npos || dash == std::string_view::npos) {
        return TRangeAnswer::Whole;
    }
    const std::string_view from = Trim(spec.substr(0, dash));
    const std::string_view to = Trim(spec.substr(dash + 1));
    if (from.empty()) {
        const auto suffix = ParseBytePosition(to);
        if (!suffix) {
            return TRangeAnswer::Whole;
        }
        if (*suffix == 0 || size == 0) {
            return TRangeAnswer::Unsatisfiable;
        }
        first = size - std::min(*suffix, size);
        last = size - 1;
        return TRangeAnswer::Part;
    }
    const auto start = ParseBytePosition(from);
    const auto end = to.empty() ? std::optional<std::uint64_t>(UINT64_MAX) : ParseBytePosition(to);
    if (!start || !end || *end < *start) {
        return TRangeAnswer::Whole;
    }
    if (*start >= size) {
        return TRangeAnswer::Unsatisfiable;
    }
    first = *start;
    last = std::min(*end, size - 1);
    return TRangeAnswer::Part;
}

// An HTTP date (IMF-fixdate), in English whatever the locale.
std::string HttpDate(std::time_t t) {
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm utc{};
    gmtime_r(&t, &utc);
    return Format("%s, %02d %s %04d %02d:%02d:%02d GMT", days[utc.tm_wday], utc.tm_mday, months[utc.tm_mon],
                  utc.tm_year + 1900, utc.tm_hour, utc.tm_min, utc.tm_sec);
}

} // namespace

void TWebRouter::SendFile(int index, int id, const THttpRequest& request, THttpResponse& response, bool play) {
    const TWebSlotState state = FSlots.State(index);
    std::string filename;
    {
        auto db = FSlots.OpenCatalogue(index, state.Folder);
        auto query = db->Prepare("SELECT filename FROM recordings WHERE id=?");
        query.Bind(1, id);
        if (!query.Step()) {
            throw TNotFound();
        }
        filename = query.ColumnText(0);
    }
    std::replace(filename.begin(), filename.end(), '\\', '/'); // as older installations stored it
    if (!IsInsideFolder(filename)) {
        throw TNotFound();
    }
    const std::string path = RecordingPath(state.Folder, filename);
    const std::string name = path.substr(path.rfind('/') + 1);
    response.Headers.emplace_back("Content-Disposition",
                                  Format("%s; filename=\"%s\"", play ? "inline" : "attachment", name.c_str()));
    const auto dot = name.rfind('.');
    const std::string ext = dot == std::string::npos ? std::string() : LowerAscii(name.substr(dot));
    response.ContentType = AudioContentType(ext, name);
    auto cannotOpen = [&](int error) {
        // Named as in the slot's folder: the answer never shows where that lies.
        return std::runtime_error(Format("Cannot open file \"%s\". %s", filename.c_str(), std::strerror(error)));
    };
    // The download of the file being written is not handed out half-finished.
    // The player gets what an MP3 or Ogg file holds so far: both play from any
    // point, unlike a WMA file whose header is written at its end.
    if (state.Recording && id == state.CurrentRecordingID && (!play || ext == ".wma")) {
        throw cannotOpen(EBUSY);
    }
    TFileHandle file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.Valid()) {
        throw cannotOpen(errno);
    }
    struct stat info {};
    if (::fstat(file.Get(), &info) != 0) {
        throw cannotOpen(errno);
    }
    if (!S_ISREG(info.st_mode)) {
        throw cannotOpen(S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
    }
    const auto size = static_cast<std::uint64_t>(info.st_size);
    const std::string etag =
        Format("\"%llx-%llx-%llx\"", static_cast<unsigned long long>(info.st_ino), static_cast<unsigned long long>(size),
               static_cast<unsigned long long>(info.st_mtim.tv_sec * 1000000000LL + info.st_mtim.tv_nsec));
    const std::string modified = HttpDate(info.st_mtim.tv_sec);
    response.Headers.emplace_back("Accept-Ranges", "bytes");
    response.Headers.emplace_back("ETag", etag);
    response.Headers.emplace_back("Last-Modified", modified);
    response.File = std::move(file);
    response.FileSize = size;

    // A range of a file that has changed since the client's copy would mix two files.
    const std::string validator(Trim(request.IfRange));
    if (request.Range.empty() || (!validator.empty() && validator != etag && validator != modified)) {
        return;
    }
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    switch (ParseRange(request.Range, size, first, last)) {
    case TRangeAnswer::Whole:
        return;
    case TRangeAnswer::Unsatisfiable:
        response.File.Reset();
        response.FileSize = 0;
        response.Status = 416;
        response.Headers.emplace_back("Content-Range", Format("bytes */%llu", static_cast<unsigned long long>(size)));
        SendText(response, "Range not satisfiable");
        return;
    case TRangeAnswer::Part:
        response.Status = 206;
        response.FileOffset = first;
        response.FileSize = last - first + 1;
        response.Headers.emplace_back("Content-Range",
                                      Format("bytes %llu-%llu/%llu", static_cast<unsigned long long>(first),
                                             static_cast<unsigned long long>(last),
                                             static_cast<unsigned long long>(size)));
        return;
    }
}
