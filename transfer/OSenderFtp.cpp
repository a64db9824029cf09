#include "transfer/OSenderFtp.h"

#include <cerrno>
#include <memory>
#include <thread>

#include "config/OConfigurationData.h"
#include "foundation/VeltUtilsStringOperations.h"
#include "log/VeltStraightLogData.h"

namespace {

constexpr const char* kLogMarker = "SENDERFTP";

std::string EntryOrEmpty(const TStringList& list, std::size_t index) {
    return index < list.size() ? list[index] : std::string();
}

std::string FileNameOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

TSenderFTP::TSenderFTP(const TConfigurationData* AConfigurationData, TLogData* ALogData, int identPort)
    : _oConfigurationData(AConfigurationData), _oLogData(ALogData), _iIdentPort(identPort) {
    if (_oConfigurationData == nullptr) {
        throw ESenderFTP("TSenderFTP error: cannot create object, configuration data not defined");
    }
    if (_oLogData == nullptr) throw ESenderFTP("TSenderFTP error: cannot create object, log data not defined");
}

void TSenderFTP::LogLine(const std::string& text) const {
    _oLogData->LineWrite(_oConfigurationData->GetLogDataStamp(kLogMarker) + text);
}

void TSenderFTP::LogDebug(bool lDebugModeInLog, const std::string& text) const {
    if (lDebugModeInLog) LogLine("[debug] " + text);
}

void TSenderFTP::SetHostParameters(const std::string& sHostname, const std::string& sHostport, bool lSecureFTP,
                                   bool lPassiveFTP, std::int32_t iTimeout, const std::string& sPassword,
                                   const std::string& sUsername) {
    TFtpClientParameters& parameters = Parameters();
    parameters.sUserName = sUsername;
    parameters.sPassword = sPassword;
    parameters.sTargetHost = sHostname;
    parameters.sTargetPort = sHostport;
    parameters.iTimeout = iTimeout * 1000;
    parameters.lPassiveMode = lPassiveFTP;
    parameters.lSecure = lSecureFTP;
}

bool TSenderFTP::WithRetries(bool lDebugModeInLog, const std::string& sWhat, const TObjectBooleanFunc& attempt,
                             const TObjectProc& afterAttempt) {
    for (int n = 1; n <= kAttempts; ++n) {
        const bool done = attempt();
        if (afterAttempt) afterAttempt();
        if (done) return true;
        if (lDebugModeInLog) {
            LogDebug(true, sWhat + IntToTrimmedStr(n) + " unsuccessful");
            LogDebug(true, "remote response:");
            int j = 0;
            for (const std::string& line : FullResult()) LogDebug(true, IntToTrimmedStr(++j) + ":" + line);
        }
        std::this_thread::sleep_for(_iAttemptPause);
    }
    return false;
}

bool TSenderFTP::ConnectHost(bool lDebugModeInLog) {
    return WithRetries(lDebugModeInLog, "login ", [this] { return Login(); }, _pLoginAttemptHook);
}

bool TSenderFTP::DisconnectHost(bool lDebugModeInLog) {
    return WithRetries(lDebugModeInLog, "disconnect ", [this] { return Logout(); });
}

bool TSenderFTP::SendFile(bool lDebugModeInLog, const std::string& sFileName) {
    LogDebug(lDebugModeInLog, "upload file: " + sFileName);
    const std::string remoteName = FileNameOf(sFileName);
    // A retry completes what an earlier attempt left on the server; the first attempt
    // has nothing to complete, the file name being new in its session.
    bool retry = false;
    return WithRetries(lDebugModeInLog, "upload ", [&] {
        const bool stored = StoreFile(sFileName, remoteName, retry);
        retry = true;
        return stored;
    });
}

void TSenderFTP::LogCannotLoginDetails(bool lDebugModeInLog) {
    LogLine("error- cannot login");
    if (!lDebugModeInLog || ResultCode() <= 0) return;
    LogLine("[debug] error code: " + IntToTrimmedStr(ResultCode()));
    const std::string text = TrimBlanks(ResultString());
    if (!text.empty()) LogLine("[debug] error string: " + text);
    LogLine("debug] detailed error description:");
    for (const std::string& line : FullResult()) LogLine(TrimBlanks(line));
}

bool TSenderFTP::KnownCertificateMatches(const std::string& sHostname) const {
    // No certificate captured: nothing was presented that could match, even an empty entry.
    if (!CertWasRead()) return false;
    const TConfigurationDataFtpTransfer& ftp = _oConfigurationData->_rData.rFtpTransfer;
    std::size_t index = ftp.slKnownNames.size();
    // Host names compare without regard to case, as the stored list looks them up.
    for (std::size_t i = 0; i < ftp.slKnownNames.size(); ++i) {
        if (LowerCaseAscii(ftp.slKnownNames[i]) == LowerCaseAscii(sHostname)) {
            index = i;
            break;
        }
    }
    const TCertData& presented = CertData();
    return EntryOrEmpty(ftp.slKnownCerts, index) == presented.sCert &&
           EntryOrEmpty(ftp.slKnownFingers, index) == presented.sFinger &&
           EntryOrEmpty(ftp.slKnownFingersSha1, index) == presented.sFingerSha1 &&
           EntryOrEmpty(ftp.slKnownServerSubjects, index) == presented.sServerSubject &&
           EntryOrEmpty(ftp.slKnownServerIssuers, index) == presented.sServerIssuer;
}

std::int32_t TSenderFTP::CheckRemoteCertificate(bool lDebugModeInLog, bool lLeaveLoggedWhenOK, bool lWarnUnknownCert,
                                                const std::string& sUsername, const std::string& sIdent,
                                                const std::string& sPassword, const std::string& sHostname,
                                                const std::string& sHostport, std::int32_t iTimeout,
                                                bool lPassiveFTP, bool lSecureFTP) {
    ResetCertCheck();
    std::unique_ptr<TIdentServer> identServer;
    try {
        identServer = std::make_unique<TIdentServer>(sIdent, _iIdentPort);
    } catch (const std::exception&) {
        LogLine("error-unable to create ident server");
        return kFtpCheckIdentNotCreated;
    }
    if (!identServer->ServerStart()) {
        // Only a privileged program may listen on port 113 here: without that right the
        // login goes ahead, for servers that do not insist on an ident answer.
        if (identServer->LastError() != EACCES) {
            LogLine("error- unable to start ident server");
            return kFtpCheckIdentNotStarted;
        }
        LogLine("warning-ident server not started ( no permission for port " + IntToTrimmedStr(_iIdentPort) + " )");
    }
    SetHostParameters(sHostname, sHostport, lSecureFTP, lPassiveFTP, iTimeout, sPassword, sUsername);
    const bool loggedIn = ConnectHost(lDebugModeInLog);
    identServer->ServerStop();
    if (!loggedIn) {
        LogCannotLoginDetails(lDebugModeInLog);
        return kFtpCheckCannotLogin;
    }
    std::int32_t result = kFtpCheckVerified;
    if (lSecureFTP && !KnownCertificateMatches(sHostname)) {
        if (lWarnUnknownCert) LogLine("error-unknown remote certificate");
        result = kFtpCheckUnknownCertificate;
    }
    if (result != kFtpCheckVerified || !lLeaveLoggedWhenOK) DisconnectHost(lDebugModeInLog);
    return result;
}
