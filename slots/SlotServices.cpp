#include "SlotServices.h"

#include <filesystem>
#include <sys/statvfs.h>

TSlotServices TSlotServices::System(std::string musicFolder) {
    return TSlotServices{[] { return std::chrono::system_clock::now(); }, FreeSpaceOf, std::move(musicFolder)};
}

std::optional<std::uint64_t> FreeSpaceOf(const std::string& folder) {
    std::filesystem::path p(folder);
    if (!p.is_absolute()) {
        return std::nullopt;
    }
    std::error_code ec;
    while (!std::filesystem::exists(p, ec) && p.has_relative_path()) {
        p = p.parent_path();
    }
    struct statvfs st {};
    if (statvfs(p.c_str(), &st) != 0) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(st.f_bavail) * static_cast<std::uint64_t>(st.f_frsize);
}

std::tm ToLocalTime(std::chrono::system_clock::time_point t) {
    const std::time_t tt = std::chrono::system_clock::to_time_t(t);
    std::tm local{};
    localtime_r(&tt, &local);
    return local;
}

std::string FormatTime(const std::tm& t, const char* format) {
    char buf[128];
    const std::size_t n = std::strftime(buf, sizeof buf, format, &t);
    return std::string(buf, n);
}

std::int64_t HourNumber(const std::tm& local) {
    using namespace std::chrono;
    const sys_days day = year{local.tm_year + 1900} / month{static_cast<unsigned>(local.tm_mon + 1)} /
                         std::chrono::day{static_cast<unsigned>(local.tm_mday)};
    const sys_days epoch = year{1899} / December / 30;
    return static_cast<std::int64_t>((day - epoch).count()) * 24 + local.tm_hour;
}
