#pragma once

#include "SlotSettings.h"

#include <functional>
#include <map>
#include <mutex>
#include <tuple>
#include <vector>

// What each format's encoder of this machine records correctly, found out by
// letting it encode half a second of silence and reading back what it wrote,
// once per combination asked for (the answers are kept for the run).
//
// Threads: every method may be called from any thread; FLock guards the kept
// answers, and probes run outside it (several at once when a list is asked for).
class TEncoderCapabilities {
public:
    // The rates and bit rates tried for the lists (kbit/s for mp3 and ogg; WMA
    // names its own in bit/s).
    static const std::vector<int> CommonSamplerates;
    static const std::vector<int> CommonBitrates;

    // Whether the encoder writes a file of the right length at `samplerate`
    // and `channels`, and, unless `bitrate` is 0, at exactly that bit rate.
    using TProbe = std::function<bool(TSlotFormat format, int samplerate, int channels, int bitrate)>;
    explicit TEncoderCapabilities(TProbe probe = ProbeEncoder);

    bool Accepts(TSlotFormat format, int samplerate, int channels, int bitrate);
    // Of the common rates, those the encoder records at.
    std::vector<int> Samplerates(TSlotFormat format);
    // Of the common bit rates (WMA: the encoder's own), those it encodes at exactly.
    std::vector<int> Bitrates(TSlotFormat format, int samplerate, int channels);

    // The real encoders: lame, oggenc, and the WMA encoder of the library.
    static bool ProbeEncoder(TSlotFormat format, int samplerate, int channels, int bitrate);

private:
    using TKey = std::tuple<int, int, int, int>; // format, rate, channels, bit rate
    std::vector<int> Filter(TSlotFormat format, const std::vector<std::tuple<int, int, int>>& tries);

    const TProbe FProbe;
    std::mutex FLock;
    std::map<TKey, bool> FAnswers; // guarded by FLock
};

// The WMA encoder's bit rates (bit/s) for a sample rate and channel count; empty
// when the codec is missing.
std::vector<int> WmaEncoderRates(int samplerate, int channels, TSlotFormat format);
