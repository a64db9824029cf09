#pragma once
// A small FTP client of our own: one control connection, explicit TLS (AUTH TLS, PBSZ 0,
// PROT P) when secure, passive (PASV/EPSV) or active (PORT/EPRT) data connections for
// uploads, raw commands and the last reply. A data connection is secured after the
// transfer command's preliminary reply and resumes the control connection's TLS
// session, as strict servers demand. The client never logs in on its own: after a
// dropped connection every command fails until the caller logs in again.
// One thread at a time uses an object.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct ssl_st;
struct ssl_ctx_st;
class TFtpSocket;

struct TFtpClientParameters {
    std::string sTargetHost;
    std::string sTargetPort = "21";
    std::string sUserName;
    std::string sPassword;
    bool lPassiveMode = true;
    bool lSecure = false;            // explicit TLS on the control and data connections
    std::int32_t iTimeout = 300000;  // milliseconds, for every connect, read and write
};

class TFtpClient {
public:
    TFtpClient();
    virtual ~TFtpClient();
    TFtpClient(const TFtpClient&) = delete;
    TFtpClient& operator=(const TFtpClient&) = delete;

    TFtpClientParameters& Parameters() { return _rParameters; }
    const TFtpClientParameters& Parameters() const { return _rParameters; }

    // Closes any connection, connects afresh and logs in; True when logged in (and, when
    // secure, the data connections are protected).
    bool Login();
    // QUIT, then the connection is closed whatever the answer; True on a 2xx answer.
    bool Logout();
    bool IsLoggedIn() const { return _lLoggedIn; }

    // Sends the command line and reads the reply; returns its code, 0 when none came.
    // A line with CR, LF or NUL is refused unsent: it would smuggle in a second command.
    std::int32_t FtpCommand(const std::string& command);
    // Uploads the local file as remoteName (binary). With lRestore a partial remote file
    // of that name is completed from its size on (SIZE, REST) instead of sent again.
    bool StoreFile(const std::string& sLocalFile, const std::string& sRemoteName, bool lRestore);
    bool CreateDir(const std::string& sDirectory);        // MKD, 257
    bool DeleteDir(const std::string& sDirectory);        // RMD, 250
    bool ChangeWorkingDir(const std::string& sDirectory); // CWD, 250
    bool ChangeToRootDir();                               // CWD /, 250

    // The last reply: its code (0 when none came: a connection failure, a refused
    // command), its last line, and every line as received. After a local failure the
    // result string and the single line of FullResult say what went wrong.
    std::int32_t ResultCode() const { return _iResultCode; }
    const std::string& ResultString() const { return _sResultString; }
    const std::vector<std::string>& FullResult() const { return _slFullResult; }

protected:
    // Called when the control connection's TLS handshake has completed.
    virtual void OnControlTlsEstablished(const ssl_st* /*tls*/) {}

private:
    bool ConnectControl();
    bool ReadReply();
    bool ReadLine(std::string& line);
    bool SendCommandLine(const std::string& command);
    bool AbortTransfer(TFtpSocket& data);
    void LocalFailure(const std::string& text);
    void DropControl(const std::string& text);
    bool OpenDataConnection(TFtpSocket& data, TFtpSocket& listener);
    bool OpenPassive(TFtpSocket& data);
    bool OpenActive(TFtpSocket& listener);
    bool SendFileBody(TFtpSocket& data, int file, std::int64_t offset);
    std::int64_t RemoteSize(const std::string& sRemoteName);
    ssl_ctx_st* TlsContext();

    TFtpClientParameters _rParameters;
    std::unique_ptr<TFtpSocket> _ocControl;
    ssl_ctx_st* _pTlsContext = nullptr;
    std::string _sInput;  // received control bytes not yet read as lines
    bool _lLoggedIn = false;
    std::int32_t _iResultCode = 0;
    std::string _sResultString;
    std::vector<std::string> _slFullResult;
};
