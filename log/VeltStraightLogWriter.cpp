#include "log/VeltStraightLogWriter.h"

#include <algorithm>
#include <cstdio>
#include <functional>

#include "foundation/platform/ThreadName.h"
#include "log/VeltStraightLogWriteDriverDiskFile.h"
#include "log/VeltStraightLogWriteDriverStringList.h"

// ---- TLogWriterThread ----

TLogWriterThread::TLogWriterThread(TLogWriter& owner, bool paused) : oOwner(owner) { rMTDWaiting.lStatus = paused; }

TLogWriterThread::~TLogWriterThread() { Terminate(); }

void TLogWriterThread::Start() { thWorker = std::thread([this] { Execute(); }); }

void TLogWriterThread::Terminate() {
    {
        std::lock_guard lock(mNap);
        lTerminated = true;
    }
    cvNap.notify_all();
    if (thWorker.joinable()) thWorker.join();
}

void TLogWriterThread::SetPaused(bool paused) {
    // Exclusive: waits for a batch in delivery, so nothing arrives after a pause returns.
    std::unique_lock lock(rMTDWaiting.mSyn);
    rMTDWaiting.lStatus = paused;
}

bool TLogWriterThread::Paused() const {
    std::shared_lock lock(rMTDWaiting.mSyn);
    return rMTDWaiting.lStatus;
}

void TLogWriterThread::Wake() {
    {
        std::lock_guard lock(mNap);
        lWakeRequested = true;
    }
    cvNap.notify_all();
}

void TLogWriterThread::Execute() {
    // Debuggers show this name; Linux keeps 15 characters, exactly its length.
    platform::SetCurrentThreadName("THREADLOGWRITER");
    do {
        Drain();
    } while (Nap());
    Drain();
}

bool TLogWriterThread::Nap() {
    std::unique_lock lock(mNap);
    cvNap.wait_for(lock, std::chrono::milliseconds(kNapMilliseconds), [this] { return lTerminated || lWakeRequested; });
    lWakeRequested = false;
    return !lTerminated;
}

void TLogWriterThread::Drain() {
    for (;;) {
        std::shared_lock pause(rMTDWaiting.mSyn);
        if (rMTDWaiting.lStatus || !oOwner.DeliverBatch()) return;
    }
}

// ---- TLogWriter ----

TLogWriter::TLogWriter(TLogData* logData) : oLogData(logData) {
    if (logData == nullptr) throw ELogWriter("TLogWriter error: cannot create object, log data not defined");
}

TLogWriter::~TLogWriter() {
    Stop();
    while (!lpDrivers.empty()) RemoveDriver(lpDrivers.back()->DriverId());
}

void TLogWriter::Start() {
    if (!thWorker) StartThread(false);
}

void TLogWriter::StartThread(bool paused) {
    thWorker = std::make_unique<TLogWriterThread>(*this, paused);
    TLogWriterThread* worker = thWorker.get();
    oLogData->SetReaderWakeup([worker] { worker->Wake(); });
    worker->Start();
}

void TLogWriter::Stop() {
    if (!thWorker) return;
    thWorker->Terminate();
    oLogData->SetReaderWakeup(nullptr);
    thWorker.reset();
}

void TLogWriter::Wait() {
    if (thWorker) thWorker->SetPaused(true);
}

void TLogWriter::Run() {
    if (thWorker) thWorker->SetPaused(false);
}

namespace {

std::size_t PackedSize(const char* lines, std::int32_t linesNumb) {
    std::size_t size = 0;
    TLogWriteDriver::ForEachRecord(lines, linesNumb, [&size](std::string_view record) { size += 2 + record.size(); });
    return size;
}

}  // namespace

bool TLogWriter::DeliverBatch() {
    // Packed batches simply concatenate: under load, several of them go out as one, so a
    // disk driver makes one large write instead of many small ones.
    sMerged.clear();
    std::int32_t count = 0;
    while (sMerged.size() < kMergedBytes) {
        std::int32_t batchCount = 0;
        const char* lines = oLogData->LinesRead(batchCount);
        if (lines == nullptr) break;
        sMerged.append(lines, PackedSize(lines, batchCount));
        count += batchCount;
    }
    if (count == 0) return false;
    std::shared_lock lock(mDrivers);
    for (const auto& driver : lpDrivers) {
        if (!driver->ActiveStatus()) continue;
        // A failing driver must neither end the thread nor starve the drivers after it.
        try {
            driver->WriteLogLines(sMerged.data(), count);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "TLogWriter error: driver %d failed while writing ( %s )\n", driver->DriverId(),
                         e.what());
        }
    }
    return true;
}

