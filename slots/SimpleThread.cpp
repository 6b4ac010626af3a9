#include "SimpleThread.h"

#include <ctime>

std::uint64_t CounterToMilliseconds(std::uint64_t counter, std::uint64_t frequency) {
    if (frequency == 0) {
        return 0;
    }
    constexpr std::uint64_t Limit = UINT64_MAX / 1000;
    if (counter < Limit) {
        return counter * 1000 / frequency;
    }
    const std::uint64_t perMs = frequency / 1000;
    return perMs == 0 ? counter * (1000 / frequency) : counter / perMs;
}

std::uint64_t GetMilliseconds() {
    timespec ts{};
    if (clock_gettime(CLOCK_BOOTTIME, &ts) != 0) {
        clock_gettime(CLOCK_MONOTONIC, &ts);
    }
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

TSimpleThread::TSimpleThread(bool createSuspended, TThreadProc threadProc)
    : FThreadProc(std::move(threadProc)), FThread(&TSimpleThread::Run, this) {
    if (!createSuspended) {
        Resume();
    }
}

TSimpleThread::~TSimpleThread() {
    Terminate();
    Resume(); // a thread never resumed still has to run to its end
    if (FThread.joinable()) {
        FThread.join();
    }
}

void TSimpleThread::Terminate() {
    FTerminated.store(true, std::memory_order_release);
    Wake();
}

void TSimpleThread::Resume() {
    std::lock_guard guard(FLock);
    if (!FResumed) {
        FResumed = true;
        FChanged.notify_all();
    }
}

void TSimpleThread::Run() {
    {
        std::unique_lock lock(FLock);
        FChanged.wait(lock, [this] { return FResumed; });
    }
    try {
        if (FThreadProc) {
            FThreadProc(*this);
        }
    } catch (...) {
        // Nothing to report to from here; the owner notices the thread's work stopped.
    }
}

void TSimpleThread::WaitForWake(unsigned ms) {
    if (Terminated()) {
        return;
    }
    std::unique_lock lock(FLock);
    FWakeEvent = false;
    // Terminated is set before Wake takes FLock, so checking it here too means a
    // stop that lands just before the wait does not cost a whole period.
    FChanged.wait_for(lock, std::chrono::milliseconds(ms), [this] { return FWakeEvent || Terminated(); });
    FWakeEvent = false;
}

void TSimpleThread::Wake() {
    std::lock_guard guard(FLock);
    FWakeEvent = true;
    FChanged.notify_all();
}
