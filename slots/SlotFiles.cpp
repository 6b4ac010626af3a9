#include "SlotInfo.h"

#include "ExternalEncoder.h"
#include "MediaProbe.h"
#include "TextTools.h"
#include "WmaEncoder.h"
#include "basserrors.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <future>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// How often rows the catalogue refused are offered again.
constexpr std::uint64_t PendingRetryMs = 5000;

// How long a closing file's encoder may take before its row is left for later:
// long enough for an encoder that works, short next to one that stalls.
constexpr auto CloseGrace = std::chrono::seconds(1);

const char* Extension(TSlotFormat format) {
    switch (format) {
    case TSlotFormat::ogg:
        return ".ogg";
    case TSlotFormat::wma:
    case TSlotFormat::wmapro:
        return ".wma";
    default:
        return ".mp3";
    }
}

} // namespace

bool TSlotInfo::ShouldRecord() const {
    return FMixer && Enabled && Source != TSlotSource::None &&
           !(Source == TSlotSource::Soundcard && AttachedDevice == nullptr);
}

std::string TSlotInfo::EncoderCommandLine(TSlotFormat format, const std::string& path) const {
    if (format == TSlotFormat::ogg) {
        return ::Format("oggenc -r -R %d -b %d -m %d %s %s -o \"%s\" -", ActiveSamplerate, Bitrate, 16,
                      Mode == TSlotMode::mono ? "--downmix" : "", EncoderOptions.c_str(), path.c_str());
    }
    const char* mode = Mode == TSlotMode::mono ? "m" : Mode == TSlotMode::jointstereo ? "j" : "s";
    return ::Format("lame --flush -m %s -r -s %d -b %d %s - \"%s\"", mode, ActiveSamplerate, Bitrate,
                  EncoderOptions.c_str(), path.c_str());
}

std::shared_ptr<TFileEncoder> TSlotInfo::CreateEncoder(TSlotFormat format, const std::string& path) const {
    if (format == TSlotFormat::wma || format == TSlotFormat::wmapro) {
        return std::make_shared<TWmaEncoder>(ActiveSamplerate, Mode == TSlotMode::mono ? 1 : 2, Bitrate, path,
                                             format == TSlotFormat::wmapro ? TWmaEncoder::TKind::Pro
                                                                           : TWmaEncoder::TKind::Standard);
    }
    // lame reads one channel of raw input in mono mode, so it gets a downmix;
    // oggenc downmixes itself.
    const auto channels = format == TSlotFormat::mp3 && Mode == TSlotMode::mono
                              ? TExternalEncoder::TChannels::MonoDownmix
                              : TExternalEncoder::TChannels::Stereo;
    return std::make_shared<TExternalEncoder>(EncoderCommandLine(format, path), channels);
}

std::string TSlotInfo::ReserveRelativeName(const std::string& folder, const std::string& relative) const {
    // A name of an earlier file (two starts in one second, a clock set back, the
    // repeated hour in autumn) gets a number rather than overwriting it. The
    // name is taken in the open files at once: another slot recording into the
    // same folder, on another thread, may not have created its file yet.
    const std::string stem = relative.substr(0, relative.rfind('.'));
    const std::string ext = relative.substr(stem.size());
    std::string candidate = relative;
    for (int n = 2;; ++n) {
        const std::string full = RecordingPath(folder, candidate);
        std::error_code ec;
        if (!fs::exists(fs::symlink_status(full, ec)) && FServices.OpenFiles->Reserve(full)) {
            return candidate;
        }
        candidate = stem + "-" + std::to_string(n) + ext;
    }
}

void TSlotInfo::CreateRecordingFile(const std::string& path) {
    // The folders and the (empty) file in one step: a day folder that another
    // file's removal empties must not vanish between its creation and the
    // encoder's opening its file there. A failure shows when the encoder
    // cannot create the file itself.
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::error_code ec;
        fs::create_directories(fs::path(path).parent_path(), ec);
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            close(fd);
            return;
        }
        if (errno != ENOENT) {
            return;
        }
    }
}

