#include "SlotInfo.h"

#include "ExternalEncoder.h"
#include "TextTools.h"
#include "WmaEncoder.h"
#include "basserrors.h"

#include <filesystem>

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t EncoderRetryMs = 60000;

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

std::string TSlotInfo::FreeRelativeName(const std::string& folder, const std::string& relative) const {
    // A name of an earlier file (two starts in one second, a clock set back, the
    // repeated hour in autumn) gets a number rather than overwriting it.
    const std::string stem = relative.substr(0, relative.rfind('.'));
    const std::string ext = relative.substr(stem.size());
    std::string candidate = relative;
    for (int n = 2;; ++n) {
        const std::string full = RecordingPath(folder, candidate);
        std::error_code ec;
        if (!fs::exists(fs::symlink_status(full, ec)) && full != CurrentFile) {
            return candidate;
        }
        candidate = stem + "-" + std::to_string(n) + ext;
    }
}

TSlotInfo::TOpenFile TSlotInfo::SwapEncoder(std::shared_ptr<TFileEncoder> next) {
    TOpenFile old{FEncoder, FileFolder, CurrentRecordingID, 0};
    if (!FMixer) {
        return old;
    }
    // No pull can fall between taking out the old encoder and putting in the
    // new one, so every block goes to one file or the other.
    auto mixerLock = FMixer->Lock();
    if (FEncoder) {
        FMixer->Remove(FEncoderHandle);
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
    file.Encoder->Finish();
    const std::uint64_t dropped = std::min(file.Encoder->DroppedBytes(), file.Bytes);
    file.Encoder.reset();
    if (file.RecordingID == 0) {
        return;
    }
    auto db = OpenCatalogue(file.Folder);
    try {
        db->Prepare("UPDATE recordings SET duration=? WHERE id=?")
            .Bind(1, static_cast<double>(static_cast<float>(FMixer->Bytes2Seconds(file.Bytes - dropped))))
            .Bind(2, file.RecordingID)
            .Run();
    } catch (const TCatalogueError& e) {
        Log(std::string("Error updating database: ") + e.what());
    }
}

void TSlotInfo::StopEncoder() {
    std::lock_guard guard(Lock);
    TOpenFile old = SwapEncoder(nullptr);
    CurrentRecordingID = 0;
    CloseFile(old);
}

void TSlotInfo::AddRow(const std::string& relative) {
    auto db = OpenCatalogue(Folder);
    try {
        db->Prepare("INSERT INTO recordings (starttime, filename) VALUES (?,?)")
            .Bind(1, FormatTime(ToLocalTime(FServices.Now()), "%Y-%m-%d %H:%M:%S"))
            .Bind(2, relative)
            .Run();
        auto id = db->Prepare("SELECT last_insert_rowid()");
        if (id.Step()) {
            CurrentRecordingID = static_cast<int>(id.ColumnInt64(0));
        }
    } catch (const TCatalogueError& e) {
        Log(std::string("Error updating database: ") + e.what());
    }
}

void TSlotInfo::RestartEncoder() {
    std::lock_guard guard(Lock);
    if (!ShouldRecord()) {
        StopEncoder();
        return;
    }
    const TSlotFormat format = Format;
    const std::string folder = Folder;
    const std::tm local = ToLocalTime(FServices.Now());
    const std::string pattern = FlatFilenames ? "%Y-%m-%d-%H-%M-%S" : "%Y/%m/%d/%Y-%m-%d-%H-%M-%S";
    const std::string relative = FreeRelativeName(folder, FormatTime(local, pattern.c_str()) + Extension(format));
    const std::string path = RecordingPath(folder, relative);
    std::error_code ec;
    fs::create_directories(fs::path(path).parent_path(), ec); // a failure shows when the encoder cannot create its file

    // The new encoder starts before the old one stops, so the two files meet without a gap.
    std::shared_ptr<TFileEncoder> next;
    try {
        next = CreateEncoder(format, path);
    } catch (const TAudioError& e) {
        StopEncoder();
        LastError = e.what();
        CurrentFile.clear();
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
    Log("Encoding to file " + path);
    LastError.clear();
    CurrentFile = path;
    AddRow(relative);
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

void TSlotInfo::CheckEncoder() {
    std::lock_guard guard(Lock);
    const std::uint64_t now = GetMilliseconds();
    if (FEncoder && FEncoder->Died()) {
        const std::string reason = FEncoder->DeathReason();
        Log("Encoder error: " + reason);
        if (now >= FEncoderRetryAt) {
            FEncoderRetryAt = now + EncoderRetryMs;
            RestartEncoder();
        } else {
            StopEncoder();
        }
        if (!FEncoder) {
            LastError = reason;
        }
    } else if (!FEncoder && FEncoderRetryAt != 0 && now >= FEncoderRetryAt) {
        if (ShouldRecord()) {
            FEncoderRetryAt = now + EncoderRetryMs;
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
