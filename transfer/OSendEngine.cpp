#include "transfer/OSendEngine.h"

#include <thread>

#include "config/OCRSTypes.h"
#include "config/OConfigurationData.h"
#include "foundation/VeltEnvironment.h"
#include "foundation/VeltUtilsStringOperations.h"
#include "foundation/platform/FileCopy.h"
#include "log/VeltStraightLogData.h"
#include "log/VeltStraightLogReporter.h"

namespace {

constexpr const char* kLogMarker = "SEND";

}  // namespace

TSendEngine::TSendEngine(const std::string& sClassName, const TEnvironment& environment,
                         TConfigurationData* AConfigurationData, TLogData* ALogData, TFileQueue* AFileQueue,
                         TMessagePoster* poster)
    : _oEnvironment(environment),
      _oConfigurationData(AConfigurationData),
      _oLogData(ALogData),
      _oFileQueue(AFileQueue),
      _oPoster(poster) {
    const std::string prefix = sClassName + " error: cannot create object, ";
    if (AConfigurationData == nullptr) throw ESendEngine(prefix + "configuration data not defined");
    if (ALogData == nullptr) throw ESendEngine(prefix + "log data not defined");
    if (AFileQueue == nullptr) throw ESendEngine(prefix + "file queue not defined");
}

TSendEngine::~TSendEngine() = default;

std::string TSendEngine::MakeTransferFileName(const std::string& sFileName, const std::string& sSuffix,
                                              std::int32_t iCRSRow) {
    const std::string code = iCRSRow >= 1 && iCRSRow <= kCRSTypeCount ? asCRSTypeCodes[iCRSRow] : std::string();
    const std::size_t dot = sFileName.rfind('.');
    const std::string named = dot == std::string::npos
                                  ? sFileName + sSuffix
                                  : sFileName.substr(0, dot) + sSuffix + sFileName.substr(dot);
    return code + "_" + named;
}

std::int64_t TSendEngine::RunSession(std::int32_t iFilesNumb, const std::string& sSessionStartLine) {
    Post(WM_SENDINGSTARTED);
    _iFilesQueue = iFilesNumb;
    _iFilesProcessed = 0;
    ResetSessionState();
    Log(sSessionStartLine);

    bool done = false;
    try {
        TReporterLink link(_oLogData, _oEnvironment, DebugMode());
        done = _tsJob->Run();
    } catch (const std::exception& error) {
        // Only a definition error gets here; the batch stays queued like after any failure.
        Log(std::string("error-while running file send job-") + error.what());
    }
    Post(done ? WM_SENDINGDONE : WM_SENDINGFAILED);

    _iFilesErrors = _iFilesQueue - _iFilesProcessed;
    Log("files processed: " + IntToTrimmedStr(_iFilesProcessed));
    Log("end file send session");
    return static_cast<std::int64_t>(_iFilesProcessed) * kProcessedFactor + _iFilesErrors;
}

bool TSendEngine::CopyFileWithRetries(const std::string& sSource, const std::string& sTarget,
                                      platform::TFileState* sourceState, bool durable) {
    for (int attempt = 1; attempt <= kFileAttempts; ++attempt) {
        const platform::TCopyResult result = platform::CopyFileNoOverwrite(sSource, sTarget, sourceState, durable);
        if (result == platform::TCopyResult::Copied) return true;
        Debug("copy file " + sSource + " to " + sTarget + " " + IntToTrimmedStr(attempt) +
              " time(s) unsuccessful");
        // Retries wait for a lock to go; a source that is gone does not come back, and
        // waiting for it would hold up every file behind it.
        if (!platform::FileExists(sSource)) return false;
        if (attempt < kFileAttempts) std::this_thread::sleep_for(_iFilePause);
    }
    return false;
}

bool TSendEngine::DeleteFileWithRetries(const std::string& sPath) {
    for (int attempt = 1; attempt <= kFileAttempts; ++attempt) {
        if (platform::RemoveFile(sPath)) return true;
        Debug("delete file " + sPath + " " + IntToTrimmedStr(attempt) + " time(s) unsuccessful");
        if (!platform::FileExists(sPath)) return false;
        if (attempt < kFileAttempts) std::this_thread::sleep_for(_iFilePause);
    }
    return false;
}

bool TSendEngine::DebugMode() const { return _oConfigurationData->_rData.rSupport.lDebugModeInLog; }

void TSendEngine::Log(const std::string& text) const {
    _oLogData->LineWrite(_oConfigurationData->GetLogDataStamp(kLogMarker) + text);
}

void TSendEngine::Debug(const std::string& text) const {
    if (DebugMode()) Log("[debug] " + text);
}

void TSendEngine::Post(unsigned message, std::intptr_t wParam, std::intptr_t lParam) const {
    if (_oPoster != nullptr) _oPoster->Post(message, wParam, lParam);
}
