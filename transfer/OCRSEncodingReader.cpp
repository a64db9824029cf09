#include "transfer/OCRSEncodingReader.h"

#include "config/OCRSTypes.h"
#include "config/OConfigurationData.h"
#include "log/VeltStraightLogData.h"
#include "transfer/OSenderHttp.h"

namespace {

class TEncodingLog {
public:
    TEncodingLog(const TConfigurationData& configurationData, TLogData* logData)
        : _configurationData(configurationData), _logData(logData) {}

    void Line(const std::string& text) const {
        if (_logData != nullptr) _logData->LineWrite(_configurationData.GetLogDataStamp("CONFIGURATOR") + text);
    }
    void Debug(const std::string& text) const {
        if (_configurationData._rData.rSupport.lDebugModeInLog) Line("[debug] " + text);
    }

private:
    const TConfigurationData& _configurationData;
    TLogData* _logData;
};

}  // namespace

bool ReadCRSEncoding(const TEnvironment& environment, const TConfigurationData& configurationData,
                     TLogData* logData) {
    const TEncodingLog log(configurationData, logData);
    const auto& http = configurationData._rData.rHttpTransfer;
    const bool debugMode = configurationData._rData.rSupport.lDebugModeInLog;
    log.Line("reading encoding dictionary");
    log.Debug("requesting encoding dictionary");

    TSenderHTTP sender(environment, &configurationData, logData);
    sender.PrepareXmlRequest(kRequestEncoding, "1.0", http.rBase.sLogin, http.rBase.sPassword);
    bool result = false;
    if (sender.SendHttpData(debugMode, http.rBase.sUrl + TSenderHTTP::ScriptOfRequest(kRequestEncoding),
                            http.rBase.sPort, http.rProxy)) {
        log.Debug("request for encoding dictionary succesful");
        result = ReadEncodingDictionary(sender.Document(), configurationData, logData);
    } else {
        log.Debug("encoding dictionary not read");
    }
    if (!result) log.Line("error-reading encoding dictionary");
    return result;
}
