#include "log/VeltStraightLogData.h"

#include <charconv>
#include <cstring>
#include <limits>
#include <thread>

TLogData::TLogData(std::int32_t capacity, std::int32_t maxLineLength, std::int32_t maxLinesRead,
                   bool withLineNumbering) {
    rLineDefinition.lWithLineNumbering = withLineNumbering;
    rLineDefinition.iLinePrefixLen = withLineNumbering ? kLinePrefixLength : 0;
    // A slot must hold at least one byte, and a record's length must fit its 16 bits.
    if (capacity < 1 || maxLinesRead < 1 || maxLineLength <= rLineDefinition.iLinePrefixLen ||
        maxLineLength > std::numeric_limits<std::uint16_t>::max()) {
        throw ELogData("TLogData error: invalid buffer dimensions");
    }
    iLinesCapacity = capacity;
    rLogLines.iMaxLineLen = maxLineLength - rLineDefinition.iLinePrefixLen;
    rLogLines.asaData.assign(capacity, std::string(rLogLines.iMaxLineLen, ' '));
    rLogLines.aDataLen.assign(capacity, 0);
    rLinesRead.iMaxLines = maxLinesRead;
    rLinesRead.iMaxLinelen = maxLineLength;
    rLinesRead.pData.resize(static_cast<std::size_t>(maxLinesRead) * (maxLineLength + 2));
}

