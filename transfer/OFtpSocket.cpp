#include "transfer/OFtpSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

namespace {

// A write to a connection the server has closed raises SIGPIPE, which would end the
// program. The signal is held back on this thread during the call and a SIGPIPE that
// the call itself caused is taken off again, so other threads' handling is unchanged.
class TSigPipeGuard {
public:
    TSigPipeGuard() {
        sigemptyset(&_set);
        sigaddset(&_set, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        _lWasPending = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &_set, &_old);
    }
    ~TSigPipeGuard() {
        if (!_lWasPending) {
            sigset_t pending;
            sigpending(&pending);
            if (sigismember(&pending, SIGPIPE) == 1) {
                const timespec none{0, 0};
                while (sigtimedwait(&_set, nullptr, &none) < 0 && errno == EINTR) {
                }
            }
        }
        pthread_sigmask(SIG_SETMASK, &_old, nullptr);
    }
    TSigPipeGuard(const TSigPipeGuard&) = delete;
    TSigPipeGuard& operator=(const TSigPipeGuard&) = delete;

private:
    sigset_t _set{};
    sigset_t _old{};
    bool _lWasPending = false;
};

int MillisecondsLeft(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

std::string TlsErrorText() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return "tls failure";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

socklen_t AddressLength(const sockaddr_storage& address) {
    return address.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

}  // namespace

TFtpSocket::~TFtpSocket() { Close(); }

bool TFtpSocket::Fail(const std::string& text) {
    _sLastError = text;
    return false;
}

bool TFtpSocket::FailErrno(const std::string& text, int error) { return Fail(text + " ( " + std::strerror(error) + " )"); }

bool TFtpSocket::Connect(const std::string& host, const std::string& port, int timeoutMs) {
    Close();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int resolved = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    if (resolved != 0) return Fail("cannot resolve " + host + ":" + port + " ( " + gai_strerror(resolved) + " )");
    bool connected = false;
    for (addrinfo* entry = found; entry != nullptr && !connected; entry = entry->ai_next) {
        connected = ConnectTo(entry->ai_addr, entry->ai_addrlen, timeoutMs);
    }
    freeaddrinfo(found);
    if (!connected) _sLastError = "cannot connect to " + host + ":" + port + ": " + _sLastError;
    return connected;
}

bool TFtpSocket::Connect(const sockaddr_storage& address, int timeoutMs) {
    Close();
    return ConnectTo(reinterpret_cast<const sockaddr*>(&address), AddressLength(address), timeoutMs);
}

bool TFtpSocket::ConnectTo(const sockaddr* address, socklen_t length, int timeoutMs) {
    Close();
    _iSocket = socket(address->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (_iSocket < 0) return FailErrno("cannot create socket", errno);
    if (connect(_iSocket, address, length) != 0) {
        if (errno != EINPROGRESS) {
            const int error = errno;
            Close();
            return FailErrno("connect failed", error);
        }
        if (!WaitFor(POLLOUT, timeoutMs, "connect")) {
            Close();
            return false;
        }
        int error = 0;
        socklen_t size = sizeof error;
        getsockopt(_iSocket, SOL_SOCKET, SO_ERROR, &error, &size);
        if (error != 0) {
            Close();
            return FailErrno("connect failed", error);
        }
    }
    return true;
}

bool TFtpSocket::Listen(const sockaddr_storage& address) {
    Close();
    sockaddr_storage local = address;
    SetAddressPort(local, 0);
    _iSocket = socket(local.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (_iSocket < 0) return FailErrno("cannot create socket", errno);
    if (bind(_iSocket, reinterpret_cast<const sockaddr*>(&local), AddressLength(local)) != 0 ||
        listen(_iSocket, 1) != 0) {
        const int error = errno;
        Close();
        return FailErrno("cannot listen for the data connection", error);
    }
    return true;
}

bool TFtpSocket::Accept(TFtpSocket& listener, const sockaddr_storage& expectedPeer, int timeoutMs) {
    Close();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (!listener.WaitFor(POLLIN, MillisecondsLeft(deadline), "accept")) return Fail(listener.LastError());
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        const int accepted =
            accept4(listener._iSocket, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (accepted < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == ECONNABORTED) continue;
            return FailErrno("accept failed", errno);
        }
        if (SameHost(peer, expectedPeer)) {
            _iSocket = accepted;
            return true;
        }
        // Someone else than the server: not our data.
        close(accepted);
    }
}

bool TFtpSocket::StartTls(ssl_ctx_st* context, const std::string& serverName, ssl_st* resumeFrom, int timeoutMs) {
    if (_iSocket < 0) return Fail("not connected");
    _pTls = SSL_new(context);
    if (_pTls == nullptr || SSL_set_fd(_pTls, _iSocket) != 1) return Fail("cannot create tls session: " + TlsErrorText());
    if (!serverName.empty()) {
        in6_addr numeric{};
        const bool isNumeric = inet_pton(AF_INET, serverName.c_str(), &numeric) == 1 ||
                               inet_pton(AF_INET6, serverName.c_str(), &numeric) == 1;
        if (!isNumeric) SSL_set_tlsext_host_name(_pTls, serverName.c_str());
    }
    if (resumeFrom != nullptr) {
        SSL_SESSION* session = SSL_get1_session(resumeFrom);
        if (session != nullptr) {
            SSL_set_session(_pTls, session);
            SSL_SESSION_free(session);
        }
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    TSigPipeGuard guard;
    for (;;) {
        ERR_clear_error();
        const int result = SSL_connect(_pTls);
        if (result == 1) return true;
        if (!WaitForTls(result, MillisecondsLeft(deadline), "tls handshake")) return false;
    }
}

bool TFtpSocket::SendAll(const char* data, std::size_t size, int timeoutMs) {
    if (_iSocket < 0) return Fail("not connected");
    TSigPipeGuard guard;
    std::size_t sent = 0;
    while (sent < size) {
        if (_pTls != nullptr) {
            ERR_clear_error();
            std::size_t written = 0;
            const int result = SSL_write_ex(_pTls, data + sent, size - sent, &written);
            if (result == 1) {
                sent += written;
                continue;
            }
            if (!WaitForTls(result, timeoutMs, "send")) return false;
            continue;
        }
        const ssize_t written = send(_iSocket, data + sent, size - sent, MSG_NOSIGNAL);
        if (written >= 0) {
            sent += static_cast<std::size_t>(written);
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return FailErrno("send failed", errno);
        if (!WaitFor(POLLOUT, timeoutMs, "send")) return false;
    }
    return true;
}

long TFtpSocket::Receive(char* buffer, std::size_t size, int timeoutMs) {
    if (_iSocket < 0) {
        Fail("not connected");
        return -1;
    }
    TSigPipeGuard guard;
    for (;;) {
        if (_pTls != nullptr) {
            ERR_clear_error();
            std::size_t got = 0;
            const int result = SSL_read_ex(_pTls, buffer, size, &got);
            if (result == 1) return static_cast<long>(got);
            const int error = SSL_get_error(_pTls, result);
            if (error == SSL_ERROR_ZERO_RETURN) return 0;
            // A server that closes without close_notify: the end of its data all the same.
            if (error == SSL_ERROR_SSL && ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
                ERR_clear_error();
                return 0;
            }
            if (!WaitForTls(result, timeoutMs, "receive")) return -1;
            continue;
        }
        const ssize_t got = recv(_iSocket, buffer, size, 0);
        if (got >= 0) return static_cast<long>(got);
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            FailErrno("receive failed", errno);
            return -1;
        }
        if (!WaitFor(POLLIN, timeoutMs, "receive")) return -1;
    }
}

bool TFtpSocket::FinishSending(int timeoutMs) {
    if (_iSocket < 0) return Fail("not connected");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    if (_pTls != nullptr) {
        TSigPipeGuard guard;
        for (;;) {
            ERR_clear_error();
            const int result = SSL_shutdown(_pTls);
            // 0: our close_notify is out; the server's may follow before it closes.
            if (result >= 0) break;
            if (!WaitForTls(result, MillisecondsLeft(deadline), "tls shutdown")) return false;
        }
    }
    if (shutdown(_iSocket, SHUT_WR) != 0) return FailErrno("shutdown failed", errno);
    char sink[4096];
    for (;;) {
        const long got = Receive(sink, sizeof sink, MillisecondsLeft(deadline));
        if (got == 0) return true;
        // After our close_notify a TLS read may report the server's close as an error.
        if (got < 0) return _pTls != nullptr && (SSL_get_shutdown(_pTls) & SSL_RECEIVED_SHUTDOWN) != 0;
    }
}

void TFtpSocket::Close() {
    if (_pTls != nullptr) {
        SSL_free(_pTls);
        _pTls = nullptr;
    }
    if (_iSocket >= 0) {
        close(_iSocket);
        _iSocket = -1;
    }
}

bool TFtpSocket::WaitFor(short events, int timeoutMs, const char* what) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        pollfd waiting{_iSocket, events, 0};
        const int ready = poll(&waiting, 1, MillisecondsLeft(deadline));
        if (ready > 0) return true;
        if (ready == 0) return Fail(std::string(what) + " timed out");
        if (errno != EINTR) return FailErrno(std::string(what) + " failed", errno);
    }
}

bool TFtpSocket::WaitForTls(int result, int timeoutMs, const char* what) {
    const int error = SSL_get_error(_pTls, result);
    if (error == SSL_ERROR_WANT_READ) return WaitFor(POLLIN, timeoutMs, what);
    if (error == SSL_ERROR_WANT_WRITE) return WaitFor(POLLOUT, timeoutMs, what);
    if (error == SSL_ERROR_SYSCALL) {
        const int saved = errno;
        const std::string detail = ERR_peek_error() != 0 ? TlsErrorText() : (saved != 0 ? std::strerror(saved) : "connection closed");
        return Fail(std::string(what) + " failed ( " + detail + " )");
    }
    if (error == SSL_ERROR_ZERO_RETURN) return Fail(std::string(what) + " failed ( connection closed )");
    return Fail(std::string(what) + " failed ( " + TlsErrorText() + " )");
}

sockaddr_storage TFtpSocket::LocalAddress() const {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (_iSocket >= 0) getsockname(_iSocket, reinterpret_cast<sockaddr*>(&address), &length);
    return address;
}

sockaddr_storage TFtpSocket::PeerAddress() const {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (_iSocket >= 0) getpeername(_iSocket, reinterpret_cast<sockaddr*>(&address), &length);
    return address;
}

std::string TFtpSocket::AddressText(const sockaddr_storage& address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, text, sizeof text);
    } else if (address.ss_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(address).sin6_addr, text, sizeof text);
    }
    return text;
}

int TFtpSocket::AddressPort(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    return 0;
}

void TFtpSocket::SetAddressPort(sockaddr_storage& address, int port) {
    if (address.ss_family == AF_INET) reinterpret_cast<sockaddr_in&>(address).sin_port = htons(static_cast<std::uint16_t>(port));
    if (address.ss_family == AF_INET6) reinterpret_cast<sockaddr_in6&>(address).sin6_port = htons(static_cast<std::uint16_t>(port));
}

bool TFtpSocket::SameHost(const sockaddr_storage& a, const sockaddr_storage& b) {
    return a.ss_family == b.ss_family && AddressText(a) == AddressText(b);
}
