#pragma once
// The FTP/FTPS client of the send engine and of the configuration screen's host check:
// login with an ident responder alive, the pinned-certificate comparison, uploads and
// logout, each network step tried three times with a pause between, every failure
// written to the log. One thread at a time uses an object.
#include <chrono>
#include <cstdint>
#include <string>

#include "foundation/VeltCallbacks.h"
#include "foundation/VeltExceptions.h"
#include "transfer/OCertSenderFtp.h"
#include "transfer/OIdentServer.h"

class TConfigurationData;
class TLogData;

VELT_DECLARE_EXCEPTION(ESenderFTP);

// Results of TSenderFTP::CheckRemoteCertificate.
inline constexpr std::int32_t kFtpCheckVerified = 0;
inline constexpr std::int32_t kFtpCheckIdentNotCreated = 1;
inline constexpr std::int32_t kFtpCheckIdentNotStarted = 2;
inline constexpr std::int32_t kFtpCheckCannotLogin = 3;
inline constexpr std::int32_t kFtpCheckUnknownCertificate = 4;

class TSenderFTP : public TCertSenderFtp {
public:
    static constexpr int kAttempts = 3;
    static constexpr std::chrono::milliseconds kAttemptPause{1000};

    // Raises ESenderFTP when the configuration or log data is missing. identPort is the
    // port of the ident responder: 113 in the program, another one in tests (0: any).
    TSenderFTP(const TConfigurationData* AConfigurationData, TLogData* ALogData,
               int identPort = TIdentServer::kDefaultPort);

    // Logs in to the host (ident responder alive meanwhile) and, for FTPS, compares the
    // certificate with the one stored for the host. 0 verified, 1 ident responder not
    // created, 2 not started, 3 login failed, 4 unknown certificate. Stays logged in
    // only on 0 with lLeaveLoggedWhenOK.
    std::int32_t CheckRemoteCertificate(bool lDebugModeInLog, bool lLeaveLoggedWhenOK, bool lWarnUnknownCert,
                                        const std::string& sUsername, const std::string& sIdent,
                                        const std::string& sPassword, const std::string& sHostname,
                                        const std::string& sHostport, std::int32_t iTimeout, bool lPassiveFTP,
                                        bool lSecureFTP);
    // Uploads the file into the current remote directory under its own name.
    bool SendFile(bool lDebugModeInLog, const std::string& sFileName);
    bool DisconnectHost(bool lDebugModeInLog);

    // The pause after a failed attempt; tests shorten it.
    void SetAttemptPause(std::chrono::milliseconds pause) { _iAttemptPause = pause; }
    void SetIdentPort(int port) { _iIdentPort = port; }
    // Called after every login attempt: a window that waits for the check keeps
    // answering when the hook lets it process its pending events.
    void SetLoginAttemptHook(TObjectProc hook) { _pLoginAttemptHook = std::move(hook); }

private:
    void SetHostParameters(const std::string& sHostname, const std::string& sHostport, bool lSecureFTP,
                           bool lPassiveFTP, std::int32_t iTimeout, const std::string& sPassword,
                           const std::string& sUsername);
    bool ConnectHost(bool lDebugModeInLog);
    // Up to kAttempts tries of the step; after each failure the debug lines with the
    // server's last response and a pause.
    bool WithRetries(bool lDebugModeInLog, const std::string& sWhat, const TObjectBooleanFunc& attempt,
                     const TObjectProc& afterAttempt = {});
    bool KnownCertificateMatches(const std::string& sHostname) const;
    void LogCannotLoginDetails(bool lDebugModeInLog);
    void LogLine(const std::string& text) const;
    void LogDebug(bool lDebugModeInLog, const std::string& text) const;

    const TConfigurationData* _oConfigurationData;
    TLogData* _oLogData;
    int _iIdentPort;
    std::chrono::milliseconds _iAttemptPause = kAttemptPause;
    TObjectProc _pLoginAttemptHook;
};
