#pragma once
// Lets library code without a configuration of its own (the simple transaction above
// all) write log lines. Whoever runs such code links the process-wide reporter to a
// log, the environment that stamps the lines and the debug flag, and unlinks it
// afterwards; while unlinked, everything handed to the reporter is dropped.
#include <cstdint>
#include <mutex>
#include <string>

class TLogData;
class TEnvironment;
class TMemoryStorageSeqLines;

class TReporter {
public:
    TReporter() = default;
    ~TReporter();
    TReporter(const TReporter&) = delete;
    TReporter& operator=(const TReporter&) = delete;

    // A link replaces the previous one. A null log or environment leaves the log
    // channel unlinked. Nothing linked is owned.
    void LinkLogData(TLogData* logData, const TEnvironment* environment, bool logDebugMode);
    void UnlinkLogData();
    void LinkMemStorage(TMemoryStorageSeqLines* storage);
    void UnlinkMemStorage();

    void RegisterLog(const std::string& logMarker, const std::string& msg);
    // Written only while linked with debug mode on.
    void RegisterDebugLog(const std::string& logMarker, const std::string& msg);
    // Errors of the storage pass to the caller.
    void RegisterMem(std::int32_t reporterKey, const std::string& msg);

private:
    // Links are set by one thread and used by another; the lock also keeps a log from
    // being unlinked (and then destroyed by its owner) while a line is being written.
    std::mutex _mutex;
    TLogData* _ldLogData = nullptr;
    const TEnvironment* _oEnvironment = nullptr;
    bool _lDebugModeInLog = false;
    TMemoryStorageSeqLines* _msMemStorage = nullptr;
};

// The process-wide reporter, created unlinked on first use. It is deliberately never
// destroyed: it owns nothing, and a worker reporting while the process exits must not
// meet a destroyed object.
TReporter& oReporter();

// Keeps the process-wide reporter linked for one scope (a send session), however the
// scope ends.
class TReporterLink {
public:
    TReporterLink(TLogData* logData, const TEnvironment& environment, bool debugMode) {
        oReporter().LinkLogData(logData, &environment, debugMode);
    }
    ~TReporterLink() { oReporter().UnlinkLogData(); }
    TReporterLink(const TReporterLink&) = delete;
    TReporterLink& operator=(const TReporterLink&) = delete;
};