std::int32_t TLogWriter::AddDriver(const std::function<std::unique_ptr<TLogWriteDriver>(std::int32_t)>& create,
                                   const std::string& failureMessage) {
    {
        std::shared_lock lock(mDrivers);
        if (lpDrivers.size() >= kMaxDrivers) return 0;
    }
    const bool wasRunning = thWorker != nullptr;
    const bool wasPaused = wasRunning && thWorker->Paused();
    Stop();
    const std::int32_t id = ++iMaxId;
    std::unique_ptr<TLogWriteDriver> driver;
    try {
        driver = create(id);
    } catch (const ELogWriteDriver&) {
        // The drivers already there keep receiving lines.
        if (wasRunning) StartThread(wasPaused);
        throw ELogWriter(failureMessage);
    } catch (...) {
        if (wasRunning) StartThread(wasPaused);
        throw;
    }
    {
        std::unique_lock lock(mDrivers);
        lpDrivers.push_back(std::move(driver));
    }
    if (wasRunning) StartThread(wasPaused);
    return id;
}

std::int32_t TLogWriter::AddDriverDiskFile(const std::string& fileName, std::int32_t maxFileSize) {
    return AddDriver(
        [&](std::int32_t id) { return std::make_unique<TLogWriteDriverDiskFile>(id, maxFileSize, fileName); },
        "TLogWriter error: cannot add driver of type disk file ( " + fileName + " )");
}

std::int32_t TLogWriter::AddDriverStringList(std::int32_t maxBufferLines, TMessagePoster* poster) {
    return AddDriver(
        [&](std::int32_t id) { return std::make_unique<TLogWriteDriverStringList>(id, maxBufferLines, poster); },
        "TLogWriter error: cannot add driver of type string list");
}

void TLogWriter::RemoveDriver(std::int32_t driverId) {
    if (lpDrivers.empty()) return;
    const bool wasRunning = thWorker != nullptr;
    const bool wasPaused = wasRunning && thWorker->Paused();
    Stop();
    {
        std::unique_lock lock(mDrivers);
        const auto found = std::find_if(lpDrivers.begin(), lpDrivers.end(),
                                        [driverId](const auto& driver) { return driver->DriverId() == driverId; });
        if (found != lpDrivers.end()) lpDrivers.erase(found);
    }
    if (wasRunning) StartThread(wasPaused);
}

void TLogWriter::SetDriversActive(std::int32_t driverId, bool active) {
    std::shared_lock lock(mDrivers);
    for (const auto& driver : lpDrivers) {
        if (driver->DriverId() == driverId) driver->SetActiveStatus(active);
    }
}

void TLogWriter::EnableDriver(std::int32_t driverId) { SetDriversActive(driverId, true); }

void TLogWriter::DisableDriver(std::int32_t driverId) { SetDriversActive(driverId, false); }

TLogWriteDriverStringList* TLogWriter::FindStringDriver(std::int32_t driverId) const {
    for (const auto& driver : lpDrivers) {
        if (driver->DriverId() == driverId) return dynamic_cast<TLogWriteDriverStringList*>(driver.get());
    }
    return nullptr;
}

bool TLogWriter::ReadLineFromStringDriver(std::int32_t driverId, std::string& line, std::int32_t& id) {
    std::shared_lock lock(mDrivers);
    TLogWriteDriverStringList* driver = FindStringDriver(driverId);
    return driver != nullptr && driver->ReadLogLine(line, id);
}

void TLogWriter::ReadLinesFromStringDriver(std::int32_t driverId, std::int32_t maxCapacity,
                                           std::vector<std::string>& lines, std::int32_t& id) {
    std::shared_lock lock(mDrivers);
    if (TLogWriteDriverStringList* driver = FindStringDriver(driverId)) driver->ReadLogLines(maxCapacity, lines, id);
}
