#pragma once
// A message poster that remembers every post, in order, for the test to inspect.
#include <mutex>
#include <vector>

#include "foundation/MessagePoster.h"

struct TPostedMessage {
    unsigned message;
    std::intptr_t wParam;
    std::intptr_t lParam;
};

class TRecordingPoster : public TMessagePoster {
public:
    void Post(unsigned message, std::intptr_t wParam, std::intptr_t lParam) override {
        std::lock_guard lock(_mutex);
        _posted.push_back({message, wParam, lParam});
    }
    std::vector<TPostedMessage> Posted() const {
        std::lock_guard lock(_mutex);
        return _posted;
    }
    std::size_t Count(unsigned message) const {
        std::lock_guard lock(_mutex);
        std::size_t n = 0;
        for (const auto& p : _posted) n += p.message == message;
        return n;
    }

private:
    mutable std::mutex _mutex;
    std::vector<TPostedMessage> _posted;
};
