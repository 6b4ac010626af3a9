#pragma once

#include <cstddef>
#include <cstdint>

// Audio inside the engine is 32-bit float, 2 channels, interleaved.
namespace AudioFormat {
inline constexpr int Channels = 2;
inline constexpr std::size_t BytesPerSample = sizeof(float);
inline constexpr std::size_t BytesPerFrame = Channels * BytesPerSample;

// Bytes of `seconds` of audio at `rate`, rounded down to whole frames.
inline std::uint64_t Seconds2Bytes(int rate, double seconds) {
    if (rate <= 0 || seconds <= 0) {
        return 0;
    }
    return static_cast<std::uint64_t>(seconds * rate) * BytesPerFrame;
}

inline double Bytes2Seconds(int rate, std::uint64_t bytes) {
    if (rate <= 0) {
        return 0;
    }
    return static_cast<double>(bytes) / (static_cast<double>(rate) * BytesPerFrame);
}
} // namespace AudioFormat
