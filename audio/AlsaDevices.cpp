#include "AlsaDevices.h"

#include "basserrors.h"

#include <alsa/asoundlib.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <pthread.h>
#include <thread>
#include <vector>

namespace {

struct PcmDeleter {
    void operator()(snd_pcm_t* p) const { snd_pcm_close(p); }
};
using TPcmPtr = std::unique_ptr<snd_pcm_t, PcmDeleter>;

struct CtlDeleter {
    void operator()(snd_ctl_t* p) const { snd_ctl_close(p); }
};
using TCtlPtr = std::unique_ptr<snd_ctl_t, CtlDeleter>;

int OpenErrorCode(int err) {
    switch (-err) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return BassError::Device;
    case ENOMEM:
        return BassError::Mem;
    default:
        return BassError::Driver; // busy or refused
    }
}

// ALSA reports every failed probe on standard error; the program reports its own way.
void QuietErrors(const char*, int, const char*, int, const char*, ...) {}

constexpr unsigned PeriodUs = 20000;
constexpr unsigned BufferUs = 200000;

} // namespace

// The open PCM and the thread that reads it. The thread only reads and pushes;
// it stops when FRunning is cleared (within one wait period) or the device fails.
// A capture that delivers nothing for a while (its reads failing quietly, or
// its thread blocked inside ALSA's library, as the pulse plugin's is once its
// server has gone) counts as stalled, and Stop gives such a thread up.
class TWDMDeviceInfo::TCapture {
public:
    TCapture(TWDMDeviceInfo& owner, std::shared_ptr<TCaptureGate> gate, const std::string& pcmName, int rate)
        : FOwner(owner), FGate(std::move(gate)) {
        snd_pcm_t* raw = nullptr;
        int err = snd_pcm_open(&raw, pcmName.c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK);
        if (err < 0) {
            throw TAudioError("Init", OpenErrorCode(err));
        }
        FPcm.reset(raw);
        unsigned actual = static_cast<unsigned>(rate);
        if ((err = snd_pcm_set_params(FPcm.get(), SND_PCM_FORMAT_FLOAT_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 2,
                                      actual, 1, BufferUs)) < 0) {
            throw TAudioError("Init", err == -EINVAL ? BassError::Freq : BassError::Format);
        }
        snd_pcm_uframes_t buffer = 0;
        snd_pcm_uframes_t period = 0;
        snd_pcm_get_params(FPcm.get(), &buffer, &period);
        snd_pcm_hw_params_t* hw = nullptr;
        snd_pcm_hw_params_alloca(&hw);
        if (snd_pcm_hw_params_current(FPcm.get(), hw) == 0) {
            snd_pcm_hw_params_get_rate(hw, &actual, nullptr);
        }
        FRate = static_cast<int>(actual);
        FBuffer.resize(std::max<snd_pcm_uframes_t>(period, FRate * PeriodUs / 1000000) * 2);
        if ((err = snd_pcm_start(FPcm.get())) < 0) {
            throw TAudioError("RecordStart", OpenErrorCode(err));
        }
        FRunning = true;
        FProgress = NowMs();
        FGeneration = FGate->Open();
        FThread = std::thread(&TCapture::Run, this);
    }

    // Only for a capture whose thread has ended (Stop returned true).
    ~TCapture() {
        if (FThread.joinable()) {
            FThread.join();
        }
    }

    // Ends the thread; false when it did not end within `timeout`. The
    // object must then outlive the thread: it is left to it.
    bool Stop(std::chrono::milliseconds timeout) {
        FRunning = false;
        std::unique_lock lock(FEndLock);
        return FEndChanged.wait_for(lock, timeout, [this] { return FEnded; });
    }

    void Abandon() { FThread.detach(); }

    bool Stalled() const { return FRunning.load() && NowMs() - FProgress.load() > StallMs; }

    int Rate() const { return FRate; }

private:
    static std::int64_t NowMs() {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }

    void Run() {
        pthread_setname_np(pthread_self(), "capture-alsa");
        Capture();
        std::lock_guard lock(FEndLock);
        FEnded = true;
        FEndChanged.notify_all();
    }

