#include "Paths.h"

#include "SlotSettings.h"

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <pwd.h>
#include <string_view>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace {

const std::string SystemDataFolder = "/var/lib/Pelorand/RudazOdudad/";

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string WithSlash(std::string folder) {
    if (folder.empty() || folder.back() != '/') {
        folder += '/';
    }
    return folder;
}

std::string WithoutSlash(std::string folder) {
    while (!folder.empty() && folder.back() == '/') {
        folder.pop_back();
    }
    return folder;
}

void CreateFolder(const std::string& folder) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
}

bool UsableFolder(const std::string& folder) {
    CreateFolder(folder);
    std::error_code ec;
    return std::filesystem::is_directory(folder, ec) &&
           ::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

// $HOME, else the account's home: a service started without HOME still gets its own folder.
std::string HomeFolder() {
    std::string home = Env("HOME");
    if (!home.empty()) {
        return home;
    }
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr) {
        home = found->pw_dir;
    }
    return home;
}

// An XDG base folder from the environment; relative values are ignored as the XDG rules say.
std::string XdgFolder(const char* variable, const std::string& home, const char* fallback) {
    const std::string value = Env(variable);
    if (!value.empty() && value[0] == '/') {
        return value;
    }
    return home.empty() ? "" : WithoutSlash(home) + fallback;
}

// One line of user-dirs.dirs: NAME="$HOME/sub" or NAME="/absolute", with
// backslash escapes inside the quotes, as xdg-user-dirs writes it.
std::optional<std::string> UserDirFromLine(std::string_view line, std::string_view name,
                                           const std::string& home) {
    const auto skipBlanks = [&line] {
        while (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
            line.remove_prefix(1);
        }
    };
    skipBlanks();
    if (!line.starts_with(name)) {
        return std::nullopt;
    }
    line.remove_prefix(name.size());
    skipBlanks();
    if (!line.starts_with('=')) {
        return std::nullopt;
    }
    line.remove_prefix(1);
    skipBlanks();
    if (!line.starts_with('"')) {
        return std::nullopt;
    }
    line.remove_prefix(1);
    std::string folder;
    if (line.starts_with("$HOME") && (line.size() == 5 || line[5] == '/' || line[5] == '"')) {
        if (home.empty()) {
            return std::nullopt;
        }
        folder = WithoutSlash(home);
        line.remove_prefix(5);
    } else if (!line.starts_with('/')) {
        return std::nullopt; // relative folders are not allowed there
    }
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"') {
            return WithoutSlash(folder);
        }
        if (line[i] == '\\' && i + 1 < line.size()) {
            ++i;
        }
        folder += line[i];
    }
    return std::nullopt; // no closing quote
}

std::optional<std::string> UserDir(const std::string& configFolder, std::string_view name,
                                   const std::string& home) {
    std::ifstream file(configFolder + "/user-dirs.dirs");
    std::optional<std::string> folder;
    std::string line;
    while (std::getline(file, line)) {
        if (auto found = UserDirFromLine(line, name, home)) {
            folder = std::move(found); // the last assignment wins, as in the shell
        }
    }
    // "$HOME/" means the folder is switched off; the home folder itself is no music folder.
    if (folder && (folder->empty() || *folder == WithoutSlash(home))) {
        return std::nullopt;
    }
    return folder;
}

} // namespace

std::string DataFolder() {
    return DataFolder(SystemDataFolder);
}

std::string DataFolder(const std::string& systemFolder) {
    const std::string own = Env("RUDAZODUDAD_DATA_DIR");
    if (!own.empty()) {
        const std::string folder = WithSlash(own);
        CreateFolder(folder);
        return folder;
    }
    if (UsableFolder(systemFolder)) {
        return WithSlash(systemFolder);
    }
    const std::string base = XdgFolder("XDG_DATA_HOME", HomeFolder(), "/.local/share");
    if (base.empty()) {
        return "";
    }
    const std::string folder = WithSlash(base) + "Pelorand/RudazOdudad/";
    CreateFolder(folder);
    return folder;
}

std::string SettingsFileName() {
    return DataFolder() + "RudazOdudad.ini";
}

std::string MusicFolder() {
    const std::string home = Env("HOME");
    const std::string config = XdgFolder("XDG_CONFIG_HOME", home, "/.config");
    if (!config.empty()) {
        if (auto folder = UserDir(config, "XDG_MUSIC_DIR", home)) {
            return *folder;
        }
    }
    return home.empty() ? "" : WithoutSlash(home) + "/Music";
}

std::string DefaultFolderBase() {
    const std::string music = MusicFolder();
    return !music.empty() ? music : WithoutSlash(DataFolder());
}

std::string DefaultSlotFolder(const std::string& name) {
    return TSlotSettings::DefaultFolder(DefaultFolderBase(), name);
}
