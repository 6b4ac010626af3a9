// A clip: one file of a span of local time, cut out of the hour files it
// touches and sent while it is being made.
#include "WebRouter.h"

#include "ClipCutter.h"
#include "FFmpegLog.h"
#include "TextTools.h"

#include <algorithm>
#include <cmath>
#include <cctype>
#include <cstdio>
#include <memory>
#include <stdexcept>

namespace {

constexpr double MaxClipSeconds = 6 * 3600;
// Files that follow each other closer than this are one recording: their
// start times are stored to the second and their lengths to the frame.
constexpr double JoinSeconds = 1.5;

// A local time as seconds since 1970-01-01 00:00 of the same zone.
using TLocalSeconds = long long;

// "2011-03-07T10:58:00", "2011-03-07T10:58" or with a blank for the "T".
std::optional<TLocalSeconds> ParseLocalTime(std::string text) {
    if (text.size() == 16) {
        text += ":00";
    }
    if (text.size() != 19 || (text[10] != 'T' && text[10] != ' ')) {
        return std::nullopt;
    }
    text[10] = ' ';
    try {
        const auto [days, seconds] = TWebRouter::ParseStoredTime(text);
        return days * 86400 + seconds;
    } catch (const std::runtime_error&) {
        return std::nullopt;
    }
}

std::string IsoText(TLocalSeconds t) { return TWebRouter::FormatISODateTime(t); }

// For a file name: no separators, quotes or control characters, and the
// colons of the times as dashes.
std::string FileNamePart(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        out += c < 0x20 || c == 0x7f || c == '/' || c == '\\' || c == '"' || c == ':' ? (c == ':' ? '-' : '_')
                                                                                      : static_cast<char>(c);
    }
    return out;
}

std::string PercentEncoded(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += Format("%%%02X", c);
        }
    }
    return out;
}

struct TClipRow {
    std::string Filename;
    TLocalSeconds Start = 0;
    double Length = 0;
};

} // namespace

