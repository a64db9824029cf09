#include "transfer/OSenderHttp.h"

#include <chrono>
#include <thread>

#include <pugixml.hpp>

#include "foundation/VeltDigitalStamps.h"
#include "foundation/VeltEnvironment.h"
#include "foundation/VeltUtilsStringOperations.h"
#include "foundation/VeltXmlLatin1Writer.h"
#include "log/VeltStraightLogData.h"

namespace {

constexpr const char* kLogMarker = "SENDERHTTP";

void AddTextChild(pugi::xml_node parent, const char* name, const std::string& text) {
    // An empty value still makes an element.
    parent.append_child(name).text().set(text.c_str());
}

}  // namespace

TSenderHTTP::TSenderHTTP(const TEnvironment& environment, const TConfigurationData* AConfigurationData,
                         TLogData* ALogData)
    : _oEnvironment(environment), _oConfigurationData(AConfigurationData), _oLogData(ALogData) {
    if (_oConfigurationData == nullptr) {
        throw ESenderHTTP("TSenderHTTP error: cannot create object, configuration data not defined");
    }
    if (_oLogData == nullptr) throw ESenderHTTP("TSenderHTTP error: cannot create object, log data not defined");
    SetTimeout(10000);
}

std::string TSenderHTTP::RootNameOfRequest(int iRequestType) {
    switch (iRequestType) {
        case kRequestVerify: return "ZelkoVerify";
        case kRequestUpload: return "ZelkoUpload";
        case kRequestEncoding: return "ZelkoRequestEncoding";
        default: return "unknown";
    }
}

std::string TSenderHTTP::ScriptOfRequest(int iRequestType) {
    switch (iRequestType) {
        case kRequestVerify: return "/verify.php";
        case kRequestUpload: return "/upload.php";
        case kRequestEncoding: return "/encoding.php";
        default: return "";
    }
}

void TSenderHTTP::PrepareXmlRequest(int iRequestType, const std::string& sVersion, const std::string& sUser,
                                    const std::string& sPassword) {
    pugi::xml_document document;
    pugi::xml_node root = document.append_child(RootNameOfRequest(iRequestType).c_str());
    if (iRequestType >= kRequestVerify && iRequestType <= kRequestEncoding) {
        root.append_attribute("version") = sVersion.c_str();
    }
    const TEnvironmentProgramData& program = _oEnvironment.ProgramData();
    AddTextChild(root, "Creator", "ZELKOTRANSFER");
    AddTextChild(root, "UserName", sUser);
    // Our texts are UTF-8 already, which is what the system code page gives here.
    AddTextChild(root, "Password", Base64Encode(sPassword));
    pugi::xml_node supportInfo = root.append_child("SupportInfo");
    AddTextChild(supportInfo, "Version", program.sProgramVersion);
    AddTextChild(supportInfo, "Licence", program.sProgramLicence);
    AddTextChild(supportInfo, "LocalIP", _oEnvironment.LocalIP());
    _msRequest = SaveXmlAsLatin1(document);
}

std::string TSenderHTTP::UrlWithPort(const std::string& sUrl, const std::string& sPort) {
    if (sPort.empty()) return sUrl;
    const std::size_t slashes = sUrl.find("//");
    const std::size_t hostStart = slashes == std::string::npos ? 0 : slashes + 2;
    const std::size_t pathStart = sUrl.find('/', hostStart);
    if (pathStart == std::string::npos) return sUrl + ":" + sPort;
    return sUrl.substr(0, pathStart) + ":" + sPort + sUrl.substr(pathStart);
}

std::string TSenderHTTP::UserAgentText() const {
    const TEnvironmentProgramData& program = _oEnvironment.ProgramData();
    return "Mozilla/4.0 (compatible; Synapse) ( " + program.sProgramBaseName + " " + program.sProgramVersion +
           " ) ( " + _oEnvironment.LocalIP() + " " + program.sProgramLicence + " ) ( " +
           _oConfigurationData->_rData.rHttpTransfer.rBase.sLogin + " )";
}

THttpProxy TSenderHTTP::ProxyOf(const TConfigurationDataHttpTransferProxy& htrProxy) const {
    if (!htrProxy.lProxyActive) return {};
    if (htrProxy.lProxyIEType) return {_oEnvironment.IEProxyHttpsHost(), _oEnvironment.IEProxyHttpsPort(), "", ""};
    return {htrProxy.sProxyHost, htrProxy.sProxyPort, htrProxy.sProxyLogin, htrProxy.sProxyPassword};
}

