#include "foundation/platform/TerminationSignals.h"

#include <ctime>

#include "foundation/platform/ThreadName.h"

namespace platform {

TTerminationSignalWatcher::TTerminationSignalWatcher(std::function<void(TTerminationRequest)> onRequest)
    : _fOnRequest(std::move(onRequest)) {
    sigemptyset(&_rWatched);
    for (const int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
        // A signal our starter chose to ignore stays ignored: nohup, or a job started in
        // the background of a script, which must not end with the terminal's Ctrl+C.
        struct sigaction current {};
        if (sigaction(signalNumber, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
        sigaddset(&_rWatched, signalNumber);
    }
    pthread_sigmask(SIG_BLOCK, &_rWatched, &_rPreviousMask);
    signal(SIGPIPE, SIG_IGN);
    _thread = std::thread([this] { Execute(); });
}

TTerminationSignalWatcher::~TTerminationSignalWatcher() {
    _lStop = true;
    if (_thread.joinable()) _thread.join();
    pthread_sigmask(SIG_SETMASK, &_rPreviousMask, nullptr);
}

void TTerminationSignalWatcher::Execute() {
    SetCurrentThreadName("THREADSIGNALS");
    // A short timed wait, so that the destructor is noticed without a signal of its own.
    const timespec poll{0, kPollMilliseconds * 1000000L};
    while (!_lStop) {
        const int signalNumber = sigtimedwait(&_rWatched, nullptr, &poll);
        if (signalNumber < 0) continue;
        _fOnRequest(signalNumber == SIGHUP ? TTerminationRequest::EndOfSession : TTerminationRequest::Exit);
    }
}

}  // namespace platform
