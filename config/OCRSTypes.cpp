#include "config/OCRSTypes.h"

#include <map>

#include "config/ConfigurationXml.h"
#include "config/OConfigurationData.h"
#include "foundation/VeltDigitalStamps.h"
#include "log/VeltStraightLogData.h"

const TCRSTypeColumn asCRSTypeNames = {
    "",         "Amadeus",   "AmadeusRail", "Atlantis", "Aurora",   "Aurora_KD",    "BTN",      "Buma",
    "Elvia",    "ZelkoFerry", "Galileo",    "GalileoRail", "IrisPlus", "Kuschick",  "Onesto",   "Ratiosoft",
    "Sabre",    "Toma",      "TomaIrisPlus", "Traffics", "Worldspan", "XBeds"};

// "toma" twice: both Toma rows always share one encoding.
const TCRSTypeColumn asCRSTypeCodes = {
    "",       "ama",  "sir",      "atlantis", "aurora",   "kd",        "btn",   "buma",
    "elvia",  "zkf",  "gali",     "galirail", "irisplus", "kuschick",  "onesto", "ratiosoft",
    "sabre",  "toma", "toma",     "traffics", "wsp",      "xbeds"};

TCRSTypeColumn asCRSTypeEncodings;

const std::array<std::string, kKnownEncodingCount> asKnownEncodings = {
    "iso-8859-1",  "iso-8859-2",  "iso-8859-3",  "iso-8859-4",  "iso-8859-5",  "iso-8859-6",
    "iso-8859-7",  "iso-8859-8",  "iso-8859-9",  "iso-8859-10", "iso-8859-11", "iso-8859-12",
    "iso-8859-13", "iso-8859-14", "iso-8859-15", "iso-8859-16", "utf8"};

namespace {

int FirstRowWith(const TCRSTypeColumn& column, const std::string& value) {
    for (int row = 1; row <= kCRSTypeCount; ++row) {
        if (column[row] == value) return row;
    }
    return 0;
}

bool IsKnownEncoding(const std::string& encoding) {
    for (const auto& known : asKnownEncodings) {
        if (known == encoding) return true;
    }
    return false;
}

class TDictionaryReader {
public:
    TDictionaryReader(const TConfigurationData& configuration, TLogData* logData)
        : _configuration(configuration), _logData(logData) {}

    bool Read(std::string& response) {
        pugi::xml_document document;
        const bool loaded = LoadConfigurationXml(document, response);
        response.clear();
        if (!loaded) return Refuse("cannot read response encoding data");
        const pugi::xml_node root = document.document_element();
        if (std::string(root.name()) != "ZelkoResponseEncoding") return Refuse("bad response encoding data-invalid root node");
        const pugi::xml_node userName = root.child("UserName");
        if (!userName) return Refuse("bad response encoding data-invalid user data");
        const pugi::xml_node password = root.child("Password");
        if (!password) return Refuse("bad response encoding data-invalid password data");
        std::string decodedPassword;
        if (!Base64DecodeStrict(password.text().get(), decodedPassword)) {
            return Refuse("bad response encoding data-cannot decode data");
        }
        const auto& base = _configuration._rData.rHttpTransfer.rBase;
        if (userName.text().get() != base.sLogin || decodedPassword != base.sPassword) {
            return Refuse("bad response encoding data-invalid user/password data");
        }
        ApplyToTable(CollectDefinitions(root));
        return true;
    }

private:
    // Accepted pairs by code; the first definition of a code wins.
    static std::map<std::string, std::string> CollectDefinitions(const pugi::xml_node& root) {
        std::map<std::string, std::string> encodingOfCode;
        for (const pugi::xml_node& entry : root.children("EncodingDefinition")) {
            const pugi::xml_node code = entry.child("KmrCode");
            const pugi::xml_node encoding = entry.child("KmrEncoding");
            if (!code || !encoding) continue;
            const std::string codeText = code.text().get();
            const std::string encodingText = encoding.text().get();
            if (FirstRowWith(asCRSTypeCodes, codeText) == 0 || !IsKnownEncoding(encodingText)) continue;
            encodingOfCode.emplace(codeText, encodingText);
        }
        return encodingOfCode;
    }

    static void ApplyToTable(const std::map<std::string, std::string>& encodingOfCode) {
        for (int row = 1; row <= kCRSTypeCount; ++row) {
            const auto found = encodingOfCode.find(asCRSTypeCodes[row]);
            asCRSTypeEncodings[row] = found == encodingOfCode.end() ? std::string() : found->second;
        }
    }

    bool Refuse(const std::string& reason) {
        if (_logData != nullptr && _configuration._rData.rSupport.lDebugModeInLog) {
            _logData->LineWrite(_configuration.GetLogDataStamp("CONFIGURATOR") + "[debug] " + reason);
        }
        return false;
    }

    const TConfigurationData& _configuration;
    TLogData* _logData;
};

}  // namespace

int CRSTypeRowOfName(const std::string& name) { return FirstRowWith(asCRSTypeNames, name); }

int CRSTypeRowOfCode(const std::string& code) { return FirstRowWith(asCRSTypeCodes, code); }

bool ReadEncodingDictionary(std::string& response, const TConfigurationData& configuration, TLogData* logData) {
    return TDictionaryReader(configuration, logData).Read(response);
}
