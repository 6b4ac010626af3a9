#pragma once

#include "AudioSource.h"
#include "BlockProcessor.h"
#include "Resampler.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

// A pull-driven mixer at a fixed rate with at most one input. Each GetData takes
// what the input has now, converts it to the mixer's rate and to stereo, and runs
// it through the processing chain: effects and callbacks by priority (higher
// first, equal priorities in the order they were added), then encoders.
//
// Threads: GetData runs on one pulling thread; every other method may be called
// from any thread. FLock (re-entrant) guards the input, the resampler and the
// chain, and is held for a whole GetData, so once RemoveInput or Remove returns
// the input or processor is no longer used. Lock() lets a caller make several
// changes that no pull can fall between (an encoder swapped at the top of the hour).
class TMixer {
public:
    using THandle = std::uint32_t;
    using TDspProc = std::function<void(float* samples, std::size_t bytes)>;

    explicit TMixer(int rate);

    TMixer(const TMixer&) = delete;
    TMixer& operator=(const TMixer&) = delete;

    int Rate() const { return FRate; }

    // Plugs `input` in, replacing any earlier one.
    void SetInput(std::shared_ptr<TAudioSource> input);
    // Unplugs `input` if it is the current one.
    void RemoveInput(const TAudioSource* input);
    bool HasInput() const;

    // Fills at most `bytes` (whole frames) and returns the bytes delivered;
    // 0 when there is no input or it has nothing.
    std::size_t GetData(void* buffer, std::size_t bytes);

    THandle AddProcessor(std::shared_ptr<TBlockProcessor> processor, int priority);
    THandle SetDSP(TDspProc proc, int priority);
    THandle AddEncoder(std::shared_ptr<TBlockProcessor> encoder);
    // Returns false when the handle is not (or no longer) in the chain.
    bool Remove(THandle handle);

    std::unique_lock<std::recursive_mutex> Lock() { return std::unique_lock(FLock); }

    std::uint64_t Seconds2Bytes(double seconds) const;
    double Bytes2Seconds(std::uint64_t bytes) const;

private:
    struct TEntry {
        THandle Handle;
        bool Encoder;
        int Priority;
        std::shared_ptr<TBlockProcessor> Processor;
    };

    THandle Insert(std::shared_ptr<TBlockProcessor> processor, bool encoder, int priority);
    std::size_t ReadInput(float* out, std::size_t frames);

    const int FRate;
    mutable std::recursive_mutex FLock;
    std::shared_ptr<TAudioSource> FInput;      // guarded by FLock
    std::unique_ptr<TResampler> FResampler;    // guarded by FLock; set when the input's rate differs
    std::vector<float> FScratch;               // guarded by FLock; input before resampling
    std::vector<TEntry> FChain;                // guarded by FLock; in processing order
    THandle FNextHandle = 1;                   // guarded by FLock
};
