#pragma once
// FTP servers for one test, each in a folder of its own on a free port.
// TFtpPeer: tests/peers/ftp_server.py, plain or explicit TLS, with the command
// transcript, the upload records, the ident queries it made and scripted misbehaviour.
// TVsftpdPeer: vsftpd with explicit TLS that insists on TLS session reuse, anonymous
// logins and a writable "upload" folder.
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "config/OConfigurationData.h"
#include "tests/support/PeerProcess.h"
#include "tests/support/TestCertificate.h"
#include "transfer/OCertData.h"

struct TFtpPeerOptions {
    std::string sHost = "127.0.0.1";  // "::1" for IPv6
    bool lTls = false;
    bool lRequireTls = false;    // refuse USER, PASS and data commands without TLS
    bool lRequireReuse = false;  // refuse data connections that do not resume the session
    std::vector<std::pair<std::string, std::string>> aUsers = {{"agent", "secret"}};
    // Non-zero: ask the client's ident responder at this port during PASS and refuse
    // the login unless it names sIdentUser.
    int iIdentPort = 0;
    std::string sIdentUser;
    // A certificate to serve; empty files: a self-signed one is made in the folder.
    TTestCertificate rCertificate;
};

class TFtpPeer {
public:
    // directory is created if needed and must be the peer's own.
    explicit TFtpPeer(const std::string& directory, TFtpPeerOptions options = {});

    int Port() const { return _ocProcess ? _ocProcess->Port() : _iLastPort; }
    std::string PortText() const { return std::to_string(Port()); }
    const TTestCertificate& Certificate() const { return _rOptions.rCertificate; }

    // Replaces the control file at once (JSON object; "{}" for normal behaviour).
    void SetControl(const std::string& json) const;
    // Ends the server: its port refuses connections from now on.
    void Stop();

    // The folder every user logs in to.
    std::string RootDir() const { return _sDirectory + "/root"; }
    std::string RecordDir() const { return _sDirectory + "/record"; }
    // "<conn> <- <command>" and "<conn> -> <reply line>", in order.
    std::vector<std::string> Transcript() const;
    // The command lines alone ("MKD 42", "PASS ******"), in order, every connection.
    std::vector<std::string> Commands() const;
    // The same for one control connection (numbered from 1 in the order they came).
    std::vector<std::string> Commands(int connection) const;
    // How many control connections the server has seen.
    int Connections() const;
    // "<conn> STOR <path> tls=<yes|no> reused=<yes|no|-> bytes=<n> complete=<yes|no>"
    std::vector<std::string> Transfers() const;
    // "<conn> query '<query>' answer '<answer>' -> <ok|wrong|failed>"
    std::vector<std::string> IdentQueries() const;
    // Content of a file below the root; empty when missing.
    std::string StoredFile(const std::string& relative) const;
    // Names in a folder below the root, sorted; none when it does not exist.
    std::vector<std::string> StoredNames(const std::string& relative = "") const;

private:
    std::string _sDirectory;
    TFtpPeerOptions _rOptions;
    std::unique_ptr<TPeerProcess> _ocProcess;
    int _iLastPort = 0;
};

class TVsftpdPeer {
public:
    static constexpr const char* kProgram = "/usr/sbin/vsftpd";

    // Raises std::runtime_error when vsftpd cannot be started or does not answer.
    explicit TVsftpdPeer(const std::string& directory);

    int Port() const { return _iPort; }
    std::string PortText() const { return std::to_string(_iPort); }
    const TTestCertificate& Certificate() const { return _rCertificate; }
    // The anonymous root; uploads go below "upload".
    std::string RootDir() const { return _sDirectory + "/root"; }
    // vsftpd's own log with the protocol lines, for failure messages.
    std::string Log() const;

private:
    std::string _sDirectory;
    int _iPort = 0;
    TTestCertificate _rCertificate;
    std::unique_ptr<TPeerProcess> _ocProcess;
};

// Files, lines and folders of the tests' FTP checks.
// Adds a server's certificate to the known FTPS hosts, as accepting it in the
// configuration window does.
inline void AddKnownFtpCertificate(TConfigurationDataFtpTransfer& ftp, const std::string& host,
                                   const TCertData& cert) {
    ftp.slKnownNames.push_back(host);
    ftp.slKnownCerts.push_back(cert.sCert);
    ftp.slKnownFingers.push_back(cert.sFinger);
    ftp.slKnownFingersSha1.push_back(cert.sFingerSha1);
    ftp.slKnownServerSubjects.push_back(cert.sServerSubject);
    ftp.slKnownServerIssuers.push_back(cert.sServerIssuer);
}

std::vector<std::string> ReadFileLines(const std::string& path);
std::string ReadWholeFile(const std::string& path);
