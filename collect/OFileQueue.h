#pragma once
// The hand-over between the collector (the only producer) and the sender (the only
// consumer): a ring of 256 slots addressed by four ever-growing counters. The entry put
// as number n lives in slot n mod 256; the queue holds the entries numbered FilesAway()
// to FilesPut() - 1, oldest first. Nothing of it is stored: after a restart the collector
// finds the waiting files again in their data directories.
#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "foundation/VeltIPCMutex.h"

class TEnvironment;

struct TFileQueueEntry {
    std::int32_t iBookingType = 0;  // CRS table row, 1..21
    std::int32_t iDataRow = 0;      // 0-based watching rule
    std::string sName;              // file name without directory, at most 255 bytes
    std::string sNameMD5;           // StampMd5 of sName
    std::string Crc32;
    std::string sContentsMD5;
    std::string sContentsSha1;
    std::int32_t iSize = 0;
};

class TFileQueue {
public:
    static constexpr std::int32_t kMaxFiles = 256;
    static constexpr std::size_t kMaxNameLength = 255;
    static constexpr const char* kAwayMutexName = "ZELKOTRANSFER_FILEQUEUE_AWAY_";

    // Removes what earlier runs left in the temporary directories. Tests pass a mutex
    // name of their own so that parallel test processes do not share the real one.
    // Raises EAbort (quietly) when the named mutex cannot be created.
    explicit TFileQueue(const TEnvironment& environment, const std::string& awayMutexName = kAwayMutexName);
    TFileQueue(const TFileQueue&) = delete;
    TFileQueue& operator=(const TFileQueue&) = delete;

    // Five attempts 100 ms apart while the queue is full; False leaves it unchanged.
    // A name longer than a slot holds is refused: cut short it would name another file.
    bool PutFile(std::int32_t iBookingType, std::int32_t iDataRow, std::int32_t iSize, const std::string& sName,
                 const std::string& sCrc32, const std::string& sMd5, const std::string& sSha1);
    // True when the same name (exact bytes) of the same CRS row is waiting, and also
    // when the away mutex cannot be had within 500 ms (the caller retries next pass).
    bool FindFile(std::int32_t iBookingType, const std::string& sName);
    std::int32_t FileCount() const;
    std::int32_t MaxFilesAllowed() const { return kMaxFiles; }

    void ResetCountBySizeFiles();
    // The number of oldest entries whose sizes add up to at most iMaxSize, but at least
    // one while anything is queued. Reset the cursor before every call.
    std::int32_t CountBySizeFiles(std::int32_t iMaxSize);

    void ResetGetInfoFile();
    // The entry at the read cursor, oldest first; False after the newest.
    bool GetInfoFile(std::int32_t& iBookingType, std::int32_t& iDataRow, std::string& sName, std::string& sCrc32,
                     std::string& sMd5, std::string& sSha1);
    // Removes the iFilesNumb oldest entries; False (nothing changed) when fewer are queued
    // or the away mutex cannot be had within 500 ms.
    bool AwayFiles(std::int32_t iFilesNumb);
    // Empties the queue without any lock; nothing in the program calls it while workers run.
    void ClearQueue();

    // The counters the collector shows in its debug lines.
    std::int64_t FilesPut() const { return _iFilesPut.load(std::memory_order_acquire); }
    std::int64_t FilesAway() const { return _iFilesAway.load(std::memory_order_acquire); }

    static constexpr int kPutAttempts = 5;
    static constexpr int kPutPauseMilliseconds = 100;
    static constexpr std::int32_t kMutexWaitMilliseconds = 500;

private:
    void CleanTemporaryFiles(const TEnvironment& environment);
    TFileQueueEntry& Slot(std::int64_t number) { return _aFiles[static_cast<std::size_t>(number % kMaxFiles)]; }
    bool TryPut(const TFileQueueEntry& entry);

    std::array<TFileQueueEntry, kMaxFiles> _aFiles;
    // Written by one thread each (put: collector; the others: sender); a slot is filled
    // before the put counter releases it and read before the away counter frees it.
    std::atomic<std::int64_t> _iFilesPut{0};
    std::atomic<std::int64_t> _iFilesAway{0};
    std::atomic<std::int64_t> _iFilesGetInfo{0};
    std::atomic<std::int64_t> _iFilesCountBySize{0};
    std::mutex _csForPut;
    TMutex _muForAwayAndFindFile;
};
