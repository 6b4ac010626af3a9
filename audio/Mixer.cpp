#include "Mixer.h"

#include "AudioFormat.h"
#include "basserrors.h"

#include <algorithm>

namespace {

// Frames of input converted per step when resampling; bounds the scratch buffer.
constexpr std::size_t ScratchFrames = 16384;

class TFunctionDsp : public TBlockProcessor {
public:
    explicit TFunctionDsp(TMixer::TDspProc proc) : FProc(std::move(proc)) {}
    void Process(float* samples, std::size_t bytes) override { FProc(samples, bytes); }

private:
    TMixer::TDspProc FProc;
};

// Mono frames at the front of `buf` become stereo frames over the whole of it.
void SpreadMono(float* buf, std::size_t frames) {
    for (std::size_t i = frames; i-- > 0;) {
        buf[2 * i] = buf[2 * i + 1] = buf[i];
    }
}

} // namespace

TMixer::TMixer(int rate) : FRate(rate) {
    if (rate <= 0) {
        throw TAudioError(BassError::Freq);
    }
}

void TMixer::SetInput(std::shared_ptr<TAudioSource> input) {
    std::unique_ptr<TResampler> resampler;
    if (input && input->Rate() != FRate) {
        resampler = std::make_unique<TResampler>(input->Rate(), FRate, input->Channels());
    }
    std::lock_guard guard(FLock);
    if (resampler && FScratch.empty()) {
        FScratch.resize(ScratchFrames * AudioFormat::Channels);
    }
    FInput = std::move(input);
    FResampler = std::move(resampler);
}

void TMixer::RemoveInput(const TAudioSource* input) {
    std::lock_guard guard(FLock);
    if (FInput.get() == input) {
        FInput.reset();
        FResampler.reset();
    }
}

bool TMixer::HasInput() const {
    std::lock_guard guard(FLock);
    return FInput != nullptr;
}

std::size_t TMixer::ReadInput(float* out, std::size_t frames) {
    const bool mono = FInput->Channels() == 1;
    std::size_t produced = 0;
    if (!FResampler) {
        produced = FInput->Read(out, frames);
    } else {
        const std::size_t inChannels = static_cast<std::size_t>(FInput->Channels());
        const std::size_t scratchFrames = FScratch.size() / inChannels;
        while (produced < frames) {
            const std::size_t want = frames - produced;
            const std::size_t ask = std::min(FResampler->InputFor(want), scratchFrames);
            const std::size_t got = FInput->Read(FScratch.data(), ask);
            const std::size_t n = FResampler->Convert(FScratch.data(), got, out + produced * inChannels, want);
            produced += n;
            if (got < ask && n < want) {
                break; // the input has nothing more for now
            }
            if (got == 0 && n == 0) {
                break;
            }
        }
    }
    if (mono) {
        SpreadMono(out, produced);
    }
    return produced;
}

std::size_t TMixer::GetData(void* buffer, std::size_t bytes) {
    std::lock_guard guard(FLock);
    if (!FInput || buffer == nullptr) {
        return 0;
    }
    float* out = static_cast<float*>(buffer);
    const std::size_t frames = ReadInput(out, bytes / AudioFormat::BytesPerFrame);
    const std::size_t produced = frames * AudioFormat::BytesPerFrame;
    if (produced > 0) {
        for (auto& entry : FChain) {
            entry.Processor->Process(out, produced);
        }
    }
    return produced;
}

TMixer::THandle TMixer::Insert(std::shared_ptr<TBlockProcessor> processor, bool encoder, int priority) {
    if (!processor) {
        throw TAudioError(BassError::IllegalParam);
    }
    std::lock_guard guard(FLock);
    // Effects and callbacks by falling priority, newer after older of the same
    // priority; encoders after all of them.
    auto pos = std::find_if(FChain.begin(), FChain.end(), [&](const TEntry& e) {
        if (encoder) {
            return false;
        }
        return e.Encoder || e.Priority < priority;
    });
    const THandle handle = FNextHandle++;
    FChain.insert(pos, TEntry{handle, encoder, priority, std::move(processor)});
    return handle;
}

TMixer::THandle TMixer::AddProcessor(std::shared_ptr<TBlockProcessor> processor, int priority) {
    return Insert(std::move(processor), false, priority);
}

TMixer::THandle TMixer::SetDSP(TDspProc proc, int priority) {
    if (!proc) {
        throw TAudioError(BassError::IllegalParam);
    }
    return Insert(std::make_shared<TFunctionDsp>(std::move(proc)), false, priority);
}

TMixer::THandle TMixer::AddEncoder(std::shared_ptr<TBlockProcessor> encoder) {
    return Insert(std::move(encoder), true, 0);
}

bool TMixer::Remove(THandle handle) {
    std::shared_ptr<TBlockProcessor> removed; // released after the lock, outside the chain
    {
        std::lock_guard guard(FLock);
        auto it = std::find_if(FChain.begin(), FChain.end(), [&](const TEntry& e) { return e.Handle == handle; });
        if (it == FChain.end()) {
            return false;
        }
        removed = std::move(it->Processor);
        FChain.erase(it);
    }
    return true;
}

std::uint64_t TMixer::Seconds2Bytes(double seconds) const { return AudioFormat::Seconds2Bytes(FRate, seconds); }

double TMixer::Bytes2Seconds(std::uint64_t bytes) const { return AudioFormat::Bytes2Seconds(FRate, bytes); }
