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
