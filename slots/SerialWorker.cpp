#include "SerialWorker.h"

#include "SimpleThread.h"

#include <pthread.h>
#include <system_error>

TSerialWorker::TSerialWorker(std::string name) : FName(std::move(name)) {}

TSerialWorker::~TSerialWorker() { StopBy(std::chrono::steady_clock::time_point::max()); }

void TSerialWorker::Post(std::function<void()> task) {
    {
        std::lock_guard guard(FState->Lock);
        if (FState->Stopping) {
            return;
        }
        FState->Queue.push_back(std::move(task));
    }
    FState->Changed.notify_all();
    std::lock_guard guard(FThreadLock);
    if (!FThread.joinable()) {
        try {
            FThread = std::thread(Run, FState, FName);
        } catch (const std::system_error&) {
            // No thread to be had: the queue is run by the next Post that gets one.
        }
    }
}

bool TSerialWorker::Idle() const {
    std::lock_guard guard(FState->Lock);
    return !FState->Running && FState->Queue.empty();
}

std::uint64_t TSerialWorker::BusyMs() const {
    std::lock_guard guard(FState->Lock);
    return FState->Running ? GetMilliseconds() - FState->RunningSince : 0;
}

bool TSerialWorker::WaitIdle(std::chrono::steady_clock::time_point deadline) const {
    std::unique_lock guard(FState->Lock);
    return FState->Changed.wait_until(guard, deadline, [&] { return !FState->Running && FState->Queue.empty(); });
}

void TSerialWorker::RequestStop() {
    std::lock_guard guard(FState->Lock);
    FState->Stopping = true;
    FState->Queue.clear();
    FState->Changed.notify_all();
}

bool TSerialWorker::StopBy(std::chrono::steady_clock::time_point deadline) {
    RequestStop();
    bool ended = false;
    {
        std::unique_lock guard(FState->Lock);
        ended = FState->Changed.wait_until(guard, deadline, [&] { return FState->Ended || !FState->Running; });
    }
    std::lock_guard guard(FThreadLock);
    if (!FThread.joinable()) {
        return true;
    }
    if (ended) {
        FThread.join();
        return true;
    }
    FThread.detach(); // it owns its share of the state and frees it when its task returns
    return false;
}

void TSerialWorker::Run(std::shared_ptr<TState> state, std::string name) {
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
    std::unique_lock guard(state->Lock);
    for (;;) {
        state->Changed.wait(guard, [&] { return state->Stopping || !state->Queue.empty(); });
        if (state->Stopping) {
            break;
        }
        std::function<void()> task = std::move(state->Queue.front());
        state->Queue.pop_front();
        state->Running = true;
        state->RunningSince = GetMilliseconds();
        guard.unlock();
        try {
            task();
        } catch (...) {
            // Tasks report their own failures; one that escapes must not end the worker.
        }
        task = nullptr; // what it captured goes before the worker reads as idle
        guard.lock();
        state->Running = false;
        state->Changed.notify_all();
    }
    state->Ended = true;
    state->Changed.notify_all();
}
