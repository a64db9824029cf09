#pragma once
// An ident responder (RFC 1413) that lives only while an FTP login runs: the server asks
// which user owns the connection and gets the configured ident. It answers every
// well-formed query with USERID, "UNIX" and the character set ISO-8859-1, each
// connection on a thread of its own.
#include <atomic>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <thread>

#include "foundation/VeltExceptions.h"

VELT_DECLARE_EXCEPTION(EIdentServer);

class TIdentServer {
public:
    static constexpr int kDefaultPort = 113;
    static constexpr int kQueryTimeoutMilliseconds = 10000;
    static constexpr int kListenBacklog = 15;

    // The reply is trimmed; raises EIdentServer when it is then empty. Port 0 lets the
    // system pick one (see Port()).
    explicit TIdentServer(const std::string& AReply, int port = kDefaultPort);
    ~TIdentServer();
    TIdentServer(const TIdentServer&) = delete;
    TIdentServer& operator=(const TIdentServer&) = delete;

    // Starts listening; False when the port cannot be had (LastError() gives the
    // errno: EACCES for a privileged port, EADDRINUSE when another program has it).
    bool ServerStart();
    // Stops listening and ends the connection threads; idempotent.
    void ServerStop();

    int LastError() const { return _iLastError; }
    // The port listened on (the chosen one when constructed with 0).
    int Port() const { return _iPort; }
    const std::string& Reply() const { return _sReply; }

    // The answer line (without CR LF) to one query line, e.g. "6193, 23" ->
    // "6193 , 23 : USERID : UNIX,ISO-8859-1 : reply".
    static std::string Answer(const std::string& query, const std::string& reply);

private:
    void AcceptLoop();
    void Serve(int connection);
    bool Listen(int family);

    std::string _sReply;
    int _iPort;
    int _iSocket = -1;
    int _iLastError = 0;
    std::atomic<bool> _lStopping{false};
    std::thread _thAcceptor;
    std::mutex _csConnections;
    std::list<std::thread> _lthConnections;
};
