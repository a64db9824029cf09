#pragma once
// Appends log lines to a text file (CR LF after each) and keeps the file within its
// size policy: shrink it to its newest part, or move it aside to a numbered file.
#include <cstdint>
#include <string>

#include "log/VeltStraightLogWriteDriver.h"

class TLogWriteDriverDiskFile : public TLogWriteDriver {
public:
    // maxFileSize in MiB: positive shrinks at that size, negative splits at its absolute
    // value, 0 lets the file grow. Raises ELogWriteDriver when the file cannot be opened.
    TLogWriteDriverDiskFile(std::int32_t driverId, std::int32_t maxFileSize, const std::string& fileName);
    ~TLogWriteDriverDiskFile() override;

    // Both raise ELogWriteDriver when the file cannot be written, and after writing when
    // the split numbers have run out.
    void WriteLogLine(const std::string& line) override;
    void WriteLogLines(const char* lines, std::int32_t linesNumb) override;

    static constexpr std::int64_t kMegabyte = 1048576;
    static constexpr std::int32_t kMaxSplitCounter = 999999;

private:
    void OpenFile();
    void CloseFile();
    void ApplySizePolicy();
    void ShrinkFile(std::int64_t size);
    void SplitFile();
    std::string SplitFileName(std::int32_t counter) const;
    bool MoveAside(const std::string& target) const;
    void WriteBatchWithPolicy();
    void WriteAll(const char* data, std::size_t size);

    std::int64_t iMaxFileSize;  // bytes; 64 bits so that large megabyte settings cannot overflow
    std::int32_t iSplitCounter = -1;
    std::string sFileName;
    int fFile = -1;
    // Our own count of the file's length: we are its only writer, and it saves a system
    // call per batch.
    std::int64_t iFileSize = 0;
    std::string sBatch;  // reused so that a batch costs one write and no allocation
};
