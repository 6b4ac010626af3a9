#include "PulseDevices.h"

#include "basserrors.h"

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/rtclock.h>
#include <pulse/stream.h>
#include <pulse/thread-mainloop.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <new>
#include <vector>

using namespace std::chrono_literals;

namespace {

const char* const Step = "WASAPI_Init";
// A server that does not answer in this time counts as none; the listing at
// start-up as a whole waits no longer than this either.
constexpr auto ConnectTimeout = 2000ms;
constexpr auto MinimumListTimeout = 500ms;
constexpr auto StreamTimeout = 3000ms;
// The slots pull every 100 ms, so smaller fragments would only wake the
// mainloop more often; this still keeps the loss on a failure short.
constexpr pa_usec_t FragmentUsec = 100000;

struct TMainloopDeleter {
    void operator()(pa_threaded_mainloop* loop) const { pa_threaded_mainloop_free(loop); }
};
struct TContextDeleter {
    void operator()(pa_context* context) const { pa_context_unref(context); }
};
struct TStreamDeleter {
    void operator()(pa_stream* stream) const { pa_stream_unref(stream); }
};
struct TOperationDeleter {
    void operator()(pa_operation* operation) const { pa_operation_unref(operation); }
};
using TMainloopPtr = std::unique_ptr<pa_threaded_mainloop, TMainloopDeleter>;
using TContextPtr = std::unique_ptr<pa_context, TContextDeleter>;
using TStreamPtr = std::unique_ptr<pa_stream, TStreamDeleter>;
using TOperationPtr = std::unique_ptr<pa_operation, TOperationDeleter>;

class TLoopLock {
public:
    explicit TLoopLock(pa_threaded_mainloop* loop) : FLoop(loop) { pa_threaded_mainloop_lock(FLoop); }
    ~TLoopLock() { pa_threaded_mainloop_unlock(FLoop); }
    TLoopLock(const TLoopLock&) = delete;
    TLoopLock& operator=(const TLoopLock&) = delete;

private:
    pa_threaded_mainloop* const FLoop;
};

// The error code that tells the user best what a server's error means.
int CodeOf(int error) {
    switch (error) {
    case PA_ERR_NOENTITY:
        return BassError::Device;
    case PA_ERR_NOTSUPPORTED:
    case PA_ERR_INVALID:
        return BassError::Freq; // a stream with a valid source name is refused for its format
    default:
        return BassError::Driver; // no server, access denied, busy, killed
    }
}

// A connection to the default server, with a mainloop thread of its own.
// Two-phase: Connect may throw, and the destructor then releases whatever was
// set up.
//
// Threads: everything but the constructor, Connect and the destructor runs
// with the loop locked (the callbacks run on the loop's thread, which holds it).
class TPulseSession {
public:
    TPulseSession() = default;
    ~TPulseSession();
    TPulseSession(const TPulseSession&) = delete;
    TPulseSession& operator=(const TPulseSession&) = delete;

    // Throws TAudioError(Step, Driver) when no server answers in time (one is
    // never started for us), Mem when libpulse runs out of memory.
    void Connect(std::chrono::milliseconds timeout);

    pa_threaded_mainloop* Loop() const { return FLoop.get(); }
    pa_context* Context() const { return FContext.get(); }
    bool Good() const { return PA_CONTEXT_IS_GOOD(pa_context_get_state(FContext.get())); }

    // Waits with the loop locked until `done` or the timeout; returns `done`.
    bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
    void Signal() { pa_threaded_mainloop_signal(FLoop.get(), 0); }

    // Called on the loop's thread when the connection breaks after it was up.
    // Set with the loop locked.
    std::function<void()> OnLost;

private:
    static void ContextState(pa_context* context, void* userdata);
    struct TWaitTimer {
        TPulseSession* Session;
        bool Fired; // guarded by the loop lock
    };
    static void TimerFired(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata);

