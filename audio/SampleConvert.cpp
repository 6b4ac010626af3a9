#include "SampleConvert.h"

#include <algorithm>
#include <cmath>

namespace {
inline std::int16_t ToS16(float x) {
    // Written so that the compiler can vectorise it: scale, clip, round half away
    // from zero, truncate.
    const float v = std::clamp(x * 32768.0f, -32768.0f, 32767.0f);
    return static_cast<std::int16_t>(static_cast<std::int32_t>(v + (v < 0.0f ? -0.5f : 0.5f)));
}
} // namespace

void SampleConvert::FloatToS16(const float* in, std::int16_t* out, std::size_t samples) {
    for (std::size_t i = 0; i < samples; ++i) {
        out[i] = ToS16(in[i]);
    }
}

void SampleConvert::StereoFloatToMonoS16(const float* in, std::int16_t* out, std::size_t frames) {
    for (std::size_t i = 0; i < frames; ++i) {
        out[i] = ToS16(0.5f * (in[2 * i] + in[2 * i + 1]));
    }
}

void SampleConvert::S16ToFloat(const std::int16_t* in, float* out, std::size_t samples) {
    for (std::size_t i = 0; i < samples; ++i) {
        out[i] = static_cast<float>(in[i]) * (1.0f / 32768.0f);
    }
}
