#include "CommandLine.h"

TCommandLine TCommandLine::Parse(const std::vector<std::string>& arguments) {
    TCommandLine line;
    for (std::size_t i = 0; i < arguments.size() && line.Error.empty(); ++i) {
        const std::string& a = arguments[i];
        if (a == "--help" || a == "-h") {
            line.Help = true;
        } else if (a == "--version" || a == "-V") {
            line.Version = true;
        } else if (a == "--list-devices") {
            line.ListDevices = true;
        } else if (a == "--headless") {
            line.Headless = true;
        } else if (a.starts_with("--data-dir=")) {
            line.DataDir = a.substr(11);
        } else if (a == "--data-dir") {
            if (i + 1 == arguments.size()) {
                line.Error = "option '--data-dir' needs a folder";
            } else {
                line.DataDir = arguments[++i];
            }
        } else if (a.starts_with("-")) {
            line.Error = "unknown option '" + a + "'";
        } else {
            line.Error = "unexpected argument '" + a + "'";
        }
    }
    if (line.Error.empty() && line.DataDir && line.DataDir->empty()) {
        line.Error = "option '--data-dir' needs a folder";
    }
    return line;
}

const char* TCommandLine::Usage() {
    return "Usage: rudazodudad [OPTION]...\n"
           "Records audio inputs and Internet streams into hourly files, around the clock.\n"
           "\n"
           "  --data-dir DIR   keep settings and data in DIR (as RUDAZODUDAD_DATA_DIR does)\n"
           "  --headless       run without a window, also where a display exists\n"
           "  --list-devices   print every input as <ID><TAB><name> (the IDs for Device=) and exit\n"
           "  -h, --help       print this help and exit\n"
           "  -V, --version    print the version and exit\n";
}