    TMainloopPtr FLoop;
    TContextPtr FContext;
    bool FStarted = false;
    bool FWasReady = false; // guarded by the loop lock
};

TPulseSession::~TPulseSession() {
    if (!FContext) {
        return;
    }
    if (FStarted) {
        {
            TLoopLock lock(FLoop.get());
            pa_context_set_state_callback(FContext.get(), nullptr, nullptr);
            pa_context_disconnect(FContext.get());
        }
        // Never from the loop's own thread, never with the loop locked.
        pa_threaded_mainloop_stop(FLoop.get());
    } else {
        pa_context_set_state_callback(FContext.get(), nullptr, nullptr);
        pa_context_disconnect(FContext.get());
    }
    FContext.reset();
}

void TPulseSession::Connect(std::chrono::milliseconds timeout) {
    FLoop.reset(pa_threaded_mainloop_new());
    if (!FLoop) {
        throw TAudioError(Step, BassError::Mem);
    }
    FContext.reset(pa_context_new(pa_threaded_mainloop_get_api(FLoop.get()), "RudazOdudad"));
    if (!FContext) {
        throw TAudioError(Step, BassError::Mem);
    }
    pa_context_set_state_callback(FContext.get(), ContextState, this);
    // The thread does not run yet, so the loop needs no lock here.
    if (pa_context_connect(FContext.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        throw TAudioError(Step, BassError::Driver);
    }
    if (pa_threaded_mainloop_start(FLoop.get()) < 0) {
        throw TAudioError(Step, BassError::Mem);
    }
    FStarted = true;
    TLoopLock lock(FLoop.get());
    const bool settled = WaitUntil(
        [this] {
            const auto state = pa_context_get_state(FContext.get());
            return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
        },
        timeout);
    if (!settled || pa_context_get_state(FContext.get()) != PA_CONTEXT_READY) {
        throw TAudioError(Step, BassError::Driver);
    }
}

bool TPulseSession::WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    if (done()) {
        return true;
    }
    TWaitTimer timer{this, false};
    const auto usec = static_cast<pa_usec_t>(std::chrono::duration_cast<std::chrono::microseconds>(timeout).count());
    pa_time_event* event = pa_context_rttime_new(FContext.get(), pa_rtclock_now() + usec, TimerFired, &timer);
    if (event == nullptr) {
        return false;
    }
    while (!done() && !timer.Fired) {
        pa_threaded_mainloop_wait(FLoop.get());
    }
    pa_threaded_mainloop_get_api(FLoop.get())->time_free(event);
    return done();
}

void TPulseSession::TimerFired(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
    auto* timer = static_cast<TWaitTimer*>(userdata);
    timer->Fired = true;
    timer->Session->Signal();
}

void TPulseSession::ContextState(pa_context* context, void* userdata) {
    auto* self = static_cast<TPulseSession*>(userdata);
    const auto state = pa_context_get_state(context);
    if (state == PA_CONTEXT_READY) {
        self->FWasReady = true;
    } else if (!PA_CONTEXT_IS_GOOD(state) && self->FWasReady && self->OnLost) {
        self->OnLost();
    }
    self->Signal();
}

} // namespace

// One opening of a source: its connection, its record stream and the silence
// that stands in for holes in the stream.
//
// Threads: Start and the destructor run on the caller's thread (under the
// entry's open lock); the callbacks run on the session's loop thread. Running
// and the stream are guarded by the loop lock.
struct TWASAPIDeviceInfo::TCapture {
    explicit TCapture(TWASAPIDeviceInfo& owner) : Owner(owner) {}
    ~TCapture();
    TCapture(const TCapture&) = delete;
    TCapture& operator=(const TCapture&) = delete;

    // Throws TAudioError(Step, ...); the destructor releases what was set up.
    void Start(const std::string& source, int rate);

    static void StreamState(pa_stream* stream, void* userdata);
    static void StreamRead(pa_stream* stream, std::size_t bytes, void* userdata);
    void Fail();

    TWASAPIDeviceInfo& Owner;
    std::vector<float> Silence; // allocated before the stream starts: the read callback allocates nothing
    std::unique_ptr<TPulseSession> Session;
    TStreamPtr Stream;
    bool Running = false; // from here on a failure is a loss
};

TWASAPIDeviceInfo::TCapture::~TCapture() {
    if (!Session) {
        return;
    }
    if (Session->Loop() != nullptr) {
        TLoopLock lock(Session->Loop());
        Running = false;
        Session->OnLost = nullptr;
        if (Stream) {
            pa_stream_set_state_callback(Stream.get(), nullptr, nullptr);
            pa_stream_set_read_callback(Stream.get(), nullptr, nullptr);
            if (PA_STREAM_IS_GOOD(pa_stream_get_state(Stream.get()))) {
                pa_stream_disconnect(Stream.get());
            }
            Stream.reset();
        }
    }
    // Stops the loop's thread: the callbacks above are done with for good.
    Session.reset();
}

