#pragma once

#include <unistd.h>

#include <utility>

// Owns a file descriptor until it is closed or handed on with Release().
class TFileHandle {
public:
    TFileHandle() = default;
    explicit TFileHandle(int fd) : FFd(fd) {}
    ~TFileHandle() { Reset(); }
    TFileHandle(TFileHandle&& other) noexcept : FFd(other.Release()) {}
    TFileHandle& operator=(TFileHandle&& other) noexcept {
        if (this != &other) {
            Reset(other.Release());
        }
        return *this;
    }
    TFileHandle(const TFileHandle&) = delete;
    TFileHandle& operator=(const TFileHandle&) = delete;

    int Get() const { return FFd; }
    bool Valid() const { return FFd >= 0; }
    int Release() {
        const int fd = FFd;
        FFd = -1;
        return fd;
    }
    void Reset(int fd = -1) {
        if (FFd >= 0) {
            ::close(FFd);
        }
        FFd = fd;
    }
    // The result matters for a written file: close can report a failed write-back.
    bool Close() { return FFd < 0 || ::close(std::exchange(FFd, -1)) == 0; }

private:
    int FFd = -1;
};
