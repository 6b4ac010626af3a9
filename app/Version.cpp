#include "Version.h"

TExeVersion GetExeVersion() {
    return TExeVersion{RUDAZ_VERSION_MAJOR, RUDAZ_VERSION_MINOR, RUDAZ_VERSION_PATCH, RUDAZ_BUILD_NUMBER};
}

std::string VersionText(const TExeVersion& v) {
    return std::to_string(v.Major) + "." + std::to_string(v.Minor) + "." + std::to_string(v.Release) + "." +
           std::to_string(v.Build);
}
