#pragma once

#include <string>

// Where the program keeps its files. Everything is looked up in the environment
// at the time of the call.

// The data folder, with a trailing '/': $RUDAZODUDAD_DATA_DIR when set and not
// empty; else /var/lib/Pelorand/RudazOdudad/ when it exists or can be created
// and is writable; else ${XDG_DATA_HOME:-$HOME/.local/share}/Pelorand/RudazOdudad/.
// The folder is created with its missing parents; a failure to create it is not
// reported (writing the settings will fail quietly instead).
std::string DataFolder();
// The same with the shared system folder given, so that it can be tried elsewhere.
std::string DataFolder(const std::string& systemFolder);

// DataFolder() + "RudazOdudad.ini"
std::string SettingsFileName();

// The user's music folder without a trailing '/': XDG_MUSIC_DIR from
// ${XDG_CONFIG_HOME:-$HOME/.config}/user-dirs.dirs, else $HOME/Music; "" when
// HOME is unset and the file names no absolute folder.
std::string MusicFolder();

// Where the default slot folders lie: MusicFolder(), or without a home the data
// folder (without its trailing '/'), rather than a folder at the root of the
// file system.
std::string DefaultFolderBase();

// Where a slot records unless told otherwise: DefaultFolderBase() +
// "/Rudaz Odudad/" + name, as TSlotSettings::DefaultFolder makes it.
std::string DefaultSlotFolder(const std::string& name);
