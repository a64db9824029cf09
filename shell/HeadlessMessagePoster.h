#pragma once
// The headless front end's message queue: workers post from any thread without waiting,
// the user-interface thread takes the messages in order.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

#include "foundation/MessagePoster.h"

// Requests from outside the program, queued like the workers' messages.
enum THeadlessRequest : unsigned {
    WM_HEADLESS_EXIT = 11901,         // SIGTERM, SIGINT: the Exit button
    WM_HEADLESS_END_SESSION = 11902,  // SIGHUP: the session ends
};

struct THeadlessMessage {
    unsigned message = 0;
    std::intptr_t wParam = 0;
    std::intptr_t lParam = 0;
};

class THeadlessMessagePoster : public TMessagePoster {
public:
    void Post(unsigned message, std::intptr_t wParam, std::intptr_t lParam) override;

    // The oldest message; False when none arrived within the time-out.
    bool WaitForMessage(THeadlessMessage& message, std::chrono::milliseconds timeout);
    // The oldest message that the filter accepts, if any, without waiting; the others
    // keep their place.
    template <typename Filter>
    bool TakeMessage(THeadlessMessage& message, Filter accepts) {
        std::lock_guard lock(_mutex);
        for (auto it = _queue.begin(); it != _queue.end(); ++it) {
            if (!accepts(it->message)) continue;
            message = *it;
            _queue.erase(it);
            return true;
        }
        return false;
    }

private:
    std::mutex _mutex;
    std::condition_variable _cvPosted;
    std::deque<THeadlessMessage> _queue;
};
