#include "transfer/OFileSender.h"

#include <algorithm>
#include <chrono>

#include "collect/OFileQueue.h"
#include "config/OConfigurationData.h"
#include "log/VeltStraightLogData.h"
#include "transfer/OSendEngineFtp.h"
#include "transfer/OSendEngineHttp.h"

namespace {

constexpr const char* kLogMarker = "SENDER";

}  // namespace

// ---- TFileSenderThread ----

TFileSenderThread::TFileSenderThread(TFileSender& owner)
    : TPassThread(TFileSender::kThreadName, kNapsBetweenPasses, [&owner] { owner.SendPass(); }) {}

// ---- TFileSender ----

TFileSender::TFileSender(const TEnvironment& environment, TConfigurationData* AConfigurationData,
                         TLogData* ALogData, TFileQueue* AFileQueue, TMessagePoster* poster)
    : _oConfigurationData(AConfigurationData), _oLogData(ALogData), _oFileQueue(AFileQueue), _oPoster(poster) {
    const std::string prefix = "TFileSender error: cannot create object, ";
    if (AConfigurationData == nullptr) throw EFileSender(prefix + "configuration data not defined");
    if (ALogData == nullptr) throw EFileSender(prefix + "log data not defined");
    if (AFileQueue == nullptr) throw EFileSender(prefix + "file queue not defined");
    _oSendEngineHTTP = std::make_unique<TSendEngineHTTP>(environment, AConfigurationData, ALogData, AFileQueue, poster);
    _oSendEngineFTP = std::make_unique<TSendEngineFTP>(environment, AConfigurationData, ALogData, AFileQueue, poster);
}

TFileSender::~TFileSender() {
    Stop();
    _oSendEngineFTP.reset();
    _oSendEngineHTTP.reset();
}

void TFileSender::SelectSendEngine() {
    _oSendEngine = _oConfigurationData->_rData.ptUploadProtocol == tptHttp
                       ? static_cast<TSendEngine*>(_oSendEngineHTTP.get())
                       : _oSendEngineFTP.get();
}

void TFileSender::Start() {
    SelectSendEngine();
    if (_thWorker) return;
    _thWorker = std::make_unique<TFileSenderThread>(*this);
    _thWorker->SetWait(false);
    _thWorker->Start();
}

void TFileSender::Stop() {
    if (!_thWorker) return;
    _thWorker->Terminate();
    _thWorker.reset();
}

void TFileSender::Wait() {
    if (_thWorker) _thWorker->SetWait(true);
}

void TFileSender::Run() {
    if (_thWorker) _thWorker->SetWait(false);
}

void TFileSender::SendPass() {
    _lNowSending.store(true);
    SendFiles();
    _lNowSending.store(false);
}

void TFileSender::SendFiles() {
    // Whatever goes wrong in one pass ends only that pass; the batch stays queued.
    try {
        if (_oFileQueue->FileCount() == 0) return;
        Debug("start sending files...");
        if (_oSendEngine == nullptr) SelectSendEngine();
        const std::int64_t result = _oSendEngine->SendFiles(BatchSize());
        if (_oPoster != nullptr) {
            _oPoster->Post(WM_FILESPROCESSED, static_cast<std::intptr_t>(result / TSendEngine::kProcessedFactor),
                           static_cast<std::intptr_t>(result % TSendEngine::kProcessedFactor));
        }
    } catch (const std::exception& error) {
        Log(std::string("error-while sending files-") + error.what());
    }
}

std::int32_t TFileSender::BatchSize() {
    if (_oConfigurationData->_rData.ptUploadProtocol == tptHttp) {
        _oFileQueue->ResetCountBySizeFiles();
        return _oFileQueue->CountBySizeFiles(kHttpBatchMaxSize);
    }
    return std::min(_oFileQueue->FileCount(), kFtpBatchMaxFiles);
}

void TFileSender::Log(const std::string& text) const {
    _oLogData->LineWrite(_oConfigurationData->GetLogDataStamp(kLogMarker) + text);
}

void TFileSender::Debug(const std::string& text) const {
    if (_oConfigurationData->_rData.rSupport.lDebugModeInLog) Log("[debug] " + text);
}
