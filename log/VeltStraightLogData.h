#pragma once
// The one log line buffer of the program: a fixed ring of pre-allocated slots that
// any thread writes into and the log writer thread drains in batches. Writers never
// allocate slot memory and never wait for the disk; a full ring makes a writer wait
// a bounded time and then drop its line.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/VeltExceptions.h"

VELT_DECLARE_EXCEPTION(ELogData);

class TLogData {
public:
    // Raises ELogData when the sizes leave no room for text or exceed 16-bit record lengths.
    TLogData(std::int32_t capacity, std::int32_t maxLineLength, std::int32_t maxLinesRead, bool withLineNumbering);
    TLogData(const TLogData&) = delete;
    TLogData& operator=(const TLogData&) = delete;

    // Stores the line, split into chunks of at most one slot each, in consecutive slots.
    // Waits at most 500 ms for room; False when the line was dropped.
    bool LineWrite(const std::string& line);
    // For callers holding wide text: ours is UTF-8 already, so this is LineWrite.
    bool LineWrite1(const std::string& line);
    // The oldest unread chunk with its number prefix; False (line untouched) when none.
    bool LineRead(std::string& line);
    // Up to the batch size of oldest unread chunks, packed as 2-byte little-endian length
    // plus bytes; nullptr and 0 when none. Valid until the next call.
    const char* LinesRead(std::int32_t& linesNumb);

    // The single reader may ask to be woken when writers run short of room (the ring is
    // half full, or a writer has to wait), so that it need not poll faster to keep up.
    // Called on a writer's thread; must be quick and must not write log lines.
    void SetReaderWakeup(std::function<void()> wakeup);

    static constexpr std::int32_t kLinePrefixLength = 13;
    static constexpr int kWriteWaitMilliseconds = 500;

private:
    struct TLogLines {
        std::vector<std::string> asaData;
        std::vector<std::uint16_t> aDataLen;
        std::int32_t iMaxLineLen = 0;
    };
    struct TLinesRead {
        std::vector<char> pData;
        std::int32_t iMaxLines = 0;
        std::int32_t iMaxLinelen = 0;
    };
    // One side changes the counter, the other reads it: an atomic with release/acquire
    // order is the multi-reader lock around one integer, without the lock's cost. The
    // store that advances it also publishes the slots filled or freed before it.
    struct TMTDCounter {
        std::atomic<std::int64_t> iNumb{0};
        std::mutex csSection;
    };
    struct TLineDefinition {
        std::int32_t iLinePrefixLen = 0;
        bool lWithLineNumbering = false;
    };
    enum class TStoreResult { Stored, StoredPastHalf, NoRoom };

    static std::int64_t CounterValue(const TMTDCounter& counter);
    static void CounterIncrement(TMTDCounter& counter);
    std::int64_t FreeSlots() const;
    TStoreResult TryStoreChunks(const std::string& line, std::int32_t chunks);
    bool WaitForRoom(std::int32_t chunks, std::chrono::steady_clock::time_point deadline);
    void WakeReader();
    void WakeWriters(std::int64_t unreadLeft);
    // Writes prefix (when numbering is on) and chunk of the given position; returns its length.
    std::size_t ComposeChunk(std::int64_t position, char* target) const;

    TLogLines rLogLines;
    TLinesRead rLinesRead;
    TMTDCounter rMTDLinesRead;
    TMTDCounter rMTDLinesWritten;
    TLineDefinition rLineDefinition;
    std::int32_t iLinesCapacity = 0;

    // Writers waiting for room sleep here; the reader wakes them after consuming.
    std::mutex mRoom;
    std::condition_variable cvRoom;
    std::atomic<std::int32_t> iRoomWaiters{0};
    std::mutex mReaderWakeup;
    std::function<void()> fReaderWakeup;
};
