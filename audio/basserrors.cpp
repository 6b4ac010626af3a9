#include "basserrors.h"

#include <array>
#include <utility>

namespace {

constexpr std::array<std::pair<int, const char*>, 37> Texts{{
    {1, "memory error"},
    {2, "can't open the file"},
    {3, "can't find a free sound driver"},
    {4, "the sample buffer was lost"},
    {5, "invalid handle"},
    {6, "unsupported sample format"},
    {7, "invalid position"},
    {8, "BASS_Init has not been successfully called"},
    {9, "BASS_Start has not been successfully called"},
    {14, "already initialized/paused/whatever"},
    {18, "can't get a free channel"},
    {19, "an illegal type was specified"},
    {20, "an illegal parameter was specified"},
    {21, "no 3D support"},
    {22, "no EAX support"},
    {23, "illegal device number"},
    {24, "not playing"},
    {25, "illegal sample rate"},
    {27, "the stream is not a file stream"},
    {29, "no hardware voices available"},
    {31, "the MOD music has no sequence data"},
    {32, "no internet connection could be opened"},
    {33, "couldn't create the file"},
    {34, "effects are not enabled"},
    {37, "requested data is not available"},
    {38, "the channel is a \"decoding channel\""},
    {39, "a sufficient DirectX version is not installed"},
    {40, "connection timedout"},
    {41, "unsupported file format"},
    {42, "unavailable speaker"},
    {43, "invalid BASS version (used by add-ons)"},
    {44, "codec is not available/supported"},
    {45, "the channel/file has ended"},
    {2000, "ACM codec selection cancelled"},
    {2100, "access denied (invalid password)"},
    {4000, "Not a decoding channel"},
    {4001, "BPM/Beat detection is in use"},
}};

} // namespace

std::string BassErrorText(int code) {
    const std::string suffix = "BASS error " + std::to_string(code);
    for (const auto& [known, text] : Texts) {
        if (known == code) {
            return std::string(text) + " (" + suffix + ")";
        }
    }
    return suffix;
}

TAudioError::TAudioError(int code) : std::runtime_error(BassErrorText(code)), FCode(code) {}

TAudioError::TAudioError(const std::string& step, int code)
    : std::runtime_error(step + ": " + BassErrorText(code)), FCode(code) {}
