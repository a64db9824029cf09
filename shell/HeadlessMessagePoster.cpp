#include "shell/HeadlessMessagePoster.h"

void THeadlessMessagePoster::Post(unsigned message, std::intptr_t wParam, std::intptr_t lParam) {
    {
        std::lock_guard lock(_mutex);
        _queue.push_back({message, wParam, lParam});
    }
    _cvPosted.notify_one();
}

bool THeadlessMessagePoster::WaitForMessage(THeadlessMessage& message, std::chrono::milliseconds timeout) {
    std::unique_lock lock(_mutex);
    if (!_cvPosted.wait_for(lock, timeout, [this] { return !_queue.empty(); })) return false;
    message = _queue.front();
    _queue.pop_front();
    return true;
}
