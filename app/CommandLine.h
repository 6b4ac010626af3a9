#pragma once

#include <optional>
#include <string>
#include <vector>

// The program's options, in the GNU manner: long options (a value after a
// blank or an '='), -h and -V for help and version. Nothing else is taken.
struct TCommandLine {
    bool Help = false;
    bool Version = false;
    bool ListDevices = false;
    bool Headless = false;
    std::optional<std::string> DataDir;
    std::string Error; // what was wrong, for the usage on standard error; "" when nothing

    static TCommandLine Parse(const std::vector<std::string>& arguments);
    static const char* Usage();
};
