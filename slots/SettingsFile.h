#pragma once

#include <string>
#include <utility>
#include <vector>

// What a slot needs of the settings file: read keys of a section, write the
// section back in one go.
class TSettingsFile {
public:
    virtual ~TSettingsFile() = default;
    virtual std::string ReadString(const std::string& section, const std::string& key,
                                   const std::string& def) const = 0;
    // Decimal, or hexadecimal after "0x"; anything else gives `def`.
    virtual int ReadInteger(const std::string& section, const std::string& key, int def) const = 0;
    virtual void WriteSection(const std::string& section,
                              const std::vector<std::pair<std::string, std::string>>& values) = 0;
    // False while writes wait in memory because the disk did not take them.
    virtual bool AllWritten() const { return true; }
};
