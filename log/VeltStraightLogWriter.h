#pragma once
// Moves log lines from the log data to the drivers: a worker thread wakes every 200 ms
// (or earlier when the log data runs short of room), drains everything unread in batches
// and hands each batch to every active driver in the order they were added.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/MessagePoster.h"
#include "foundation/VeltExceptions.h"
#include "log/VeltStraightLogData.h"
#include "log/VeltStraightLogWriteDriver.h"

VELT_DECLARE_EXCEPTION(ELogWriter);

class TLogWriter;
class TLogWriteDriverStringList;

class TLogWriterThread {
public:
    TLogWriterThread(TLogWriter& owner, bool paused);
    ~TLogWriterThread();  // terminates and waits
    TLogWriterThread(const TLogWriterThread&) = delete;
    TLogWriterThread& operator=(const TLogWriterThread&) = delete;

    void Start();
    // Asks the thread to end after one last drain, and waits until it has.
    void Terminate();
    // Once SetPaused(true) returns, no batch is delivered until SetPaused(false).
    void SetPaused(bool paused);
    bool Paused() const;
    // Cuts the current nap short.
    void Wake();

    static constexpr int kNapMilliseconds = 200;

private:
    struct TMTDWaiting {
        bool lStatus = false;
        mutable std::shared_mutex mSyn;
    };
    void Execute();
    void Drain();
    // False when the nap ended because termination was asked.
    bool Nap();

    TLogWriter& oOwner;
    TMTDWaiting rMTDWaiting;
    std::mutex mNap;
    std::condition_variable cvNap;
    bool lTerminated = false;
    bool lWakeRequested = false;
    std::thread thWorker;
};

class TLogWriter {
public:
    // Raises ELogWriter when logData is null.
    explicit TLogWriter(TLogData* logData);
    ~TLogWriter();
    TLogWriter(const TLogWriter&) = delete;
    TLogWriter& operator=(const TLogWriter&) = delete;

    void Start();
    // Ends the thread after a final drain, so lines written before are delivered.
    void Stop();
    // Pause and resume draining; lines stay in the log data meanwhile. Need a started writer.
    void Wait();
    void Run();

    // Return the new driver's id (1, 2, 3, ..., never reused), or 0 when 10 drivers exist.
    // New drivers are inactive. Raise ELogWriter when the driver cannot be created.
    std::int32_t AddDriverDiskFile(const std::string& fileName, std::int32_t maxFileSize);
    std::int32_t AddDriverStringList(std::int32_t maxBufferLines, TMessagePoster* poster);
    void RemoveDriver(std::int32_t driverId);
    void EnableDriver(std::int32_t driverId);
    void DisableDriver(std::int32_t driverId);

    // Forward to the string-list driver with that id; False / nothing when there is none.
    bool ReadLineFromStringDriver(std::int32_t driverId, std::string& line, std::int32_t& id);
    void ReadLinesFromStringDriver(std::int32_t driverId, std::int32_t maxCapacity, std::vector<std::string>& lines,
                                   std::int32_t& id);

    static constexpr std::size_t kMaxDrivers = 10;

private:
    friend class TLogWriterThread;

    void StartThread(bool paused);
    std::int32_t AddDriver(const std::function<std::unique_ptr<TLogWriteDriver>(std::int32_t)>& create,
                           const std::string& failureMessage);
    void SetDriversActive(std::int32_t driverId, bool active);
    TLogWriteDriverStringList* FindStringDriver(std::int32_t driverId) const;
    // One or more batches from the log data to every active driver; False when nothing was unread.
    bool DeliverBatch();
    static constexpr std::size_t kMergedBytes = 65536;

    TLogData* oLogData;
    std::unique_ptr<TLogWriterThread> thWorker;
    // Changed only while the thread is stopped; the lock keeps the user interface thread's
    // lookups safe against those changes.
    std::vector<std::unique_ptr<TLogWriteDriver>> lpDrivers;
    mutable std::shared_mutex mDrivers;
    std::int32_t iMaxId = 0;
    std::string sMerged;  // the writer thread's reused delivery buffer
};
