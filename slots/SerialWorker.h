#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

// A thread of its own that runs posted tasks one after another, in the order
// posted. A slot's work that may block on its folder (a network mount that
// hangs, a disk that stalls) runs on one, so that it holds up that slot alone.
//
// Threads: every method may be called from any thread. The state lives in a
// block shared with the thread, so that a thread stuck in a task can be left
// behind (StopBy) without anything it touches being freed under it. The thread
// starts with the first task: a worker that is never posted to costs nothing.
class TSerialWorker {
public:
    explicit TSerialWorker(std::string name);
    // StopBy with no limit: waits for the running task, drops what is queued.
    ~TSerialWorker();

    TSerialWorker(const TSerialWorker&) = delete;
    TSerialWorker& operator=(const TSerialWorker&) = delete;

    // Queues `task`; a task that throws is caught and forgotten (tasks report
    // their own failures). Does nothing once stopping.
    void Post(std::function<void()> task);
    // No task running or queued.
    bool Idle() const;
    // How long the running task has run so far, in milliseconds; 0 when none runs.
    std::uint64_t BusyMs() const;
    // Waits until Idle or `deadline`; true when idle.
    bool WaitIdle(std::chrono::steady_clock::time_point deadline) const;
    // Drops the queue; what runs goes on, and nothing is run after it.
    void RequestStop();
    // Drops the queue and ends the thread once its task returns, waiting until
    // `deadline`. False when the task is still running then: the thread is
    // left to end on its own, and the owner must leave alone what it uses.
    bool StopBy(std::chrono::steady_clock::time_point deadline);

private:
    struct TState {
        mutable std::mutex Lock; // guards every field below
        std::condition_variable Changed;
        std::deque<std::function<void()>> Queue;
        bool Running = false;          // a task is being run
        std::uint64_t RunningSince = 0; // GetMilliseconds() when it began
        bool Stopping = false;
        bool Ended = false; // the thread has returned
    };
    static void Run(std::shared_ptr<TState> state, std::string name);

    const std::string FName;
    const std::shared_ptr<TState> FState = std::make_shared<TState>();
    std::mutex FThreadLock; // guards FThread: started by the first Post
    std::thread FThread;
};
