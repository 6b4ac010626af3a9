#pragma once

#include <cstddef>
#include <cstdint>

namespace SampleConvert {
// Float samples to 16-bit signed, rounded and clipped to the 16-bit range.
void FloatToS16(const float* in, std::int16_t* out, std::size_t samples);
// 16-bit signed samples to float, full scale 1.0.
void S16ToFloat(const std::int16_t* in, float* out, std::size_t samples);
// Stereo float frames to mono 16-bit, the mean of both channels.
void StereoFloatToMonoS16(const float* in, std::int16_t* out, std::size_t frames);
} // namespace SampleConvert