TSlotInfo::TOpenFile TSlotInfo::SwapEncoder(std::shared_ptr<TFileEncoder> next) {
    TOpenFile old{FEncoder, FileFolder, CurrentFile, CurrentRecordingID, 0, FFileInDoubt, FFileRelative, FFileStartTime};
    FFileInDoubt = false;
    FGrowthSize = UINT64_MAX;
    if (!FMixer) {
        return old;
    }
    // No pull can fall between taking out the old encoder and putting in the
    // new one, so every block goes to one file or the other.
    auto mixerLock = FMixer->Lock();
    if (FEncoder) {
        FMixer->Remove(FEncoderHandle);
        if (next) {
            next->ContinueFrom(*FEncoder);
        }
    }
    const std::uint64_t now = FCounter->Bytes();
    old.Bytes = now - FileStartBytes;
    FEncoder = std::move(next);
    FEncoderHandle = FEncoder ? FMixer->AddEncoder(FEncoder) : 0;
    FileStartBytes = now;
    return old;
}

void TSlotInfo::CloseFile(TOpenFile& file) {
    if (!file.Encoder) {
        return;
    }
    // An encoder program that stalls may take seconds to end: it finishes on
    // the closing thread, so that this slot's other work goes on meanwhile.
    auto done = std::make_shared<std::promise<void>>();
    std::shared_future<void> finished = done->get_future().share();
    FCloser.Post([encoder = file.Encoder, done] {
        try {
            encoder->Finish();
            done->set_value();
        } catch (...) {
            done->set_exception(std::current_exception());
        }
    });
    if (finished.wait_for(CloseGrace) == std::future_status::ready) {
        CompleteClose(file, finished);
    } else {
        FClosing.push_back({std::move(file), std::move(finished)});
        file = TOpenFile{};
    }
}

void TSlotInfo::SettleClosing(bool wait, std::chrono::steady_clock::time_point deadline) {
    using std::chrono::steady_clock;
    for (std::size_t i = 0; i < FClosing.size();) {
        const auto until = wait ? deadline : steady_clock::time_point{};
        if (wait && deadline == steady_clock::time_point{}) {
            FClosing[i].Finished.wait(); // bounded by the encoder's own finishing limit
        }
        if (FClosing[i].Finished.wait_until(until) != std::future_status::ready) {
            ++i;
            continue;
        }
        TClosing closing = std::move(FClosing[i]);
        FClosing.erase(FClosing.begin() + static_cast<std::ptrdiff_t>(i));
        CompleteClose(closing.File, closing.Finished);
    }
}

void TSlotInfo::CompleteClose(TOpenFile& file, std::shared_future<void> finished) {
    finished.get(); // what finishing failed with
    const bool died = file.Encoder->Died();
    const bool killed = file.Encoder->Killed();
    const std::uint64_t dropped = std::min(file.Encoder->DroppedBytes(), file.Bytes);
    file.Encoder.reset();
    FServices.OpenFiles->Remove(file.Path);
    double seconds = static_cast<float>(FMixer->Bytes2Seconds(file.Bytes - dropped));
    std::error_code ec;
    const auto size = fs::file_size(file.Path, ec);
    if (ec == std::errc::no_such_file_or_directory || (!ec && size == 0)) {
        seconds = 0; // never created, or nothing reached it
    } else if (ec) {
        // A file that cannot be looked at now (a network share away, a
        // permission) keeps its row with what was counted, and is never deleted.
    } else if (died || file.InDoubt || killed) {
        // Audio handed to an encoder that then died, or that wrote nothing for
        // a while, may never have reached the file: the file itself tells what
        // it holds. One with content that cannot be read keeps what was
        // counted; it is never deleted on a guess.
        if (const auto measured = MeasureDuration(file.Path)) {
            seconds = *measured;
        }
    }
    if (killed) {
        Log("The encoder of " + file.Path + " did not finish in time and was killed");
    }
    // A file without audio (an encoder that failed at once, an input that
    // delivered nothing) would only be a row that leads nowhere.
    std::optional<double> duration;
    if (seconds > 0 || (ec && ec != std::errc::no_such_file_or_directory)) {
        duration = seconds;
    } else {
        RemoveFile(file.Folder, file.Path);
    }
    if (file.RecordingID != 0 || duration) {
        TPendingRow row;
        row.Folder = file.Folder;
        row.Id = file.RecordingID;
        row.Duration = duration;
        row.Relative = file.Relative;
        row.StartTime = file.StartTime;
        FinishRow(row);
    }
}

