#include "Meters.h"

#include "AudioFormat.h"

#include <algorithm>
#include <cmath>

void TPeakMeter::Process(float* samples, std::size_t bytes) {
    const std::size_t frames = bytes / AudioFormat::BytesPerFrame;
    float a = 0;
    float b = 0;
    for (std::size_t i = 0; i < frames; ++i) {
        a = std::max(a, std::fabs(samples[2 * i]));
        b = std::max(b, std::fabs(samples[2 * i + 1]));
    }
    FLeft.store(a, std::memory_order_relaxed);
    FRight.store(b, std::memory_order_relaxed);
    FBlockAt.store(std::chrono::steady_clock::now().time_since_epoch().count(), std::memory_order_relaxed);
    if (std::max(a, b) < FSilenceLevel.load(std::memory_order_relaxed)) {
        FSilentFrames.fetch_add(frames, std::memory_order_relaxed);
    } else {
        FSilentFrames.store(0, std::memory_order_relaxed);
    }
}

void TPeakMeter::Reset() {
    FLeft.store(0, std::memory_order_relaxed);
    FRight.store(0, std::memory_order_relaxed);
}

std::chrono::steady_clock::duration TPeakMeter::Since() const {
    using std::chrono::steady_clock;
    const steady_clock::rep at = FBlockAt.load(std::memory_order_relaxed);
    if (at == NoBlock) {
        return steady_clock::duration::max();
    }
    return steady_clock::now().time_since_epoch() - steady_clock::duration(at);
}
