#include "log/VeltStraightLogWriteDriverStringList.h"

#include <algorithm>

TLogWriteDriverStringList::TLogWriteDriverStringList(std::int32_t driverId, std::int32_t maxLines,
                                                     TMessagePoster* poster)
    : TLogWriteDriver(driverId), iMaxLines(maxLines), oPoster(poster) {
    if (maxLines < 1) {
        throw ELogWriteDriver("TLogWriteDriverStringList error: cannot create string list log write driver, "
                              "at least one line needed");
    }
    asLines.resize(maxLines);
}

std::int64_t TLogWriteDriverStringList::WrittenCount() const {
    std::shared_lock lock(rMTDWritten.mSyn);
    return rMTDWritten.iNumb;
}

void TLogWriteDriverStringList::Notify() {
    if (oPoster != nullptr) oPoster->Post(WM_NEWLOGLINES, 0, 0);
}

void TLogWriteDriverStringList::WriteLogLine(const std::string& line) {
    {
        std::lock_guard section(csWrite);
        const std::int64_t written = WrittenCount();
        {
            std::unique_lock readLock(rMTDRead.mSyn);
            if (written - rMTDRead.iNumb >= iMaxLines) ++rMTDRead.iNumb;  // drop the oldest unread line
        }
        std::unique_lock writeLock(rMTDWritten.mSyn);
        Slot(written) = line;
        ++rMTDWritten.iNumb;
    }
    Notify();
}

void TLogWriteDriverStringList::WriteLogLines(const char* lines, std::int32_t linesNumb) {
    const std::int32_t kept = std::min(iMaxLines, linesNumb);
    if (kept <= 0) return;
    {
        std::lock_guard section(csWrite);
        const std::int64_t written = WrittenCount();
        {
            std::unique_lock readLock(rMTDRead.mSyn);
            const std::int64_t free = iMaxLines - (written - rMTDRead.iNumb);
            if (free < kept) rMTDRead.iNumb += kept - free;  // drop the oldest unread lines
        }
        // Holding the written lock while filling means a reader never sees half a batch.
        std::unique_lock writeLock(rMTDWritten.mSyn);
        std::int32_t index = 0;
        const std::int32_t skipped = linesNumb - kept;  // a batch larger than the ring keeps its tail
        ForEachRecord(lines, linesNumb, [&](std::string_view record) {
            if (index >= skipped) Slot(written + index - skipped).assign(record);
            ++index;
        });
        rMTDWritten.iNumb += kept;
    }
    Notify();
}

bool TLogWriteDriverStringList::ReadLogLine(std::string& line, std::int32_t& id) {
    std::lock_guard section(csRead);
    std::unique_lock readLock(rMTDRead.mSyn);
    if (rMTDRead.iNumb >= WrittenCount()) {
        line.clear();
        id = 0;
        return false;
    }
    line = Slot(rMTDRead.iNumb);
    ++rMTDRead.iNumb;
    id = static_cast<std::int32_t>(rMTDRead.iNumb);
    return true;
}

void TLogWriteDriverStringList::ReadLogLines(std::int32_t maxCapacity, std::vector<std::string>& lines,
                                             std::int32_t& id) {
    std::lock_guard section(csRead);
    std::unique_lock readLock(rMTDRead.mSyn);
    const std::int64_t read = rMTDRead.iNumb;
    const std::int64_t available = WrittenCount() - read;
    const std::int64_t take = std::min<std::int64_t>(maxCapacity, available);
    if (take <= 0) return;
    if (id < read) lines.clear();
    const std::int64_t surplus = static_cast<std::int64_t>(lines.size()) + take - maxCapacity;
    if (surplus > 0) lines.erase(lines.begin(), lines.begin() + surplus);
    for (std::int64_t position = read + available - take; position < read + available; ++position) {
        lines.push_back(Slot(position));
    }
    // Lines beyond the caller's capacity are consumed as well.
    rMTDRead.iNumb = read + available;
    id = static_cast<std::int32_t>(rMTDRead.iNumb);
}