void TSlotInfo::ReportCatalogueError(const std::string& message) {
    Report(FCatalogueFault, message, GetMilliseconds(), "Error updating database: ", "Error updating database: ");
}

void TSlotInfo::StopEncoder() {
    std::lock_guard guard(Lock);
    PlayOutStreamTail();
    TOpenFile old = SwapEncoder(nullptr);
    CurrentRecordingID = 0;
    CloseFile(old);
}

void TSlotInfo::AddRow() {
    try {
        auto db = OpenCatalogue(FileFolder);
        db->Prepare("INSERT INTO recordings (starttime, filename) VALUES (?,?)")
            .Bind(1, FFileStartTime)
            .Bind(2, FFileRelative)
            .Run();
        auto id = db->Prepare("SELECT last_insert_rowid()");
        if (id.Step()) {
            CurrentRecordingID = static_cast<int>(id.ColumnInt64(0));
        }
        if (FPendingRows.empty()) {
            FCatalogueFault.End();
        }
    } catch (const TCatalogueError& e) {
        ReportCatalogueError(e.what());
    }
}

void TSlotInfo::RestartEncoder() {
    std::lock_guard guard(Lock);
    if (!ShouldRecord()) {
        StopEncoder();
        FEncoderFault.End(); // a slot that does not record is not failing
        return;
    }
    if (!SettingsFault.empty()) {
        // Told once at start-up; no encoder starts on a setting that makes a wrong recording.
        StopEncoder();
        LastError = SettingsFault;
        CurrentFile.clear();
        return;
    }
    const TSlotFormat format = Format;
    const std::string folder = Folder;
    const std::tm local = ToLocalTime(FServices.Now());
    const std::string pattern = FlatFilenames ? "%Y-%m-%d-%H-%M-%S" : "%Y/%m/%d/%Y-%m-%d-%H-%M-%S";
    const std::string relative = ReserveRelativeName(folder, FormatTime(local, pattern.c_str()) + Extension(format));
    const std::string path = RecordingPath(folder, relative);
    CreateRecordingFile(path);

    // The new encoder starts before the old one stops, so the two files meet without a gap.
    std::shared_ptr<TFileEncoder> next;
    try {
        next = CreateEncoder(format, path);
    } catch (const TAudioError& e) {
        FServices.OpenFiles->Remove(path);
        RemoveFile(folder, path); // only what CreateRecordingFile made: the encoder never opened it
        StopEncoder();
        LastError = e.what();
        CurrentFile.clear();
        const std::uint64_t now = GetMilliseconds();
        ReportEncoderFailure(LastError, now);
        FEncoderRetryAt = now + RetryTimes.EncoderRetryMs; // the retries go on
        return;
    }
    TOpenFile old = SwapEncoder(next);
    EncoderFormat = format;
    FileFolder = folder;
    FileStartTicks = GetMilliseconds();
    CurrentRecordingID = 0;
    std::exception_ptr closeFailure;
    try {
        CloseFile(old);
    } catch (...) {
        closeFailure = std::current_exception(); // reported after the new file has its row
    }
    // While the encoder keeps failing, only its first new file is told of;
    // CheckEncoder tells of the file that finally works.
    FFileLogged = !FEncoderFault.Active() || FEncoderRetries++ == 0;
    if (FFileLogged) {
        Log("Encoding to file " + path);
    }
    if (!FEncoderFault.Active()) {
        LastError.clear(); // a retry keeps the error until it has proved to work
    }
    CurrentFile = path;
    ++FilesStarted;
    FFileRelative = relative;
    FFileStartTime = FormatTime(local, "%Y-%m-%d %H:%M:%S");
    AddRow();
    if (closeFailure) {
        std::rethrow_exception(closeFailure);
    }
}

void TSlotInfo::SetRecording(bool on) {
    std::lock_guard guard(Lock);
    if (on != Enabled) {
        Enabled = on;
        FEncoderRetryAt = 0;
        RestartEncoder();
    }
}

