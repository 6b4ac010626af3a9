#include "SlotInfo.h"

#include "basserrors.h"

#include <algorithm>
#include <pthread.h>
#include <utility>
#include <vector>

namespace {

// Lets one slot at a time create its URL stream, process-wide.
std::timed_mutex StreamCreateLock;

} // namespace

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

std::unique_lock<std::recursive_timed_mutex> TSlotInfo::LockForStreamThread(const TSimpleThread& thread) {
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

void TSlotInfo::PlayOutQueued(const std::shared_ptr<TPushStream>& queued, const std::shared_ptr<TAudioSource>& live) {
    if (!queued || !FMixer || !FEncoder) {
        return;
    }
    const std::size_t frames = queued->QueuedFrames();
    if (frames == 0 || queued->Rate() <= 0) {
        return;
    }
    // At once rather than at real time, and only what is queued now, not
    // what a live stream keeps adding meanwhile. No pull falls in between.
    auto mixerLock = FMixer->Lock();
    try {
        FMixer->SetInput(queued);
        std::uint64_t left = FMixer->Seconds2Bytes(static_cast<double>(frames) / queued->Rate());
        std::vector<float> block(static_cast<std::size_t>(FMixer->Seconds2Bytes(1.0) / sizeof(float)));
        while (left > 0) {
            const std::size_t got =
                FMixer->GetData(block.data(), static_cast<std::size_t>(std::min<std::uint64_t>(left, block.size() * sizeof(float))));
            if (got == 0) {
                break;
            }
            left -= std::min<std::uint64_t>(got, left);
        }
    } catch (const std::exception& e) {
        Log(std::string("Recording error: ") + e.what());
    }
    if (live) {
        FMixer->SetInput(live);
    } else {
        FMixer->RemoveInput(queued.get());
    }
}

void TSlotInfo::PlayOutStreamTail() {
    std::lock_guard guard(Lock);
    if (Source != TSlotSource::Stream && !FStreamTail) {
        return;
    }
    if (FStreamTail) {
        PlayOutQueued(std::exchange(FStreamTail, nullptr), nullptr); // a stream that has ended
        return;
    }
    std::shared_ptr<TUrlStream> stream;
    {
        std::lock_guard current(FUrlStreamLock);
        stream = FUrlStream;
    }
    if (stream) {
        PlayOutQueued(stream->QueuedAudio(), stream);
    }
}

void TSlotInfo::RunStream(TSimpleThread& thread) {
    pthread_setname_np(pthread_self(), "slot-stream");
    // FFmpeg's complaints of this connection, opened here and decoded on the
    // stream's own thread, go to the slot's log.
    auto ffmpegLog = MakeFFmpegLog();
    const TFFmpegLog::TScope logScope(ffmpegLog);
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
                ++FStreamReconnections;
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
                                                 },
                                                 ffmpegLog};
                auto stream = std::make_shared<TUrlStream>(std::move(callbacks), StreamTimeouts);
                {
                    // StopInput terminates before it looks here, so a stop is
                    // either seen now or aborts this very connect.
                    std::lock_guard connecting(FConnectingLock);
                    if (thread.Terminated()) {
                        break;
                    }
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
        } catch (const std::exception& e) {
            // A refused scheme, or not the stream's fault (no memory, no thread): shown
            // all the same; the next pass tries again.
            if (!thread.Terminated()) {
                setStatus(e.what());
            }
        } catch (...) {
            if (!thread.Terminated()) {
                setStatus("unknown error");
            }
        }
        thread.WaitForWake(1000); // a stream's end or new title wakes it early
    }
    // Played into the open file by StopInput once this thread has ended.
    FStreamTail = FreeUrlStream();
    if (!FStreamTail) {
        FStreamTail = std::move(unplayed);
    }
}