bool TSenderHTTP::SendHttpData(bool lDebugModeInLog, const std::string& sUrl, const std::string& sPort,
                               const TConfigurationDataHttpTransferProxy& htrProxy) {
    SetUserAgent(UserAgentText());
    const std::string target = UrlWithPort(sUrl, sPort);
    for (int attempt = 1; attempt <= kSendAttempts; ++attempt) {
        SetProxy(ProxyOf(htrProxy));
        Clear();
        if (HttpMethodPost(target, _msRequest)) return true;
        LogDebug(lDebugModeInLog, "send " + IntToTrimmedStr(attempt) + " unsuccessful");
        // No pause after the last attempt: nothing follows it.
        if (attempt < kSendAttempts) std::this_thread::sleep_for(std::chrono::milliseconds(kAttemptPauseMilliseconds));
    }
    LogLine("error-unable to connect to remote-error code: " + IntToTrimmedStr(ResultCode()));
    LogDebug(lDebugModeInLog, ResultText());
    return false;
}

int TSenderHTTP::CheckRemoteCertificate(bool lDebugModeInLog, bool lWarnUnknownCert,
                                        const TConfigurationDataHttpTransferBase& htrBase,
                                        const TConfigurationDataHttpTransferProxy& htrProxy,
                                        const TConfigurationDataHttpTransferCert& htrCert) {
    PrepareXmlRequest(kRequestVerify, "1.0", htrBase.sLogin, htrBase.sPassword);
    ResetCertCheck();
    if (!SendHttpData(lDebugModeInLog, htrBase.sUrl + ScriptOfRequest(kRequestVerify), htrBase.sPort, htrProxy)) {
        return kCheckCannotConnect;
    }
    LogDebug(lDebugModeInLog, "check remote certificate request successful");
    const int result = ParseVerifyResponse(lDebugModeInLog, htrBase.sLogin, htrBase.sPassword);
    if (result != kCheckVerified) return result;

    // Without a TLS session in this exchange there is no certificate: compare an empty
    // one rather than whatever an earlier exchange left behind.
    const TCertData presented = CertWasRead() ? CertData() : TCertData{};
    if (htrCert.sKnownCert == presented.sCert && htrCert.sKnownFinger == presented.sFinger &&
        htrCert.sKnownFingerSha1 == presented.sFingerSha1 &&
        htrCert.sKnownServerSubject == presented.sServerSubject &&
        htrCert.sKnownServerIssuer == presented.sServerIssuer) {
        return kCheckVerified;
    }
    if (lWarnUnknownCert) {
        LogLine("error-unknown remote certificate|" + htrCert.sKnownCert + "|" + presented.sCert + "|");
    }
    return kCheckUnknownCertificate;
}

int TSenderHTTP::ParseVerifyResponse(bool lDebugModeInLog, const std::string& sUser, const std::string& sPassword) {
    pugi::xml_document document;
    const pugi::xml_parse_result parsed =
        document.load_buffer(Document().data(), Document().size(), pugi::parse_default, pugi::encoding_auto);
    if (!parsed || !document.document_element()) {
        LogDebug(lDebugModeInLog, "bad response format:");
        _slResponse = SplitLines(Document());
        for (const std::string& line : _slResponse) LogDebug(lDebugModeInLog, line);
        _slResponse.clear();
        return kCheckBadResponseFormat;
    }
    Document().clear();

    const pugi::xml_node root = document.document_element();
    if (std::string(root.name()) != "ZelkoVerifyResult") {
        LogDebug(lDebugModeInLog, "bad response data-invalid root node");
        return kCheckBadResponseData;
    }
    static const std::pair<const char*, const char*> kRequiredChildren[] = {
        {"UserName", "bad response data-no user data"},
        {"Password", "bad response data-no pwd data"},
        {"Status", "bad response data-no status data"},
        {"Description", "bad response data-no description data"}};
    for (const auto& [name, complaint] : kRequiredChildren) {
        if (!root.child(name)) {
            LogDebug(lDebugModeInLog, complaint);
            return kCheckBadResponseData;
        }
    }
    std::string decodedPassword;
    if (!Base64DecodeStrict(root.child("Password").text().get(), decodedPassword)) {
        LogDebug(lDebugModeInLog, "bad response data-cannot decode data");
        return kCheckBadResponseData;
    }
    if (root.child("UserName").text().get() != sUser || decodedPassword != sPassword) {
        LogDebug(lDebugModeInLog, "bad response data-invalid user/password data");
        return kCheckBadResponseData;
    }
    const std::string status = root.child("Status").text().get();
    if (status != "0") {
        LogLine(std::string("error whilst certificate checking: ") + root.child("Description").text().get());
        if (status == "1") return kCheckBadUserOrPassword;
    }
    return kCheckVerified;
}

std::vector<std::string> TSenderHTTP::SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        if (end < text.size() && text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ++end;
        start = end + 1;
    }
    return lines;
}

void TSenderHTTP::LogLine(const std::string& text) const {
    _oLogData->LineWrite(_oConfigurationData->GetLogDataStamp(kLogMarker) + text);
}

void TSenderHTTP::LogDebug(bool lDebugModeInLog, const std::string& text) const {
    if (lDebugModeInLog) LogLine("[debug] " + text);
}