void TSlotInfo::ReportEncoderFailure(const std::string& reason, std::uint64_t now) {
    if (Report(FEncoderFault, reason, now, "Encoder error: ", "Encoder still failing: ") ==
        TRepeatedFault::TTell::First) {
        FEncoderRetries = 0;
    }
}

void TSlotInfo::EncoderFailed(const std::string& reason, std::uint64_t now) {
    ReportEncoderFailure(reason, now);
    LastError = reason; // a retry that cannot even start puts its own reason here
    if (now >= FEncoderRetryAt) {
        FEncoderRetryAt = now + RetryTimes.EncoderRetryMs;
        ++EncoderRestarts;
        RestartEncoder();
    } else {
        StopEncoder();
    }
}

bool TSlotInfo::FileStalled(std::uint64_t now) {
    const auto interval = static_cast<std::uint64_t>(RetryTimes.StalledFileSeconds * 1000 / 4);
    if (now < FGrowthCheckAt) {
        return false;
    }
    FGrowthCheckAt = now + interval;
    std::error_code ec;
    const std::uint64_t size = fs::file_size(CurrentFile, ec);
    const std::uint64_t bytes = FCounter->Bytes();
    if (ec ? FGrowthSize == UINT64_MAX : size != FGrowthSize) {
        FGrowthSize = ec ? 0 : size;
        FGrowthBytes = bytes;
        return false;
    }
    const double unwritten = FMixer->Bytes2Seconds(bytes - FGrowthBytes);
    if (unwritten >= RetryTimes.StalledFileSeconds / 4) {
        FFileInDoubt = true;
    }
    return unwritten >= RetryTimes.StalledFileSeconds;
}

void TSlotInfo::CheckEncoder() {
    std::lock_guard guard(Lock);
    SettleClosing(false);
    const std::uint64_t now = GetMilliseconds();
    if (now >= FPendingRetryAt && (!FPendingRows.empty() || (FEncoder && CurrentRecordingID == 0))) {
        FPendingRetryAt = now + PendingRetryMs;
        RetryPendingRows();
        if (FEncoder && CurrentRecordingID == 0 && FPendingRows.empty()) {
            AddRow(); // refused when the file began
        }
    }
    if (FEncoder && !FEncoder->Died() && FEncoderFault.Active() &&
        now - FileStartTicks >= RetryTimes.EncoderRetryMs) {
        // A whole retry period without dying: it works again, and the next
        // failure is retried at once.
        if (LastError == FEncoderFault.Text()) {
            LastError.clear();
        }
        FEncoderFault.End();
        FEncoderRetryAt = 0;
        if (!FFileLogged) {
            FFileLogged = true;
            Log("Encoding to file " + CurrentFile);
        }
    }
    if (FEncoder && FEncoder->Died()) {
        EncoderFailed(FEncoder->DeathReason(), now);
    } else if (FEncoder && (EncoderFormat == TSlotFormat::mp3 || EncoderFormat == TSlotFormat::ogg) &&
               FileStalled(now)) {
        // lame carries on when its writes fail (a full disk); either program
        // may hang and stop reading. The WMA writer is ours: it notices its
        // own failures, and writes in steps too large for this check.
        EncoderFailed("the file stopped growing (is the disk full?)", now);
    } else if (!FEncoder && FEncoderRetryAt != 0 && now >= FEncoderRetryAt) {
        if (ShouldRecord()) {
            FEncoderRetryAt = now + RetryTimes.EncoderRetryMs;
            ++EncoderRestarts;
            RestartEncoder();
        } else {
            FEncoderRetryAt = 0;
        }
    }
}

float TSlotInfo::CurrentDuration() const {
    if (!FMixer) {
        return 0;
    }
    return static_cast<float>(FMixer->Bytes2Seconds(FCounter->Bytes() - FileStartBytes));
}

std::uint64_t TSlotInfo::DroppedBytes() const {
    std::lock_guard guard(Lock);
    return FEncoder ? FEncoder->DroppedBytes() : 0;
}

std::uint64_t TSlotInfo::InputDroppedBytes() const {
    std::lock_guard guard(Lock);
    return FInputStream ? FInputStream->DroppedBytes() : 0;
}
