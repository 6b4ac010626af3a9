#pragma once

#include "ChildProgram.h"

#include <memory>
#include <string>

namespace TestSupport {

// A folder mounted over another with bindfs (FUSE), whose daemon can be
// stopped: then every call on the mount (statvfs, stat, open, write) hangs
// until it goes on, as on a network mount gone bad. The destructor lets the
// daemon go on and unmounts lazily, so that a failed test leaves no hang behind.
class TBindMount {
public:
    TBindMount(const std::string& real, const std::string& mountPoint, const std::string& logFile);
    ~TBindMount();

    TBindMount(const TBindMount&) = delete;
    TBindMount& operator=(const TBindMount&) = delete;

    bool Mounted() const { return FMounted; }
    void Hang();
    void Answer();

private:
    std::string FMountPoint;
    std::unique_ptr<TChildProgram> FDaemon;
    bool FMounted = false;
};

} // namespace TestSupport
