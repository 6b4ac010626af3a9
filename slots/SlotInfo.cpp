#include "SlotInfo.h"

#include "AudioFormat.h"
#include "ExternalEncoder.h"
#include "MediaProbe.h"
#include "WmaEncoder.h"
#include "basserrors.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <pthread.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t EncoderRetryMs = 60000;
constexpr std::uint64_t InputRetryMs = 3000;

// Lets one slot at a time create its URL stream, process-wide.
std::timed_mutex StreamCreateLock;

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

std::string Printf(const char* format, auto... args) {
    const int n = std::snprintf(nullptr, 0, format, args...);
    std::string s(static_cast<std::size_t>(std::max(n, 0)), '\0');
    std::snprintf(s.data(), s.size() + 1, format, args...);
    return s;
}

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

TSlotInfo::TSlotInfo(TSettingsFile& settings, int index, TDeviceCatalogue& devices, TSlotServices services)
    : Index(index),
      ActiveSamplerate([&] {
          Read(settings, index, services.MusicFolder);
          return Samplerate;
      }()),
      FSettings(settings), FDevices(devices), FServices(std::move(services)) {
    try {
        FMixer = std::make_unique<TMixer>(ActiveSamplerate);
    } catch (const TAudioError& e) {
        LastError = e.what();
        return;
    }
    if (RecordDelay > 0) {
        FMixer->AddProcessor(std::make_shared<TDelayEffect>(ActiveSamplerate, RecordDelay), 100);
    }
    FMixer->AddProcessor(FMeter, 0);
    FMixer->AddProcessor(FCounter, 0);
    FPullThread = std::make_unique<TSimpleThread>(true, [this](TSimpleThread& t) { RunPull(t); });
    FPullThread->Resume();
}

TSlotInfo::~TSlotInfo() {
    if (AttachedDevice != nullptr) {
        AttachedDevice->RemoveClient(FInputStream.get());
        // What the device delivered before it let go still belongs in the file.
        if (FMixer) {
            std::vector<float> rest(static_cast<std::size_t>(FMixer->Seconds2Bytes(1.0) / sizeof(float)));
            while (FMixer->GetData(rest.data(), rest.size() * sizeof(float)) > 0) {
            }
        }
    }
    try {
        StopEncoder();
    } catch (const std::exception& e) {
        Log(std::string("Error updating database: ") + e.what());
    }
    StopInput();
    FPullThread.reset();
    Write(FSettings, Index);
}

// ---- input ----

void TSlotInfo::StartInput() {
    std::lock_guard guard(Lock);
    if (Source == TSlotSource::None) {
        StopInput();
        return;
    }
    if (Source == TSlotSource::Stream) {
        StopInput();
        StreamTitle.clear();
        ActiveStreamURL = StreamURL;
        if (FMixer) {
            FStreamThread = std::make_unique<TSimpleThread>(true, [this](TSimpleThread& t) { RunStream(t); });
            FStreamThread->Resume();
        }
        return;
    }
    TDeviceInfoWithClients* entry = nullptr;
    try {
        if (Device.empty()) {
            throw std::runtime_error("No device selected");
        }
        if (Device == AttachedDeviceID) {
            return;
        }
        const int i = FDevices.FindDevice(Device);
        if (i < 0) {
            throw std::runtime_error("Invalid device");
        }
        entry = &FDevices.Entry(static_cast<std::size_t>(i));
        StopInput();
        if (!FMixer) {
            throw TAudioError(BassError::Freq);
        }
        FInputStream = entry->AddClient(ActiveSamplerate);
        FMixer->SetInput(FInputStream);
        StreamTitle.clear();
        AttachedDevice = entry;
        AttachedDeviceID = Device;
        LastError.clear();
        Log("Recording from " + entry->Name);
    } catch (const std::exception& e) {
        LastError = e.what();
        if (entry != nullptr) {
            Log("Error recording from \"" + entry->Name + "\": " + LastError);
        } else {
            Log("Recording error: " + LastError);
        }
    }
}

void TSlotInfo::StopInput() {
    std::lock_guard guard(Lock);
    if (AttachedDevice != nullptr) {
        AttachedDevice->RemoveClient(FInputStream.get());
        if (FMixer) {
            FMixer->RemoveInput(FInputStream.get());
        }
        FInputStream.reset();
        AttachedDeviceID.clear();
        AttachedDevice = nullptr;
    }
    if (FStreamThread) {
        {
            // A connect that hangs is aborted rather than waited out.
            std::lock_guard connecting(FConnectingLock);
            if (FConnecting) {
                FConnecting->Stop();
            }
        }
        FStreamThread.reset(); // its loop frees the stream
    }
    FInputLost = false;
    FMeter->Reset();
}

