#include "collect/OFileQueue.h"

#include <filesystem>
#include <functional>
#include <thread>

#include "foundation/VeltDigitalStamps.h"
#include "foundation/VeltEnvironment.h"
#include "foundation/VeltUtilsStringOperations.h"

namespace fs = std::filesystem;

namespace {

// Deletes the plain files of `directory` whose names `matches` accepts; failures are
// of no interest, a file gone meanwhile is simply not there any more.
void DeleteFilesWhere(const fs::path& directory, const std::function<bool(const std::string&)>& matches) {
    std::error_code ec;
    for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code typeError;
        if (it->is_directory(typeError)) continue;
        if (matches(it->path().filename().string())) fs::remove(it->path(), typeError);
    }
}

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// What the update check leaves behind: its archive and the installer unpacked from it
// ("i_" + base + "_" + version, no extension on Linux).
void DeleteUpdateLeftovers(const fs::path& directory, const std::string& baseName) {
    const std::string archive = "i_" + baseName + ".zip";
    const std::string installerPrefix = "i_" + baseName + "_";
    DeleteFilesWhere(directory, [&](const std::string& name) {
        return name == archive || StartsWith(name, installerPrefix);
    });
}

bool IsDirectory(const fs::path& path) {
    std::error_code ec;
    return fs::is_directory(path, ec);
}

}  // namespace

TFileQueue::TFileQueue(const TEnvironment& environment, const std::string& awayMutexName)
    : _muForAwayAndFindFile(awayMutexName) {
    CleanTemporaryFiles(environment);
}

void TFileQueue::CleanTemporaryFiles(const TEnvironment& environment) {
    const std::string& baseName = environment.ProgramData().sProgramBaseName;

    const fs::path common = environment.Paths().sCommonApplicationData + "Temp";
    if (IsDirectory(common)) {
        DeleteUpdateLeftovers(common, baseName);
        DeleteFilesWhere(common, [](const std::string& name) { return EndsWith(name, ".sfv"); });
    }
    const fs::path local = TrimTrailingChar(environment.Paths().sUserLocalTemp, '/');
    if (!local.empty() && IsDirectory(local)) DeleteUpdateLeftovers(local, baseName);
}

bool TFileQueue::PutFile(std::int32_t iBookingType, std::int32_t iDataRow, std::int32_t iSize,
                         const std::string& sName, const std::string& sCrc32, const std::string& sMd5,
                         const std::string& sSha1) {
    if (sName.size() > kMaxNameLength) return false;
    TFileQueueEntry entry;
    entry.iBookingType = iBookingType;
    entry.iDataRow = iDataRow;
    entry.sName = sName;
    entry.sNameMD5 = StampMd5(sName);
    entry.Crc32 = sCrc32.substr(0, 8);
    entry.sContentsMD5 = sMd5.substr(0, 32);
    entry.sContentsSha1 = sSha1.substr(0, 40);
    entry.iSize = iSize;

    for (int attempt = 1; attempt <= kPutAttempts; ++attempt) {
        if (TryPut(entry)) return true;
        if (attempt < kPutAttempts) std::this_thread::sleep_for(std::chrono::milliseconds(kPutPauseMilliseconds));
    }
    return false;
}

bool TFileQueue::TryPut(const TFileQueueEntry& entry) {
    std::lock_guard guard(_csForPut);
    const std::int64_t put = _iFilesPut.load(std::memory_order_relaxed);
    // The away counter only grows: a value read too early makes the queue look fuller.
    if (put - _iFilesAway.load(std::memory_order_acquire) >= kMaxFiles) return false;
    Slot(put) = entry;
    _iFilesPut.store(put + 1, std::memory_order_release);
    return true;
}

bool TFileQueue::FindFile(std::int32_t iBookingType, const std::string& sName) {
    if (FileCount() < 1) return false;
    if (!_muForAwayAndFindFile.Get(kMutexWaitMilliseconds)) return true;

    const std::string nameMd5 = StampMd5(sName);
    bool found = false;
    // Bounds read under the mutex: an AwayFiles that ran meanwhile has moved the old end.
    const std::int64_t put = FilesPut();
    for (std::int64_t number = FilesAway(); number < put && !found; ++number) {
        const TFileQueueEntry& entry = Slot(number);
        found = entry.iBookingType == iBookingType && entry.sNameMD5 == nameMd5;
    }
    _muForAwayAndFindFile.Release();
    return found;
}

std::int32_t TFileQueue::FileCount() const {
    const std::int64_t away = FilesAway();
    const std::int64_t count = FilesPut() - away;
    return count < 0 ? 0 : static_cast<std::int32_t>(count);
}

void TFileQueue::ResetCountBySizeFiles() { _iFilesCountBySize.store(FilesAway(), std::memory_order_relaxed); }

std::int32_t TFileQueue::CountBySizeFiles(std::int32_t iMaxSize) {
    std::int64_t cursor = _iFilesCountBySize.load(std::memory_order_relaxed);
    const std::int64_t available = FilesPut() - cursor;
    std::int32_t counted = 0;
    std::int64_t sum = 0;
    while (counted < available) {
        sum += Slot(cursor).iSize;
        ++cursor;
        ++counted;
        if (sum > iMaxSize) break;
    }
    _iFilesCountBySize.store(cursor, std::memory_order_relaxed);
    return (sum > iMaxSize && counted > 1) ? counted - 1 : counted;
}

void TFileQueue::ResetGetInfoFile() { _iFilesGetInfo.store(FilesAway(), std::memory_order_relaxed); }

bool TFileQueue::GetInfoFile(std::int32_t& iBookingType, std::int32_t& iDataRow, std::string& sName,
                             std::string& sCrc32, std::string& sMd5, std::string& sSha1) {
    const std::int64_t cursor = _iFilesGetInfo.load(std::memory_order_relaxed);
    if (cursor >= FilesPut()) return false;
    const TFileQueueEntry& entry = Slot(cursor);
    iBookingType = entry.iBookingType;
    iDataRow = entry.iDataRow;
    sName = entry.sName;
    sCrc32 = entry.Crc32;
    sMd5 = entry.sContentsMD5;
    sSha1 = entry.sContentsSha1;
    _iFilesGetInfo.store(cursor + 1, std::memory_order_relaxed);
    return true;
}

bool TFileQueue::AwayFiles(std::int32_t iFilesNumb) {
    // A negative count would move the old end backwards onto freed slots.
    if (iFilesNumb < 0 || FileCount() < iFilesNumb) return false;
    if (!_muForAwayAndFindFile.Get(kMutexWaitMilliseconds)) return false;
    const std::int64_t away = FilesAway() + iFilesNumb;
    _iFilesGetInfo.store(away, std::memory_order_relaxed);
    _iFilesCountBySize.store(away, std::memory_order_relaxed);
    _iFilesAway.store(away, std::memory_order_release);
    _muForAwayAndFindFile.Release();
    return true;
}

void TFileQueue::ClearQueue() {
    _iFilesPut.store(0, std::memory_order_release);
    _iFilesAway.store(0, std::memory_order_release);
    _iFilesGetInfo.store(0, std::memory_order_relaxed);
    _iFilesCountBySize.store(0, std::memory_order_relaxed);
}
