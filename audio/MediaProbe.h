#pragma once

#include <optional>
#include <string>

// The playing time of an audio file in seconds, as FFmpeg reads it; nothing
// when the file cannot be read or tells no duration.
std::optional<double> ProbeDuration(const std::string& path);

// The playing time of what the file really holds, counted packet by packet,
// whatever its header claims (lame rewrites its header with every frame it
// encoded, also those a full disk never took); nothing when it cannot be read.
std::optional<double> MeasureDuration(const std::string& path);

// The first audio stream's bit rate in bit/s as its header tells it (the CBR
// rate of an MP3, the nominal rate of Ogg Vorbis); nothing when it tells none.
std::optional<long long> ProbeBitrate(const std::string& path);
