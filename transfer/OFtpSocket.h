#pragma once
// One TCP connection of the FTP client, plain or secured with TLS, with a time-out on
// every wait. Control and data connections are both of this kind; a listening socket
// for active-mode data connections too. Errors are reported as False plus a text.
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <string>

struct ssl_st;
struct ssl_ctx_st;

class TFtpSocket {
public:
    TFtpSocket() = default;
    ~TFtpSocket();
    TFtpSocket(const TFtpSocket&) = delete;
    TFtpSocket& operator=(const TFtpSocket&) = delete;

    // Resolves the host and connects to the first address that answers in time.
    bool Connect(const std::string& host, const std::string& port, int timeoutMs);
    // Connects to the given address (the data port the server named).
    bool Connect(const sockaddr_storage& address, int timeoutMs);
    // Listens on the address with a port the system picks.
    bool Listen(const sockaddr_storage& address);
    // Takes the first connection of the listener into this socket. A connection from
    // another address than expectedPeer is refused: only the server may connect.
    bool Accept(TFtpSocket& listener, const sockaddr_storage& expectedPeer, int timeoutMs);

    // Client side of a TLS handshake; resume (may be null) is offered for resumption.
    bool StartTls(ssl_ctx_st* context, const std::string& serverName, ssl_st* resumeFrom, int timeoutMs);

    bool SendAll(const char* data, std::size_t size, int timeoutMs);
    // Bytes read (> 0), 0 at the end of the stream, -1 on error or time-out.
    long Receive(char* buffer, std::size_t size, int timeoutMs);
    // Ends the sending side (TLS close_notify, then the TCP half-close) and waits until
    // the server has closed its side too, so that no byte sent is lost to a reset.
    bool FinishSending(int timeoutMs);
    void Close();

    bool IsOpen() const { return _iSocket >= 0; }
    ssl_st* Tls() const { return _pTls; }
    sockaddr_storage LocalAddress() const;
    sockaddr_storage PeerAddress() const;
    const std::string& LastError() const { return _sLastError; }

    // "127.0.0.1" or "::1"; empty for other families.
    static std::string AddressText(const sockaddr_storage& address);
    static int AddressPort(const sockaddr_storage& address);
    static void SetAddressPort(sockaddr_storage& address, int port);
    static bool SameHost(const sockaddr_storage& a, const sockaddr_storage& b);

private:
    bool Fail(const std::string& text);
    bool FailErrno(const std::string& text, int error);
    // Waits for the events; False (with the error set) on time-out or failure.
    bool WaitFor(short events, int timeoutMs, const char* what);
    // Drives a TLS operation that may want to read or write first.
    bool WaitForTls(int result, int timeoutMs, const char* what);
    bool ConnectTo(const sockaddr* address, socklen_t length, int timeoutMs);

    int _iSocket = -1;
    ssl_st* _pTls = nullptr;
    std::string _sLastError;
};