void TSlotInfo::CheckInput() {
    std::lock_guard guard(Lock);
    if (AttachedDevice == nullptr) {
        FInputLost = false;
        return;
    }
    const std::uint64_t now = GetMilliseconds();
    if (!AttachedDevice->Lost()) {
        if (FInputLost) { // another slot on the same device brought it back
            FInputLost = false;
            LastError.clear();
            Log("Recording from " + AttachedDevice->Name);
        }
        return;
    }
    if (!FInputLost) {
        FInputLost = true;
        FInputRetryAt = now + InputRetryMs;
        LastError = BassErrorText(AttachedDevice->LostCode());
        Log("Error recording from \"" + AttachedDevice->Name + "\": " + LastError);
        return;
    }
    if (now >= FInputRetryAt) {
        FInputRetryAt = now + InputRetryMs;
        if (AttachedDevice->Recover()) {
            FInputLost = false;
            LastError.clear();
            Log("Recording from " + AttachedDevice->Name);
        }
    }
}

// ---- stream input ----

std::string TSlotInfo::GetStreamStatus() const {
    std::lock_guard guard(Lock);
    return StreamStatus;
}

void TSlotInfo::SetStreamStatus(const std::string& text) {
    std::lock_guard guard(Lock);
    StreamStatus = text;
}

void TSlotInfo::UpdateStreamTitle() {
    std::lock_guard guard(Lock);
    std::shared_ptr<TUrlStream> stream;
    {
        std::lock_guard current(FUrlStreamLock);
        stream = FUrlStream;
    }
    if (!stream) {
        return;
    }
    if (const auto meta = stream->Meta()) {
        if (const auto title = StreamTitleOf(*meta)) {
            StreamTitle = *title;
        }
    }
}

