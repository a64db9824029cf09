#pragma once
// The requests to end that reach a program without windows: SIGTERM and SIGINT ask it to
// exit, SIGHUP tells it that the session ends. They are taken from the kernel by one
// watcher thread and handed on as calls, so the program reacts on its own terms instead
// of inside a signal handler.
#include <signal.h>

#include <atomic>
#include <functional>
#include <thread>

namespace platform {

enum class TTerminationRequest { Exit, EndOfSession };

class TTerminationSignalWatcher {
public:
    static constexpr int kPollMilliseconds = 200;

    // Blocks the three signals in the calling thread, so every thread it starts later
    // inherits the block; create the watcher before any other thread. A signal that is
    // ignored when the watcher is made is left alone. Writing to a closed
    // pipe then fails with an error instead of ending the program. onRequest runs on the
    // watcher's thread and must not block.
    explicit TTerminationSignalWatcher(std::function<void(TTerminationRequest)> onRequest);
    // Ends the watcher and restores the calling thread's signal mask.
    ~TTerminationSignalWatcher();
    TTerminationSignalWatcher(const TTerminationSignalWatcher&) = delete;
    TTerminationSignalWatcher& operator=(const TTerminationSignalWatcher&) = delete;

private:
    void Execute();

    std::function<void(TTerminationRequest)> _fOnRequest;
    sigset_t _rWatched;
    sigset_t _rPreviousMask;
    std::atomic<bool> _lStop{false};
    std::thread _thread;
};

}  // namespace platform
