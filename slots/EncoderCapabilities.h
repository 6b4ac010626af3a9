#pragma once

#include "SlotSettings.h"

#include <functional>
#include <map>
#include <mutex>
#include <tuple>
#include <vector>

// What each format's encoder of this machine records correctly, found out by
// letting it encode half a second of silence and reading back what it wrote,
// once per combination asked for. Clear answers are kept for the run; a probe
// that told nothing (killed at its time limit on a loaded machine, crashed,
// could not start) is not kept and is asked again next time.
//
// Threads: every method may be called from any thread; FLock guards the kept
// answers, and probes run outside it (several at once when a list is asked for).
class TEncoderCapabilities {
public:
    // The rates and bit rates tried for the lists (kbit/s for mp3 and ogg; WMA
    // names its own in bit/s).
    static const std::vector<int> CommonSamplerates;
    static const std::vector<int> CommonBitrates;

    // Accepted: the encoder wrote a file of the right length at `samplerate`
    // and `channels`, and, unless `bitrate` is 0, at exactly that bit rate.
    // Refused: it ran and refused, or wrote another rate, length or bit rate.
    // Unknown: the probe told nothing.
    enum class TAnswer { Accepted, Refused, Unknown };
    using TProbe = std::function<TAnswer(TSlotFormat format, int samplerate, int channels, int bitrate)>;
    explicit TEncoderCapabilities(TProbe probe = ProbeEncoder);

    TAnswer Ask(TSlotFormat format, int samplerate, int channels, int bitrate);
    // Not refused: an unknown answer does not keep a slot from recording (its
    // encoder's own start tells when something is wrong).
    bool Accepts(TSlotFormat format, int samplerate, int channels, int bitrate) {
        return Ask(format, samplerate, channels, bitrate) != TAnswer::Refused;
    }
    // Of the common rates, those the encoder surely records at.
    std::vector<int> Samplerates(TSlotFormat format);
    // Of the common bit rates (WMA: the encoder's own), those it surely encodes at exactly.
    std::vector<int> Bitrates(TSlotFormat format, int samplerate, int channels);

    // The real encoders: lame, oggenc, and the WMA encoder of the library.
    static TAnswer ProbeEncoder(TSlotFormat format, int samplerate, int channels, int bitrate);

private:
    using TKey = std::tuple<int, int, int, int>; // format, rate, channels, bit rate
    std::vector<int> Filter(TSlotFormat format, const std::vector<std::tuple<int, int, int>>& tries);

    const TProbe FProbe;
    std::mutex FLock;
    std::map<TKey, bool> FAnswers; // guarded by FLock: the clear answers, true for Accepted
};

// The WMA encoder's bit rates (bit/s) for a sample rate and channel count; empty
// when the codec is missing.
std::vector<int> WmaEncoderRates(int samplerate, int channels, TSlotFormat format);
