#pragma once

#include <string>

// The program's version numbers: the project version and the build number.
struct TExeVersion {
    int Major;
    int Minor;
    int Release;
    int Build;
};

TExeVersion GetExeVersion();
// "major.minor.release.build"
std::string VersionText(const TExeVersion& v);