    void Capture() {
        const snd_pcm_uframes_t frames = FBuffer.size() / 2;
        while (FRunning.load()) {
            const int ready = snd_pcm_wait(FPcm.get(), 200);
            if (ready == 0) {
                continue; // nothing yet; look at FRunning again
            }
            const snd_pcm_sframes_t n = ready < 0 ? ready : snd_pcm_readi(FPcm.get(), FBuffer.data(), frames);
            if (n > 0) {
                FProgress = NowMs();
                if (!FGate->Call(FGeneration, [&] {
                        FOwner.PushToClients(FBuffer.data(), static_cast<std::size_t>(n) * 2 * sizeof(float));
                    })) {
                    return; // given up on while it was blocked: a new capture may own the clients now
                }
                continue;
            }
            if (n == -EAGAIN) {
                continue;
            }
            // An overrun (or a resume after suspend) is mended in place; anything
            // else means the device has gone.
            if (snd_pcm_recover(FPcm.get(), static_cast<int>(n), 1) == 0 && snd_pcm_start(FPcm.get()) >= 0) {
                continue;
            }
            if (snd_pcm_state(FPcm.get()) == SND_PCM_STATE_RUNNING) {
                continue;
            }
            // Recovering may block for long: only the device's current capture reports.
            FGate->Call(FGeneration, [this] { FOwner.ReportLost(BassError::Device); });
            return;
        }
    }

    // A capture device delivers all the time; one silent this long has gone,
    // whether its reads fail quietly or never return. (PulseAudio's test
    // sources deliver in pieces of two seconds.)
    static constexpr std::int64_t StallMs = 5000;

    TWDMDeviceInfo& FOwner; // reached only through FGate
    const std::shared_ptr<TCaptureGate> FGate;
    std::uint64_t FGeneration = 0;
    TPcmPtr FPcm;
    int FRate = 0;
    std::vector<float> FBuffer; // capture thread only
    std::atomic<bool> FRunning{false};
    std::atomic<std::int64_t> FProgress{0}; // NowMs() when audio last came in
    std::mutex FEndLock;                    // guards FEnded
    std::condition_variable FEndChanged;
    bool FEnded = false;
    std::thread FThread;
};

TWDMDeviceInfo::TWDMDeviceInfo(int index, std::string name, std::string pcmName)
    : TDeviceInfoWithClients(index, std::move(name)), FPcmName(std::move(pcmName)) {}

TWDMDeviceInfo::~TWDMDeviceInfo() { Close(); }

void TWDMDeviceInfo::Open(int rate) {
    FCapture = std::make_unique<TCapture>(*this, FGate, FPcmName, rate);
    FOpenedRate = rate;
}

void TWDMDeviceInfo::Close() {
    if (!FCapture) {
        return;
    }
    const bool stopped = FCapture->Stop(StopTimeout);
    FGate->Close(); // from here on the old capture cannot reach this device
    if (stopped) {
        FCapture.reset();
    } else {
        // Blocked inside ALSA's library for good: its thread, PCM and buffers
        // are left behind (a little memory) rather than the program hanging.
        FCapture->Abandon();
        static_cast<void>(FCapture.release());
        ++FAbandoned;
    }
}

bool TWDMDeviceInfo::Stalled() const { return FCapture && FCapture->Stalled(); }

int TWDMDeviceInfo::GetSampleRate() { return FCapture ? FCapture->Rate() : FOpenedRate; }

void AddAlsaDevices(TDeviceCatalogue& catalogue) {
    snd_lib_error_set_handler(QuietErrors);
    int position = 0;
    catalogue.Add("WDM:0", std::make_unique<TWDMDeviceInfo>(position, "WDM: Default", "default"));
    for (int card = -1; snd_card_next(&card) == 0 && card >= 0;) {
        snd_ctl_t* raw = nullptr;
        if (snd_ctl_open(&raw, ("hw:" + std::to_string(card)).c_str(), 0) < 0) {
            continue;
        }
        TCtlPtr ctl(raw);
        snd_ctl_card_info_t* cardInfo = nullptr;
        snd_ctl_card_info_alloca(&cardInfo);
        if (snd_ctl_card_info(ctl.get(), cardInfo) < 0) {
            continue;
        }
        const std::string cardName = snd_ctl_card_info_get_name(cardInfo);
        for (int device = -1; snd_ctl_pcm_next_device(ctl.get(), &device) == 0 && device >= 0;) {
            snd_pcm_info_t* info = nullptr;
            snd_pcm_info_alloca(&info);
            snd_pcm_info_set_device(info, static_cast<unsigned>(device));
            snd_pcm_info_set_subdevice(info, 0);
            snd_pcm_info_set_stream(info, SND_PCM_STREAM_CAPTURE);
            if (snd_ctl_pcm_info(ctl.get(), info) < 0) {
                continue; // no capture on this device
            }
            ++position;
            catalogue.Add("WDM:" + std::to_string(position),
                          std::make_unique<TWDMDeviceInfo>(position,
                                                           "WDM: " + cardName + ": " + snd_pcm_info_get_name(info),
                                                           "plughw:" + std::to_string(card) + "," +
                                                               std::to_string(device)));
        }
    }
}
