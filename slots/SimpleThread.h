#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

// Milliseconds since an arbitrary start, from a monotonic clock that also counts
// time spent suspended; never goes backwards.
std::uint64_t GetMilliseconds();

// counter / frequency in milliseconds without overflowing 64 bits.
std::uint64_t CounterToMilliseconds(std::uint64_t counter, std::uint64_t frequency);

// A worker thread running one procedure, with a wait that a stop cuts short.
// The owner destroys it; the destructor sets Terminated, wakes the procedure and
// waits for it to return, so the destroying thread must not hold a lock that
// the procedure may be waiting for. A procedure that throws ends the thread,
// never the process: loops that must go on catch their own failures.
class TSimpleThread {
public:
    using TThreadProc = std::function<void(TSimpleThread& thread)>;

    TSimpleThread(bool createSuspended, TThreadProc threadProc);
    ~TSimpleThread();

    TSimpleThread(const TSimpleThread&) = delete;
    TSimpleThread& operator=(const TSimpleThread&) = delete;

    // Starts a thread created suspended; later calls do nothing.
    void Resume();

    bool Terminated() const { return FTerminated.load(std::memory_order_acquire); }
    // Sets Terminated and wakes the procedure without waiting for it, so that
    // an owner can abort what the procedure is blocked in before it joins.
    void Terminate();

    // Returns at once when Terminated; otherwise waits up to `ms` for Wake. Only a
    // Wake that comes while it waits ends it early.
    void WaitForWake(unsigned ms);
    void Wake();

private:
    void Run();

    TThreadProc FThreadProc;
    std::atomic<bool> FTerminated{false};
    std::mutex FLock;                   // guards FWakeEvent and FResumed
    std::condition_variable FChanged;
    bool FWakeEvent = false;
    bool FResumed = false;
    std::thread FThread;
};
