#pragma once
// Workers tell the front end that something happened by posting a numbered message;
// they never wait for it to be handled. The Qt front end turns a post into a custom
// event, the headless one into a queue entry, and tests record them.
#include <cstdint>

enum TWindowMessage : unsigned {
    WM_NEWLOGLINES = 11026,
    WM_FILEQUEUED = 11035,
    WM_FILESPROCESSED = 11045,
    WM_SENDINGSTARTED = 11055,
    WM_SENDINGDONE = 11056,
    WM_SENDINGFAILED = 11057,
    WM_NEWVERSIONFOUND = 11065,
};

class TMessagePoster {
public:
    virtual ~TMessagePoster() = default;
    // Must not block and must be safe to call from any thread.
    virtual void Post(unsigned message, std::intptr_t wParam, std::intptr_t lParam) = 0;
};
