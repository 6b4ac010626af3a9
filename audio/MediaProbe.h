#pragma once

#include <optional>
#include <string>

// The playing time of an audio file in seconds, as FFmpeg reads it; nothing
// when the file cannot be read or tells no duration.
std::optional<double> ProbeDuration(const std::string& path);
