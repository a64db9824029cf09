#pragma once
// An output for log lines. The log writer hands every batch it drains from the log
// data to each active driver, on the writer's thread.
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "foundation/VeltExceptions.h"

VELT_DECLARE_EXCEPTION(ELogWriteDriver);

class TLogWriteDriver {
public:
    explicit TLogWriteDriver(std::int32_t driverId) : iDriverId(driverId) {}
    virtual ~TLogWriteDriver();
    TLogWriteDriver(const TLogWriteDriver&) = delete;
    TLogWriteDriver& operator=(const TLogWriteDriver&) = delete;

    virtual void WriteLogLine(const std::string& line) = 0;
    // lines: packed records, each a 2-byte little-endian length followed by that many bytes.
    virtual void WriteLogLines(const char* lines, std::int32_t linesNumb) = 0;

    // Flipped by the user interface thread while the writer thread reads it.
    void SetActiveStatus(bool active) { lDriverActive.store(active); }
    bool ActiveStatus() const { return lDriverActive.load(); }
    std::int32_t DriverId() const { return iDriverId; }

    // Calls visit(std::string_view) for each record of a packed batch, in order.
    template <typename Visit>
    static void ForEachRecord(const char* lines, std::int32_t linesNumb, Visit&& visit) {
        const char* cursor = lines;
        for (std::int32_t i = 0; i < linesNumb; ++i) {
            const std::size_t length = static_cast<unsigned char>(cursor[0]) |
                                       static_cast<std::size_t>(static_cast<unsigned char>(cursor[1])) << 8;
            visit(std::string_view(cursor + 2, length));
            cursor += 2 + length;
        }
    }

private:
    std::int32_t iDriverId;
    std::atomic<bool> lDriverActive{false};
};
