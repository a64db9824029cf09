#pragma once
// A growable in-memory store of text lines, each tagged with a positive class number,
// read back in order: all lines, or the lines of one class. Memory grows only in whole
// blocks (line records and text), never per line. Not locked: one thread at a time.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/VeltExceptions.h"

VELT_DECLARE_EXCEPTION(ErrorMemoryStorageSeqLines);

class TMemoryStorageSeqLines {
public:
    // infoIncrNumb: line records per block, clamped into 4096..32768; dataIncrSizeMiB:
    // text block size in MiB, clamped into 1..16. Texts are stored as their UTF-8 bytes.
    TMemoryStorageSeqLines(const std::string& storageName, std::int32_t infoIncrNumb, std::int32_t dataIncrSizeMiB);
    TMemoryStorageSeqLines(const TMemoryStorageSeqLines&) = delete;
    TMemoryStorageSeqLines& operator=(const TMemoryStorageSeqLines&) = delete;

    // Forgets every line and keeps only the first block of each kind.
    void Reset();
    // Raises ErrorMemoryStorageSeqLines for an empty line, a line larger than a text
    // block or a class <= 0; the storage is then unchanged.
    void AddLine(std::int32_t lineClass, const std::string& line);

    // Reading returns "" when there is no line (empty lines cannot be stored).
    void GoTopLine();
    std::string GetCurrentLine();
    // Raises for a class <= 0.
    void GoTopLineForClass(std::int32_t lineClass);
    std::string GetCurrentLineForClass();
    // Line 1..LinesTotal(); does not move the cursors.
    std::string GetLineNo(std::int32_t lineNo) const;

    std::int32_t LinesTotal() const { return _iLinesTotal; }
    std::int32_t InfoIncrNumb() const { return _rInfo.iIncrNumb; }
    std::int32_t DataIncrSize() const { return _rData.iIncrSize; }
    std::size_t InfoBlockCount() const { return _rInfo.lp.size(); }
    std::size_t DataBlockCount() const { return _rData.lp.size(); }

private:
    struct TLineRecord {
        std::int64_t iStart = 0;  // 64 bits: the text stream may pass 2 GiB
        std::int32_t iSize = 0;
        std::int32_t iClass = 0;
    };
    struct TInfo {
        std::int32_t iIncrNumb = 0;
        std::vector<std::unique_ptr<TLineRecord[]>> lp;
    };
    struct TData {
        std::int32_t iIncrSize = 0;
        std::vector<std::unique_ptr<char[]>> lp;
    };

    const TLineRecord& Record(std::int32_t lineNo) const;
    std::string ReadLine(std::int32_t lineNo) const;
    void CheckLineClass(std::int32_t lineClass) const;
    [[noreturn]] void Raise(const std::string& text) const;

    std::string _sStorageName;
    TInfo _rInfo;
    TData _rData;
    std::int32_t _iLinesTotal = 0;
    std::int32_t _iGetLine = 0;
    std::int32_t _iGetLineClass = 0;
    std::int32_t _iCurrentClass = 0;
};
