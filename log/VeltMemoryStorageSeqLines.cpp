#include "log/VeltMemoryStorageSeqLines.h"

#include <algorithm>
#include <cstring>

#include "foundation/VeltUtilsIntegerOperations.h"

namespace {
constexpr std::int32_t kMebibyte = 1048576;
}

TMemoryStorageSeqLines::TMemoryStorageSeqLines(const std::string& storageName, std::int32_t infoIncrNumb,
                                               std::int32_t dataIncrSizeMiB)
    : _sStorageName(storageName) {
    _rInfo.iIncrNumb = ClampToRange(infoIncrNumb, 4096, 32768);
    _rData.iIncrSize = ClampToRange(dataIncrSizeMiB, 1, 16) * kMebibyte;
    _rInfo.lp.push_back(std::make_unique_for_overwrite<TLineRecord[]>(_rInfo.iIncrNumb));
    _rData.lp.push_back(std::make_unique_for_overwrite<char[]>(_rData.iIncrSize));
    Reset();
}

void TMemoryStorageSeqLines::Reset() {
    _iLinesTotal = 0;
    _iGetLineClass = 0;
    _iGetLine = 0;
    _iCurrentClass = 0;
    _rInfo.lp.resize(1);
    _rData.lp.resize(1);
}

void TMemoryStorageSeqLines::AddLine(std::int32_t lineClass, const std::string& line) {
    if (line.empty()) Raise(": empty line to add to storage " + _sStorageName);
    if (line.size() > static_cast<std::size_t>(_rData.iIncrSize)) {
        Raise(": too big line ( " + std::to_string(line.size()) + "B ) to add to storage " + _sStorageName +
              " ( max.allowed size is " + std::to_string(_rData.iIncrSize) + "B )");
    }
    CheckLineClass(lineClass);

    TLineRecord record;
    if (_iLinesTotal > 0) record.iStart = Record(_iLinesTotal).iStart + Record(_iLinesTotal).iSize;
    record.iSize = static_cast<std::int32_t>(line.size());
    record.iClass = lineClass;

    // Blocks are allocated before anything changes, so a failed allocation leaves the
    // storage as it was.
    const std::int64_t blockSize = _rData.iIncrSize;
    const std::size_t lastDataBlock = static_cast<std::size_t>((record.iStart + record.iSize - 1) / blockSize);
    std::unique_ptr<TLineRecord[]> newInfoBlock;
    std::unique_ptr<char[]> newDataBlock;
    if (static_cast<std::int64_t>(_rInfo.lp.size()) * _rInfo.iIncrNumb == _iLinesTotal) {
        newInfoBlock = std::make_unique_for_overwrite<TLineRecord[]>(_rInfo.iIncrNumb);
    }
    if (lastDataBlock >= _rData.lp.size()) newDataBlock = std::make_unique_for_overwrite<char[]>(_rData.iIncrSize);

    if (newInfoBlock) _rInfo.lp.push_back(std::move(newInfoBlock));
    if (newDataBlock) _rData.lp.push_back(std::move(newDataBlock));
    const std::int32_t index = _iLinesTotal;
    _rInfo.lp[index / _rInfo.iIncrNumb][index % _rInfo.iIncrNumb] = record;
    ++_iLinesTotal;

    // A line is never larger than a block, so it touches at most two blocks.
    const std::size_t block = static_cast<std::size_t>(record.iStart / blockSize);
    const std::size_t offset = static_cast<std::size_t>(record.iStart % blockSize);
    const std::size_t firstPart = std::min(line.size(), static_cast<std::size_t>(blockSize) - offset);
    std::memcpy(_rData.lp[block].get() + offset, line.data(), firstPart);
    if (firstPart < line.size()) std::memcpy(_rData.lp[block + 1].get(), line.data() + firstPart, line.size() - firstPart);
}

void TMemoryStorageSeqLines::GoTopLine() { _iGetLine = _iLinesTotal > 0 ? 1 : 0; }

std::string TMemoryStorageSeqLines::GetCurrentLine() {
    if (_iGetLine < 1 || _iGetLine > _iLinesTotal) return "";
    return ReadLine(_iGetLine++);
}

void TMemoryStorageSeqLines::GoTopLineForClass(std::int32_t lineClass) {
    CheckLineClass(lineClass);
    _iCurrentClass = 0;
    _iGetLineClass = 0;
    for (std::int32_t n = 1; n <= _iLinesTotal; ++n) {
        if (Record(n).iClass == lineClass) {
            _iCurrentClass = lineClass;
            _iGetLineClass = n;
            return;
        }
    }
}

std::string TMemoryStorageSeqLines::GetCurrentLineForClass() {
    if (_iCurrentClass == 0 || _iGetLineClass == 0 || _iGetLineClass > _iLinesTotal) return "";
    for (std::int32_t n = _iGetLineClass; n <= _iLinesTotal; ++n) {
        if (Record(n).iClass == _iCurrentClass) {
            _iGetLineClass = n + 1;
            return ReadLine(n);
        }
    }
    _iCurrentClass = 0;
    return "";
}

std::string TMemoryStorageSeqLines::GetLineNo(std::int32_t lineNo) const {
    if (lineNo < 1 || lineNo > _iLinesTotal) return "";
    return ReadLine(lineNo);
}

const TMemoryStorageSeqLines::TLineRecord& TMemoryStorageSeqLines::Record(std::int32_t lineNo) const {
    const std::int32_t index = lineNo - 1;
    return _rInfo.lp[index / _rInfo.iIncrNumb][index % _rInfo.iIncrNumb];
}

std::string TMemoryStorageSeqLines::ReadLine(std::int32_t lineNo) const {
    const TLineRecord& record = Record(lineNo);
    const std::int64_t blockSize = _rData.iIncrSize;
    const std::size_t block = static_cast<std::size_t>(record.iStart / blockSize);
    const std::size_t offset = static_cast<std::size_t>(record.iStart % blockSize);
    const std::size_t size = static_cast<std::size_t>(record.iSize);
    const std::size_t firstPart = std::min(size, static_cast<std::size_t>(blockSize) - offset);
    std::string text(_rData.lp[block].get() + offset, firstPart);
    if (firstPart < size) text.append(_rData.lp[block + 1].get(), size - firstPart);
    return text;
}

void TMemoryStorageSeqLines::CheckLineClass(std::int32_t lineClass) const {
    if (lineClass <= 0) Raise(": bad line class ( " + std::to_string(lineClass) + " ) in storage " + _sStorageName);
}

void TMemoryStorageSeqLines::Raise(const std::string& text) const {
    throw ErrorMemoryStorageSeqLines("TMemoryStorageSeqLines" + text);
}
