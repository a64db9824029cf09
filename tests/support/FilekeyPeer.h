#pragma once
// The local filekey server (tests/peers/filekey_server.py) for one test: its own folder
// for certificate, records, stored files and control file, a free port, HTTPS unless
// plain HTTP is asked for. SetControl scripts its misbehaviour while it runs.
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/PeerProcess.h"
#include "tests/support/TestCertificate.h"

struct TFilekeyPeerOptions {
    bool lPlain = false;
    std::vector<std::pair<std::string, std::string>> aUsers = {{"agent", "secret"}};
    // A certificate to serve; empty files: a self-signed one is made in the folder.
    TTestCertificate rCertificate;
};

class TFilekeyPeer {
public:
    // directory is created if needed and must be the peer's own.
    explicit TFilekeyPeer(const std::string& directory, TFilekeyPeerOptions options = {});

    int Port() const { return _ocProcess ? _ocProcess->Port() : _iPausedPort; }
    // "https://127.0.0.1:<port>" (or http), followed by path.
    std::string Url(const std::string& path = "") const;
    const TTestCertificate& Certificate() const { return _rOptions.rCertificate; }

    // Replaces the control file at once (JSON object; "{}" or "" for normal behaviour).
    void SetControl(const std::string& json) const;
    // Ends the server and starts it again on a new port, with another certificate when
    // given. The records start over.
    void Restart(const TTestCertificate& certificate = {});
    // Ends the server, as an outage does; Resume starts it again on the same port with
    // its records kept (request sequence numbers start over).
    void Pause();
    void Resume();

    std::string RecordDir() const { return _sDirectory + "/record"; }
    std::string StoreDir() const { return _sDirectory + "/store"; }
    // Lines of requests.log: "<seq> POST <path> -> <status>".
    std::vector<std::string> Requests() const;
    // The wire faults the server found (problems.log); empty when none.
    std::string Problems() const;
    // Lines of files.log: "<seq> <name> <status> <description>".
    std::vector<std::string> Files() const;
    // Body and head of the request with the sequence number (1 = the first one).
    std::string RequestBody(int sequence) const;
    std::string RequestHead(int sequence) const;

private:
    void Start(int port = 0);
    std::string RecordFile(int sequence, const std::string& extension) const;

    std::string _sDirectory;
    TFilekeyPeerOptions _rOptions;
    std::unique_ptr<TPeerProcess> _ocProcess;
    int _iPausedPort = 0;
};

// The lines of a text file; none when it does not exist.
std::vector<std::string> ReadLines(const std::string& path);