void TWebRouter::SendClip(int index, const THttpRequest& request, THttpResponse& response) {
    const auto from = ParseLocalTime(request.Param("start"));
    const auto to = ParseLocalTime(request.Param("end"));
    auto refuse = [&](int status, const std::string& text) {
        response.Status = status;
        SendText(response, text);
    };
    if (!from || !to) {
        refuse(400, "Give start and end as local times, for example start=2011-03-07T10:58:00&end=2011-03-07T11:02:00");
        return;
    }
    if (*to <= *from) {
        refuse(400, "The end of a clip must come after its start");
        return;
    }
    if (*to - *from > MaxClipSeconds) {
        refuse(400, "A clip can be at most 6 hours long");
        return;
    }

    const TWebSlotState state = FSlots.State(index);
    std::vector<TClipRow> rows;
    {
        // Rows that reach into the span; without hourly files (NoAutoRotate) one
        // may have begun days before it.
        auto db = FSlots.OpenCatalogue(index, state.Folder);
        auto query = db->Prepare(
            "SELECT id, starttime, duration, filename FROM recordings WHERE starttime < ?2 AND "
            "(duration IS NULL OR julianday(starttime) + duration / 86400.0 > julianday(?1)) ORDER BY starttime, id");
        query.Bind(1, IsoText(*from).replace(10, 1, " ")).Bind(2, IsoText(*to).replace(10, 1, " "));
        while (query.Step()) {
            const int id = static_cast<int>(query.ColumnInt64(0));
            const auto start = StartOf(index, id, query.ColumnText(1));
            const bool open = state.Recording && id == state.CurrentRecordingID;
            if (!start || (query.ColumnIsNull(2) && !open)) {
                continue;
            }
            std::string filename = query.ColumnText(3);
            std::replace(filename.begin(), filename.end(), '\\', '/');
            if (!IsInsideFolder(filename)) {
                continue;
            }
            const double length = open ? state.CurrentDuration : query.ColumnDouble(2);
            rows.push_back({std::move(filename), start->first * 86400 + start->second, length});
        }
    }

    // Each moment once, from the file that began first. A file that follows
    // another within JoinSeconds continues it from its first sample. What no
    // file holds is reported.
    std::vector<TClipPiece> pieces;
    std::vector<std::string> gaps;
    std::string extension;
    const double last = static_cast<double>(*to);
    double cursor = static_cast<double>(*from);
    auto gapUntil = [&](double until) {
        if (until > cursor + JoinSeconds) {
            gaps.push_back(IsoText(static_cast<TLocalSeconds>(std::floor(cursor))) + "/" +
                           IsoText(static_cast<TLocalSeconds>(std::ceil(until))));
        }
    };
    for (const TClipRow& row : rows) {
        const double start = static_cast<double>(row.Start);
        const double end = start + row.Length;
        if (end <= cursor || start >= last) {
            continue;
        }
        const bool continues = !pieces.empty() && std::abs(start - cursor) <= JoinSeconds;
        const double begin = continues ? start : std::max(cursor, start);
        gapUntil(begin);
        TClipPiece piece{RecordingPath(state.Folder, row.Filename), continues ? 0.0 : begin - start, std::nullopt};
        if (end > last) {
            piece.To = last - start; // else the file to its end
        }
        if (pieces.empty()) {
            const auto dot = row.Filename.rfind('.');
            extension = dot == std::string::npos ? "" : LowerAscii(row.Filename.substr(dot));
        }
        pieces.push_back(std::move(piece));
        cursor = std::min(end, last);
    }
    if (pieces.empty()) {
        refuse(404, "No recording of " + state.Name + " between " + IsoText(*from) + " and " + IsoText(*to));
        return;
    }
    gapUntil(last);
    if (extension != ".mp3" && extension != ".ogg" && extension != ".wma") {
        throw std::runtime_error("Recordings in " + extension + " files cannot be cut");
    }

    if (FClips.fetch_add(1) >= MaxClips) {
        --FClips;
        refuse(503, "Too many clips are being made: try again later.");
        return;
    }
    std::shared_ptr<std::atomic<int>> token(&FClips, [](std::atomic<int>* clips) { --*clips; });
    // FFmpeg's errors with these files go to the slot's log; its warnings
    // (an open file's length guessed from its bit rate) would only be noise there.
    TWebSlots& slots = FSlots;
    auto ffmpegLog = std::make_shared<TFFmpegLog>(
        [&slots, index](const std::string& line) { slots.PostLog(index, "FFmpeg: " + line); }, true);
    const TFFmpegLog::TScope logScope(ffmpegLog);
    auto cutter = std::make_shared<TClipCutter>(std::move(pieces), extension);
    const std::string name =
        FileNamePart(state.Name + "_" + IsoText(*from) + "_" + IsoText(*to)) + extension;
    std::string ascii;
    for (unsigned char c : name) {
        ascii += c < 0x80 ? static_cast<char>(c) : '_';
    }
    response.ContentType = AudioContentType(extension, name);
    response.Headers.emplace_back(
        "Content-Disposition",
        Format("%s; filename=\"%s\"; filename*=UTF-8''%s", request.Param("inline") == "1" ? "inline" : "attachment",
               ascii.c_str(), PercentEncoded(name).c_str()));
    if (!gaps.empty()) {
        std::string text;
        for (const auto& gap : gaps) {
            text += (text.empty() ? "" : ", ") + gap;
        }
        response.Headers.emplace_back("X-Clip-Gaps", text);
    }
    const std::string what = name;
    response.Producer = [token, cutter, ffmpegLog, &slots, index, what](char* buffer,
                                                                       std::size_t size) -> std::ptrdiff_t {
        const TFFmpegLog::TScope logScope(ffmpegLog);
        try {
            return static_cast<std::ptrdiff_t>(cutter->Read(buffer, size));
        } catch (const std::exception& e) {
            slots.PostLog(index, "The clip " + what + " broke off: " + e.what());
            return -1;
        }
    };
}
