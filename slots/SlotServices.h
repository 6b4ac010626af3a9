#pragma once

#include "OpenFiles.h"

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class TEncoderCapabilities;

// What slots and the controller read from the system, as functions so that tests
// can move the clock (across hours, days, summer time) and shrink a disk.
struct TSlotServices {
    using TNow = std::function<std::chrono::system_clock::time_point()>;
    using TFreeSpace = std::function<std::optional<std::uint64_t>(const std::string& folder)>;

    TNow Now;
    TFreeSpace FreeSpace;
    std::string MusicFolder; // the default folders lie below it
    // Shared by every slot made from copies of these services.
    std::shared_ptr<TOpenFiles> OpenFiles = std::make_shared<TOpenFiles>();
    // What the encoders take, for checking the settings; null: not checked.
    std::shared_ptr<TEncoderCapabilities> Encoders = {};

    // The real clock and statvfs.
    static TSlotServices System(std::string musicFolder);
};

// Bytes free for an unprivileged user on the volume that holds `folder` (or its
// nearest existing parent); nothing for a relative folder or a failed query.
std::optional<std::uint64_t> FreeSpaceOf(const std::string& folder);

std::tm ToLocalTime(std::chrono::system_clock::time_point t);
std::string FormatTime(const std::tm& t, const char* format);

// Whole local hours since 1899-12-30: its change drives rotation and cleanup.
std::int64_t HourNumber(const std::tm& local);