std::unique_lock<std::recursive_mutex> TSlotInfo::LockForStreamThread(const TSimpleThread& thread) {
    std::unique_lock lock(Lock, std::defer_lock);
    while (!lock.try_lock()) {
        if (thread.Terminated()) {
            return lock; // not owned: the caller skips its update
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return lock;
}

std::shared_ptr<TPushStream> TSlotInfo::FreeUrlStream() {
    std::shared_ptr<TUrlStream> stream;
    {
        std::lock_guard current(FUrlStreamLock);
        stream = std::move(FUrlStream);
    }
    if (!stream) {
        return nullptr;
    }
    FStreamConnected = false;
    FMixer->RemoveInput(stream.get());
    stream->Stop();
    return stream->QueuedAudio();
}

void TSlotInfo::RunStream(TSimpleThread& thread) {
    pthread_setname_np(pthread_self(), "slot-stream");
    auto setStatus = [&](const std::string& text) {
        if (auto lock = LockForStreamThread(thread); lock.owns_lock()) {
            StreamStatus = text;
        }
    };
    setStatus("Connecting...");
    const std::string url = [&] {
        auto lock = LockForStreamThread(thread);
        return ActiveStreamURL;
    }();
    std::uint64_t lastAttempt = 0;
    // Received from an ended connection but not yet played; the next connection plays it first.
    std::shared_ptr<TPushStream> unplayed;
    while (!thread.Terminated()) {
        try {
            if (FReconnectPending.load() && FStreamConnected.load()) {
                unplayed = FreeUrlStream();
                setStatus("Reconnecting...");
            }
            if (!FStreamConnected.load()) {
                // At most one attempt a second, also when a server drops every connection at once.
                for (std::uint64_t now = GetMilliseconds(); now < lastAttempt + 1000 && !thread.Terminated();
                     now = GetMilliseconds()) {
                    thread.WaitForWake(static_cast<unsigned>(lastAttempt + 1000 - now));
                }
                if (thread.Terminated()) {
                    break;
                }
                lastAttempt = GetMilliseconds();
                FReconnectPending = false;
                FMetaPending = false;
                TUrlStream::TCallbacks callbacks{[this, &thread] {
                                                     FReconnectPending = true;
                                                     thread.Wake();
                                                 },
                                                 [this, &thread] {
                                                     FMetaPending = true;
                                                     thread.Wake();
                                                 }};
                auto stream = std::make_shared<TUrlStream>(std::move(callbacks), StreamTimeouts);
                {
                    std::lock_guard connecting(FConnectingLock);
                    FConnecting = stream;
                }
                try {
                    std::unique_lock create(StreamCreateLock, std::defer_lock);
                    while (!create.try_lock_for(std::chrono::milliseconds(100))) {
                        if (thread.Terminated()) {
                            throw TAudioError(BassError::Ended);
                        }
                    }
                    stream->Open(url, std::move(unplayed));
                } catch (...) {
                    std::lock_guard connecting(FConnectingLock);
                    FConnecting.reset();
                    throw;
                }
                {
                    std::lock_guard connecting(FConnectingLock);
                    FConnecting.reset();
                }
                {
                    std::lock_guard current(FUrlStreamLock);
                    FUrlStream = stream;
                }
                FMixer->SetInput(stream);
                FStreamConnected = true;
                FMetaPending = true;
            }
            if (FMetaPending.exchange(false)) {
                if (auto lock = LockForStreamThread(thread); lock.owns_lock()) {
                    UpdateStreamTitle();
                }
            }
        } catch (const TAudioError& e) {
            if (!thread.Terminated()) {
                setStatus(BassErrorText(e.Code())); // the status shows the bare error text
            }
        } catch (...) {
            // Swallowed: the next pass tries again.
        }
        thread.WaitForWake(1000); // a stream's end or new title wakes it early
    }
    FreeUrlStream();
}

void TSlotInfo::RunPull(TSimpleThread& thread) {
    pthread_setname_np(pthread_self(), "slot-pull");
    const std::size_t bytes = static_cast<std::size_t>(FMixer->Seconds2Bytes(2.0));
    // Not value-initialised: an idle slot never touches (and so never keeps) these pages.
    std::unique_ptr<float[]> buffer(new float[bytes / sizeof(float)]);
    while (!thread.Terminated()) {
        FMixer->GetData(buffer.get(), bytes);
        // A wakeable wait, so that a slot being destroyed does not wait out the period.
        thread.WaitForWake(100);
    }
}

// ---- files ----

bool TSlotInfo::ShouldRecord() const {
    return FMixer && Enabled && Source != TSlotSource::None &&
           !(Source == TSlotSource::Soundcard && AttachedDevice == nullptr);
}

std::string TSlotInfo::EncoderCommandLine(TSlotFormat format, const std::string& path) const {
    if (format == TSlotFormat::ogg) {
        return Printf("oggenc -r -R %d -b %d -m %d %s %s -o \"%s\" -", ActiveSamplerate, Bitrate, 16,
                      Mode == TSlotMode::mono ? "--downmix" : "", EncoderOptions.c_str(), path.c_str());
    }
    const char* mode = Mode == TSlotMode::mono ? "m" : Mode == TSlotMode::jointstereo ? "j" : "s";
    return Printf("lame --flush -m %s -r -s %d -b %d %s - \"%s\"", mode, ActiveSamplerate, Bitrate,
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

// ---- catalogue ----

std::unique_ptr<TCatalogue> TSlotInfo::OpenCatalogue(const std::string& folder) {
    std::unique_lock guard(Lock);
    fs::create_directories(folder);
    auto db = std::make_unique<TCatalogue>(WithSlash(folder) + TCatalogue::FileName);
    return db;
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
        if (HasEncoder() && path == CurrentFile) {
            continue;
        }
        if (const auto seconds = ProbeDuration(path)) {
            db->Prepare("UPDATE recordings SET duration=? WHERE id=?").Bind(1, *seconds).Bind(2, id).Run();
        }
    }
}

// ---- cleanup ----

bool TSlotInfo::DeleteRecording(TCatalogue& db, std::int64_t id, const std::string& path) {
    // unlink would succeed on the file being written and silently destroy it.
    if (HasEncoder() && path == CurrentFile) {
        Log(Printf("Error deleting %s: Error code %d", path.c_str(), EBUSY));
        return false;
    }
    if (unlink(path.c_str()) == 0) {
        Log("Deleted " + path);
        const fs::path root = fs::path(WithSlash(Folder)).lexically_normal().parent_path();
        fs::path dir = fs::path(path).lexically_normal().parent_path();
        // Up through the emptied day, month and year folders, never the slot's folder.
        while (dir != root && dir.string().starts_with(root.string() + "/") && rmdir(dir.c_str()) == 0) {
            dir = dir.parent_path();
        }
    } else if (errno == ENOENT) {
        Log("Warning: File was missing, deleted from database: " + path);
    } else {
        Log(Printf("Error deleting %s: Error code %d", path.c_str(), errno));
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

void TSlotInfo::Log(const std::string& message) {
    if (OnLog) {
        OnLog(*this, Name + ": " + message);
    }
}
