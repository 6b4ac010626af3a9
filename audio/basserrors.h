#pragma once

#include <stdexcept>
#include <string>

// Numeric error codes of the audio engine. They keep the numbering that stored
// logs, users and the web page know, so every message reads as it always did.
namespace BassError {
inline constexpr int Ok = 0;
inline constexpr int Mem = 1;
inline constexpr int FileOpen = 2;
inline constexpr int Driver = 3;
inline constexpr int Handle = 5;
inline constexpr int Format = 6;
inline constexpr int Init = 8;
inline constexpr int Already = 14;
inline constexpr int IllegalType = 19;
inline constexpr int IllegalParam = 20;
inline constexpr int Device = 23;
inline constexpr int NotPlaying = 24;
inline constexpr int Freq = 25;
inline constexpr int NoInternet = 32;
inline constexpr int Create = 33;
inline constexpr int NotAvailable = 37;
inline constexpr int Decode = 38;
inline constexpr int Timeout = 40;
inline constexpr int FileForm = 41;
inline constexpr int Codec = 44;
inline constexpr int Ended = 45;
} // namespace BassError

// The English text of an error code; unknown codes read "BASS error %d".
// Pure and thread-safe.
std::string BassErrorText(int code);

// A failure of the audio engine. what() is the code's text, or "<step>: <text>"
// when the failing step is named (as in "Init: ...").
class TAudioError : public std::runtime_error {
public:
    explicit TAudioError(int code);
    TAudioError(const std::string& step, int code);

    int Code() const noexcept { return FCode; }

private:
    int FCode;
};
