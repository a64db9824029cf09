#pragma once
// A worker thread that runs one pass, then naps in 200 ms steps before the next, until it
// is terminated. Termination is noticed at the next nap, never in the middle of a pass;
// while "waiting" the passes are skipped but the naps go on.
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class TPassThread {
public:
    static constexpr int kNapMilliseconds = 200;

    // `napsBetweenPasses` is at least 1, so that no configuration can make a busy loop.
    TPassThread(std::string threadName, int napsBetweenPasses, std::function<void()> pass);
    ~TPassThread();  // terminates and waits
    TPassThread(const TPassThread&) = delete;
    TPassThread& operator=(const TPassThread&) = delete;

    void Start();
    // Asks the thread to end and waits until it has; a pass in progress is finished first.
    void Terminate();
    void SetWait(bool wait) { _lWait.store(wait); }
    bool Waiting() const { return _lWait.load(); }

private:
    void Execute();
    // False when the nap ended because termination was asked.
    bool Nap();

    const std::string _sThreadName;
    const int _iNapsBetweenPasses;
    const std::function<void()> _pPass;
    std::atomic<bool> _lWait{false};
    std::mutex _mNap;
    std::condition_variable _cvNap;
    bool _lTerminated = false;
    std::thread _thread;
};
