#pragma once

#include <mutex>
#include <set>
#include <string>

// The recording files that slots are writing, process-wide. Two slots may share
// a folder and so a catalogue, and unlink succeeds on an open file: a cleanup
// asks here before it deletes anything.
//
// Threads: any; FLock is held only for one set operation.
class TOpenFiles {
public:
    // Adds `path` unless it is open already (false then), in one step, so that
    // two slots starting files in one folder at once never get the same name.
    bool Reserve(const std::string& path);
    void Remove(const std::string& path);
    bool Contains(const std::string& path) const;

    // The form paths are compared in: absolute, without "." or "..", symbolic
    // links of existing folders resolved.
    static std::string Key(const std::string& path);

private:
    mutable std::mutex FLock;
    std::multiset<std::string> FPaths; // guarded by FLock
};
