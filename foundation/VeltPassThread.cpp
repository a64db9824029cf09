#include "foundation/VeltPassThread.h"

#include <algorithm>
#include <chrono>

#include "foundation/platform/ThreadName.h"

TPassThread::TPassThread(std::string threadName, int napsBetweenPasses, std::function<void()> pass)
    : _sThreadName(std::move(threadName)), _iNapsBetweenPasses(std::max(1, napsBetweenPasses)), _pPass(std::move(pass)) {}

TPassThread::~TPassThread() { Terminate(); }

void TPassThread::Start() { _thread = std::thread([this] { Execute(); }); }

void TPassThread::Terminate() {
    {
        std::lock_guard lock(_mNap);
        _lTerminated = true;
    }
    _cvNap.notify_all();
    if (_thread.joinable()) _thread.join();
}

void TPassThread::Execute() {
    platform::SetCurrentThreadName(_sThreadName);
    for (;;) {
        if (!Waiting()) _pPass();
        for (int nap = 0; nap < _iNapsBetweenPasses; ++nap) {
            if (!Nap()) return;
        }
    }
}

bool TPassThread::Nap() {
    std::unique_lock lock(_mNap);
    _cvNap.wait_for(lock, std::chrono::milliseconds(kNapMilliseconds), [this] { return _lTerminated; });
    return !_lTerminated;
}
