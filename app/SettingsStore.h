#pragma once

#include "SettingsFile.h"

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

// The program's settings file (an INI file in UTF-8), open for the whole run.
// Section and key names compare without regard to ASCII case. Every write goes
// to disk at once by replacing the file (temporary file, fsync, rename), so a
// crash leaves either the old or the new file, never a damaged one. Comments and
// keys this program does not know survive a write.
//
// A write that cannot reach the disk is not reported: the value stays in memory,
// later reads see it, and the next write or UpdateFile tries again. A file that
// exists but cannot be read is never overwritten (its settings would be lost);
// writes wait in memory until it can be read and are then merged into it.
//
// Values are single lines: line breaks in a written value become spaces, and
// blanks around it are dropped (the file format cannot keep either).
//
// Threads: every method takes FLock. The user-interface thread is the only
// caller, but a stray call from another thread must not corrupt the file.
class TSettingsStore : public TSettingsFile {
public:
    // Never fails: a missing or unreadable file reads as all defaults.
    explicit TSettingsStore(std::filesystem::path fileName);
    ~TSettingsStore() override;

    TSettingsStore(const TSettingsStore&) = delete;
    TSettingsStore& operator=(const TSettingsStore&) = delete;

    // The value even when it is empty ("Enabled=" reads ""); `def` only when the key is absent.
    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& def) const override;
    // Decimal, or hexadecimal after "0x"/"0X"; `def` when absent, empty, not a
    // whole number or outside the range of int.
    int ReadInteger(const std::string& section, const std::string& key, int def) const override;
    bool KeyExists(const std::string& section, const std::string& key) const;

    // The writes throw std::invalid_argument for a section or key name the file
    // cannot hold (a key with '=' or a line break, a section with ']', ...);
    // they never throw for a failed disk write.
    void WriteString(const std::string& section, const std::string& key, const std::string& value);
    void WriteInteger(const std::string& section, const std::string& key, int value);
    // Several keys of one section in this order with one file write. Keys
    // already in the section keep their place; new ones are appended.
    void WriteSection(const std::string& section,
                      const std::vector<std::pair<std::string, std::string>>& values) override;

    // Makes sure everything written is on disk, retrying a write that failed.
    void UpdateFile();
    bool AllWritten() const override;

    const std::filesystem::path& FileName() const { return FFileName; }

private:
    class TContent;
    using TWrite = std::tuple<std::string, std::string, std::string>; // section, key, value

    void Apply(const std::vector<TWrite>& writes);
    bool RecoverUnreadable();
    void Persist();

    const std::filesystem::path FFileName;
    mutable std::mutex FLock;
    std::unique_ptr<TContent> FContent; // guarded by FLock
    bool FDirty = false;                // guarded by FLock: memory holds writes the disk lacks
    bool FUnreadable = false;           // guarded by FLock: the file exists but could not be read
    std::vector<TWrite> FHeldBack;      // guarded by FLock: writes made while FUnreadable
};