namespace {

// Writers hold the section for a copy of one line: spinning a little while it is busy
// is far cheaper than falling asleep in the kernel and being woken again.
std::unique_lock<std::mutex> EnterBriefly(std::mutex& section) {
    for (int spin = 0; spin < 100; ++spin) {
        if (section.try_lock()) return std::unique_lock(section, std::adopt_lock);
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
    return std::unique_lock(section);
}

}  // namespace

std::int64_t TLogData::CounterValue(const TMTDCounter& counter) { return counter.iNumb.load(std::memory_order_acquire); }

// Only the holder of the counter's section changes it, so a plain store is enough.
void TLogData::CounterIncrement(TMTDCounter& counter) {
    counter.iNumb.store(counter.iNumb.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

std::int64_t TLogData::FreeSlots() const {
    return iLinesCapacity - (CounterValue(rMTDLinesWritten) - CounterValue(rMTDLinesRead));
}

bool TLogData::LineWrite(const std::string& line) {
    const auto length = static_cast<std::int64_t>(line.size());
    const std::int64_t chunks64 = length == 0 ? 1 : (length - 1) / rLogLines.iMaxLineLen + 1;
    // A line larger than the whole ring can never be stored; it waits and drops like any other.
    const auto chunks = static_cast<std::int32_t>(std::min<std::int64_t>(chunks64, std::numeric_limits<std::int32_t>::max()));
    std::chrono::steady_clock::time_point deadline{};  // set at the first wait only: the clock costs
    for (;;) {
        const TStoreResult result = chunks64 <= iLinesCapacity ? TryStoreChunks(line, chunks) : TStoreResult::NoRoom;
        if (result == TStoreResult::Stored) return true;
        if (result == TStoreResult::StoredPastHalf) {
            WakeReader();
            return true;
        }
        WakeReader();
        if (deadline == std::chrono::steady_clock::time_point{}) {
            deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWriteWaitMilliseconds);
        }
        if (!WaitForRoom(chunks, deadline)) return false;
    }
}

bool TLogData::LineWrite1(const std::string& line) { return LineWrite(line); }

TLogData::TStoreResult TLogData::TryStoreChunks(const std::string& line, std::int32_t chunks) {
    std::unique_lock section = EnterBriefly(rMTDLinesWritten.csSection);
    const std::int64_t written = CounterValue(rMTDLinesWritten);
    const std::int64_t unread = written - CounterValue(rMTDLinesRead);
    if (iLinesCapacity - unread < chunks) return TStoreResult::NoRoom;
    const std::size_t maxLen = rLogLines.iMaxLineLen;
    for (std::int32_t j = 0; j < chunks; ++j) {
        const std::size_t from = j * maxLen;
        const std::size_t size = std::min(maxLen, line.size() - std::min(from, line.size()));
        const std::size_t slot = (written + j) % iLinesCapacity;
        std::memcpy(rLogLines.asaData[slot].data(), line.data() + from, size);
        rLogLines.aDataLen[slot] = static_cast<std::uint16_t>(size);
        // The slot is complete before the reader can see it through the counter.
        CounterIncrement(rMTDLinesWritten);
    }
    const std::int64_t half = iLinesCapacity / 2;
    return unread < half && unread + chunks >= half ? TStoreResult::StoredPastHalf : TStoreResult::Stored;
}

// Sleeps outside the writers' section until the reader has made room or the deadline passes.
bool TLogData::WaitForRoom(std::int32_t chunks, std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(mRoom);
    ++iRoomWaiters;
    std::atomic_thread_fence(std::memory_order_seq_cst);  // the other half of WakeWriters' fence
    const bool hasRoom = cvRoom.wait_until(lock, deadline, [&] { return FreeSlots() >= chunks; });
    --iRoomWaiters;
    return hasRoom;
}

void TLogData::WakeReader() {
    std::lock_guard lock(mReaderWakeup);
    if (fReaderWakeup) fReaderWakeup();
}

void TLogData::WakeWriters(std::int64_t unreadLeft) {
    // Waking the waiting writers for every batch would have them fight over a few free
    // slots; let the reader get ahead to half the ring first (or to empty, for a long line).
    if (unreadLeft > iLinesCapacity / 2) return;
    // Pairs with the waiter's increment before it checks for room: either it sees the
    // room made just now, or this sees it waiting. Without the fence both could miss.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (iRoomWaiters.load() == 0) return;
    std::lock_guard lock(mRoom);
    cvRoom.notify_all();
}

void TLogData::SetReaderWakeup(std::function<void()> wakeup) {
    std::lock_guard lock(mReaderWakeup);
    fReaderWakeup = std::move(wakeup);
}

std::size_t TLogData::ComposeChunk(std::int64_t position, char* target) const {
    const std::size_t slot = position % iLinesCapacity;
    std::size_t length = 0;
    if (rLineDefinition.lWithLineNumbering) {
        std::memset(target, ' ', kLinePrefixLength);
        char digits[24];
        const auto [end, error] = std::to_chars(digits, digits + sizeof digits, position + 1);
        std::memcpy(target, digits, std::min<std::size_t>(end - digits, kLinePrefixLength - 1));
        length = kLinePrefixLength;
    }
    std::memcpy(target + length, rLogLines.asaData[slot].data(), rLogLines.aDataLen[slot]);
    return length + rLogLines.aDataLen[slot];
}

bool TLogData::LineRead(std::string& line) {
    std::int64_t unreadLeft = 0;
    {
        std::lock_guard section(rMTDLinesRead.csSection);
        const std::int64_t read = CounterValue(rMTDLinesRead);
        const std::int64_t written = CounterValue(rMTDLinesWritten);
        if (written - read <= 0) return false;
        line.resize(rLinesRead.iMaxLinelen);
        line.resize(ComposeChunk(read, line.data()));
        CounterIncrement(rMTDLinesRead);
        unreadLeft = written - read - 1;
    }
    WakeWriters(unreadLeft);
    return true;
}

const char* TLogData::LinesRead(std::int32_t& linesNumb) {
    std::int64_t unreadLeft = 0;
    {
        std::lock_guard section(rMTDLinesRead.csSection);
        const std::int64_t read = CounterValue(rMTDLinesRead);
        const std::int64_t unread = CounterValue(rMTDLinesWritten) - read;
        if (unread <= 0) {
            linesNumb = 0;
            return nullptr;
        }
        const auto count = static_cast<std::int32_t>(std::min<std::int64_t>(unread, rLinesRead.iMaxLines));
        char* cursor = rLinesRead.pData.data();
        for (std::int32_t i = 0; i < count; ++i) {
            const std::size_t length = ComposeChunk(read + i, cursor + 2);
            cursor[0] = static_cast<char>(length & 0xFF);
            cursor[1] = static_cast<char>((length >> 8) & 0xFF);
            cursor += 2 + length;
            CounterIncrement(rMTDLinesRead);
        }
        linesNumb = count;
        unreadLeft = unread - count;
    }
    WakeWriters(unreadLeft);
    return rLinesRead.pData.data();
}
