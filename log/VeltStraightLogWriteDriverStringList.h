#pragma once
// Keeps the newest log lines in a ring in memory for the main window: the writer thread
// stores, the user interface thread fetches, and each store posts WM_NEWLOGLINES.
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "foundation/MessagePoster.h"
#include "log/VeltStraightLogWriteDriver.h"

class TLogWriteDriverStringList : public TLogWriteDriver {
public:
    // poster may be null (nobody to tell). Raises ELogWriteDriver when maxLines < 1.
    TLogWriteDriverStringList(std::int32_t driverId, std::int32_t maxLines, TMessagePoster* poster);

    void WriteLogLine(const std::string& line) override;
    void WriteLogLines(const char* lines, std::int32_t linesNumb) override;

    // The oldest unread line and its 1-based number; False, "" and 0 when none.
    bool ReadLogLine(std::string& line, std::int32_t& id);
    // Moves the newest unread lines (at most maxCapacity) to the end of lines, which keeps at
    // most maxCapacity entries. id is the caller's last received line number (start with -1);
    // when lines were missed since then, lines is cleared first.
    void ReadLogLines(std::int32_t maxCapacity, std::vector<std::string>& lines, std::int32_t& id);

private:
    struct TMTDCounter {
        std::int64_t iNumb = 0;
        mutable std::shared_mutex mSyn;
    };
    std::int64_t WrittenCount() const;
    std::string& Slot(std::int64_t position) { return asLines[position % iMaxLines]; }
    void Notify();

    std::vector<std::string> asLines;
    std::int32_t iMaxLines;
    TMTDCounter rMTDRead;
    TMTDCounter rMTDWritten;
    std::mutex csWrite;
    std::mutex csRead;
    TMessagePoster* oPoster;
};