void TWASAPIDeviceInfo::TCapture::Start(const std::string& source, int rate) {
    pa_sample_spec format{PA_SAMPLE_FLOAT32LE, static_cast<std::uint32_t>(rate), 2};
    if (rate <= 0 || !pa_sample_spec_valid(&format)) {
        throw TAudioError(Step, BassError::Freq);
    }
    // A tenth of a second; longer holes take several pushes.
    Silence.assign(static_cast<std::size_t>(rate / 10 + 1) * 2, 0.0f);

    Session = std::make_unique<TPulseSession>();
    Session->Connect(ConnectTimeout);
    pa_context* context = Session->Context();
    TLoopLock lock(Session->Loop());
    Session->OnLost = [this] { Fail(); };

    pa_channel_map map;
    pa_channel_map_init_stereo(&map);
    Stream.reset(pa_stream_new(context, "Recording", &format, &map));
    if (!Stream) {
        throw TAudioError(Step, CodeOf(pa_context_errno(context)));
    }
    pa_stream_set_state_callback(Stream.get(), StreamState, this);
    pa_stream_set_read_callback(Stream.get(), StreamRead, this);

    pa_buffer_attr attr;
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.tlength = static_cast<std::uint32_t>(-1);
    attr.prebuf = static_cast<std::uint32_t>(-1);
    attr.minreq = static_cast<std::uint32_t>(-1);
    attr.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(FragmentUsec, &format));
    // DONT_MOVE: a slot records the source it was set to; when that goes away
    // the stream fails instead of following the server to another one.
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(Stream.get(), source.c_str(), &attr, flags) < 0) {
        throw TAudioError(Step, CodeOf(pa_context_errno(context)));
    }
    pa_stream* stream = Stream.get();
    const bool settled = Session->WaitUntil(
        [stream] {
            const auto state = pa_stream_get_state(stream);
            return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
        },
        StreamTimeout);
    if (!settled) {
        throw TAudioError(Step, BassError::Driver);
    }
    if (pa_stream_get_state(stream) != PA_STREAM_READY) {
        throw TAudioError(Step, Session->Good() ? CodeOf(pa_context_errno(context)) : BassError::Driver);
    }
    Running = true;
}

void TWASAPIDeviceInfo::TCapture::Fail() {
    if (Running) {
        Running = false;
        Owner.ReportLost(BassError::Driver);
    }
}

void TWASAPIDeviceInfo::TCapture::StreamState(pa_stream* stream, void* userdata) {
    auto* self = static_cast<TCapture*>(userdata);
    if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) {
        self->Fail();
    }
    self->Session->Signal();
}

void TWASAPIDeviceInfo::TCapture::StreamRead(pa_stream* stream, std::size_t, void* userdata) {
    auto* self = static_cast<TCapture*>(userdata);
    for (;;) {
        const void* data = nullptr;
        std::size_t bytes = 0;
        if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) {
            return; // nothing to drop
        }
        if (data != nullptr) {
            self->Owner.PushToClients(data, bytes);
        } else {
            // A hole (the server dropped audio): keep the timeline with silence.
            const std::size_t chunk = self->Silence.size() * sizeof(float);
            for (std::size_t left = bytes; left > 0;) {
                const std::size_t n = std::min(left, chunk);
                self->Owner.PushToClients(self->Silence.data(), n);
                left -= n;
            }
        }
        pa_stream_drop(stream);
    }
}

TWASAPIDeviceInfo::TWASAPIDeviceInfo(int index, std::string name, std::string source)
    : TDeviceInfoWithClients(index, std::move(name)), FSource(std::move(source)) {}

TWASAPIDeviceInfo::~TWASAPIDeviceInfo() { Close(); }

void TWASAPIDeviceInfo::Open(int rate) {
    Close();
    try {
        auto capture = std::make_unique<TCapture>(*this);
        capture->Start(FSource, rate);
        FCapture = std::move(capture);
        FRate = rate;
    } catch (const std::bad_alloc&) {
        throw TAudioError(Step, BassError::Mem);
    }
}

void TWASAPIDeviceInfo::Close() {
    FCapture.reset();
}

void AddPulseDevices(TDeviceCatalogue& catalogue) {
    struct TFound {
        std::string Name;
        std::string Description;
    };
    struct TListing {
        TPulseSession* Session;
        std::vector<TFound> Found;
        bool Done = false;
        bool Complete = false;
    };
    TListing listing;
    try {
        const auto deadline = std::chrono::steady_clock::now() + ConnectTimeout;
        TPulseSession session;
        session.Connect(ConnectTimeout);
        const auto left = std::max<std::chrono::milliseconds>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()),
            MinimumListTimeout);
        listing.Session = &session;
        TLoopLock lock(session.Loop());
        auto onSource = [](pa_context*, const pa_source_info* info, int eol, void* userdata) {
            auto* l = static_cast<TListing*>(userdata);
            if (eol != 0) {
                l->Done = true;
                l->Complete = eol > 0;
                l->Session->Signal();
                return;
            }
            // An unplugged microphone cannot be recorded from; it reappears at the next start.
            if (info->active_port != nullptr && info->active_port->available == PA_PORT_AVAILABLE_NO) {
                return;
            }
            l->Found.push_back(TFound{info->name, info->description != nullptr ? info->description : info->name});
        };
        TOperationPtr operation(pa_context_get_source_info_list(session.Context(), onSource, &listing));
        if (!operation) {
            return;
        }
        if (!session.WaitUntil([&] { return listing.Done || !session.Good(); }, left)) {
            pa_operation_cancel(operation.get());
            return;
        }
    } catch (const std::exception&) {
        return; // no server: no entries
    }
    if (!listing.Complete) {
        return;
    }
    int index = 0;
    for (auto& found : listing.Found) {
        catalogue.Add("WASAPI:" + found.Name,
                      std::make_unique<TWASAPIDeviceInfo>(index++, "WASAPI: " + found.Description, found.Name));
    }
}
