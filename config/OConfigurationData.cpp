#include "config/OConfigurationData.h"

#include "foundation/VeltDigitalStamps.h"
#include "foundation/VeltEnvironment.h"

void TBitList::SetBit(std::size_t index, bool value) {
    if (index >= _bits.size()) _bits.resize(index + 1, false);
    _bits[index] = value;
}

void TBitList::SetAll(bool value) { _bits.assign(_bits.size(), value); }

TConfigurationData::TConfigurationData(const TEnvironment& environment) : _oEnvironment(environment) {
    SetDefaults();
}

void TConfigurationData::SetDefaults() {
    // A fresh record carries every scalar default; only the computed and the non-empty
    // texts need setting, and the bit list keeps the size it has grown to.
    const std::size_t maskBits = _rData.rWatchingRules.biDataFileMaskIncl.Size();
    _rData = TConfigurationDataRecord{};
    _rData.sSetupAuthorization = StampMd5(kDefaultSetupPassword);
    _rData.rProgram.rNewVersion.sSiteCheck = kDefaultSiteCheck;
    _rData.rProgram.rNewVersion.sLimitedCheckDays = "12345";
    _rData.rProgram.rNewVersion.sLimitedCheckHours = "9-15";
    TBitList& bits = _rData.rWatchingRules.biDataFileMaskIncl;
    if (maskBits > bits.Size()) bits.SetBit(maskBits - 1, true);
    bits.SetAll(true);
}

std::int32_t TConfigurationData::ProtocolType2ProtocolCode(TProtocolType ptType) {
    switch (ptType) {
        case tptFtp: return 1;
        case tptHttp: return 2;
    }
    throw EConfigurationData("TConfigurationData error: bad protocol type for conversion to code");
}

TProtocolType TConfigurationData::ProtocolCode2ProtocolType(std::int32_t iCode) {
    switch (iCode) {
        case 1: return tptFtp;
        case 2: return tptHttp;
        default:
            throw EConfigurationData("TConfigurationData error: unknown protocol code for conversion to type (" +
                                     std::to_string(iCode) + ")");
    }
}

std::string TConfigurationData::GetLogDataStamp(const std::string& sSuffix) const {
    // The environment's stamp has the same shape, except that it shows the suffix
    // outside debug mode as well; the configuration's lines leave it out there.
    const bool debugMode = _rData.rSupport.lDebugModeInLog;
    return _oEnvironment.GetLogDataStamp(debugMode, debugMode ? sSuffix : std::string());
}
