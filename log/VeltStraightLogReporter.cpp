#include "log/VeltStraightLogReporter.h"

#include "foundation/VeltEnvironment.h"
#include "log/VeltMemoryStorageSeqLines.h"
#include "log/VeltStraightLogData.h"

TReporter::~TReporter() {
    UnlinkLogData();
    UnlinkMemStorage();
}

void TReporter::LinkLogData(TLogData* logData, const TEnvironment* environment, bool logDebugMode) {
    std::lock_guard lock(_mutex);
    const bool complete = logData != nullptr && environment != nullptr;
    _ldLogData = complete ? logData : nullptr;
    _oEnvironment = complete ? environment : nullptr;
    _lDebugModeInLog = complete && logDebugMode;
}

void TReporter::UnlinkLogData() {
    std::lock_guard lock(_mutex);
    _ldLogData = nullptr;
    _oEnvironment = nullptr;
    _lDebugModeInLog = false;
}

void TReporter::LinkMemStorage(TMemoryStorageSeqLines* storage) {
    std::lock_guard lock(_mutex);
    _msMemStorage = storage;
}

void TReporter::UnlinkMemStorage() {
    std::lock_guard lock(_mutex);
    _msMemStorage = nullptr;
}

void TReporter::RegisterLog(const std::string& logMarker, const std::string& msg) {
    std::lock_guard lock(_mutex);
    if (_ldLogData == nullptr) return;
    _ldLogData->LineWrite(_oEnvironment->GetLogDataStamp(_lDebugModeInLog, logMarker) + msg);
}

void TReporter::RegisterDebugLog(const std::string& logMarker, const std::string& msg) {
    std::lock_guard lock(_mutex);
    if (_ldLogData == nullptr || !_lDebugModeInLog) return;
    _ldLogData->LineWrite(_oEnvironment->GetLogDebugDataStamp(_lDebugModeInLog, logMarker) + msg);
}

void TReporter::RegisterMem(std::int32_t reporterKey, const std::string& msg) {
    std::lock_guard lock(_mutex);
    if (_msMemStorage == nullptr) return;
    _msMemStorage->AddLine(reporterKey, msg);
}

TReporter& oReporter() {
    static TReporter* const reporter = new TReporter();
    return *reporter;
}
