#pragma once
// The filekey server's XML protocol over HTTPS: the request envelope, the POST with its
// retries and proxy choice, and the server check with its pinned certificate.
// One thread at a time uses an object.
#include <cstdint>
#include <string>
#include <vector>

#include "config/OConfigurationData.h"
#include "foundation/VeltExceptions.h"
#include "transfer/OCertSenderHttp.h"

class TEnvironment;
class TLogData;

VELT_DECLARE_EXCEPTION(ESenderHTTP);

// Request kinds: root element and script of each.
inline constexpr int kRequestVerify = 1;
inline constexpr int kRequestUpload = 2;
inline constexpr int kRequestEncoding = 3;

// Results of CheckRemoteCertificate.
inline constexpr int kCheckVerified = 0;
inline constexpr int kCheckCannotConnect = 1;
inline constexpr int kCheckBadUserOrPassword = 2;
inline constexpr int kCheckUnknownCertificate = 3;
inline constexpr int kCheckBadResponseFormat = 4;
inline constexpr int kCheckBadResponseData = 5;

class TSenderHTTP : public TCertSenderHttp {
public:
    static constexpr int kSendAttempts = 3;
    static constexpr int kAttemptPauseMilliseconds = 1000;

    // The environment supplies the program's version, licence and local address; it must
    // outlive the object. Raises ESenderHTTP when the configuration or log data is missing.
    TSenderHTTP(const TEnvironment& environment, const TConfigurationData* AConfigurationData, TLogData* ALogData);

    // Builds the request envelope of the kind into the request stream.
    void PrepareXmlRequest(int iRequestType, const std::string& sVersion, const std::string& sUser,
                           const std::string& sPassword);
    // Posts the request stream, at most three times; True when a response arrived.
    bool SendHttpData(bool lDebugModeInLog, const std::string& sUrl, const std::string& sPort,
                      const TConfigurationDataHttpTransferProxy& htrProxy);
    // 0 verified, 1 cannot connect, 2 bad user or password, 3 unknown certificate,
    // 4 bad response format, 5 bad response data.
    int CheckRemoteCertificate(bool lDebugModeInLog, bool lWarnUnknownCert,
                               const TConfigurationDataHttpTransferBase& htrBase,
                               const TConfigurationDataHttpTransferProxy& htrProxy,
                               const TConfigurationDataHttpTransferCert& htrCert);

    // The request body (ISO-8859-1): built by PrepareXmlRequest, posted by SendHttpData.
    std::string& RequestStream() { return _msRequest; }

    static std::string RootNameOfRequest(int iRequestType);
    static std::string ScriptOfRequest(int iRequestType);
    // The URL with ":" + port inserted before the first "/" after its "//".
    static std::string UrlWithPort(const std::string& sUrl, const std::string& sPort);
    // The text split into lines as a string list holds them (CR LF, LF or CR breaks).
    static std::vector<std::string> SplitLines(const std::string& text);

private:
    int ParseVerifyResponse(bool lDebugModeInLog, const std::string& sUser, const std::string& sPassword);
    THttpProxy ProxyOf(const TConfigurationDataHttpTransferProxy& htrProxy) const;
    std::string UserAgentText() const;
    void LogLine(const std::string& text) const;
    void LogDebug(bool lDebugModeInLog, const std::string& text) const;

    const TEnvironment& _oEnvironment;
    const TConfigurationData* _oConfigurationData;
    TLogData* _oLogData;
    std::string _msRequest;
    std::vector<std::string> _slResponse;
};
