#include "transfer/OIdentServer.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>

#include "foundation/VeltUtilsStringOperations.h"

namespace {

constexpr int kNapMilliseconds = 100;
constexpr std::size_t kMaxQueryLength = 1000;

// "  6193 " -> 6193; 0 when the text is no port number.
int PortNumber(const std::string& text) {
    const std::string trimmed = TrimBlanks(text);
    if (trimmed.empty() || trimmed.size() > 5) return 0;
    for (const char c : trimmed) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return 0;
    }
    const int port = std::atoi(trimmed.c_str());
    return port >= 1 && port <= 65535 ? port : 0;
}

// The user id as the declared character set holds it: one byte per character, with
// what Latin-1 lacks (and control characters, which would break the line) as "?".
std::string AsLatin1(const std::string& text) {
    std::string bytes;
    std::size_t i = 0;
    while (i < text.size()) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 1;
        unsigned int code = 0x100;
        if (lead < 0x80) {
            code = lead;
        } else if (length == 2 && i + 1 < text.size()) {
            code = ((lead & 0x1Fu) << 6) | (static_cast<unsigned char>(text[i + 1]) & 0x3Fu);
        }
        i += std::min(length, text.size() - i);
        bytes += code < 0x20 || code == 0x7F || code > 0xFF ? '?' : static_cast<char>(code);
    }
    return bytes;
}

}  // namespace

TIdentServer::TIdentServer(const std::string& AReply, int port) : _sReply(TrimBlanks(AReply)), _iPort(port) {
    if (_sReply.empty()) throw EIdentServer("TIdentServer error: cannot create object, reply is empty");
}

TIdentServer::~TIdentServer() { ServerStop(); }

std::string TIdentServer::Answer(const std::string& query, const std::string& reply) {
    const std::size_t comma = query.find(',');
    const int serverPort = comma == std::string::npos ? 0 : PortNumber(query.substr(0, comma));
    const int clientPort = comma == std::string::npos ? 0 : PortNumber(query.substr(comma + 1));
    if (serverPort == 0 || clientPort == 0) return TrimBlanks(query) + " : ERROR : INVALID-PORT";
    return std::to_string(serverPort) + " , " + std::to_string(clientPort) + " : USERID : UNIX,ISO-8859-1 : " +
           AsLatin1(reply);
}

bool TIdentServer::Listen(int family) {
    _iSocket = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (_iSocket < 0) return false;
    // Address reuse as the system the design was made for has it by default: a port
    // held only by closed connections (TIME_WAIT) may be listened on again at once,
    // a port another program listens on may not.
    const int on = 1;
    setsockopt(_iSocket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    int bound = -1;
    if (family == AF_INET6) {
        const int off = 0;
        setsockopt(_iSocket, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_any;
        address.sin6_port = htons(static_cast<std::uint16_t>(_iPort));
        bound = bind(_iSocket, reinterpret_cast<sockaddr*>(&address), sizeof address);
    } else {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        address.sin_port = htons(static_cast<std::uint16_t>(_iPort));
        bound = bind(_iSocket, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    if (bound != 0 || listen(_iSocket, kListenBacklog) != 0) {
        _iLastError = errno;
        close(_iSocket);
        _iSocket = -1;
        return false;
    }
    sockaddr_storage actual{};
    socklen_t length = sizeof actual;
    getsockname(_iSocket, reinterpret_cast<sockaddr*>(&actual), &length);
    _iPort = ntohs(actual.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(actual).sin6_port
                                                : reinterpret_cast<sockaddr_in&>(actual).sin_port);
    return true;
}

bool TIdentServer::ServerStart() {
    if (_iSocket >= 0) return true;
    _iLastError = 0;
    // Both address families on one socket where the system has IPv6, IPv4 alone otherwise.
    if (!Listen(AF_INET6)) {
        const int error = _iLastError;
        if (error != 0 && error != EAFNOSUPPORT) return false;
        if (!Listen(AF_INET)) return false;
    }
    _lStopping = false;
    _thAcceptor = std::thread([this] { AcceptLoop(); });
    return true;
}

void TIdentServer::ServerStop() {
    _lStopping = true;
    if (_thAcceptor.joinable()) _thAcceptor.join();
    if (_iSocket >= 0) {
        close(_iSocket);
        _iSocket = -1;
    }
    // Connection threads notice the stop within a nap.
    std::lock_guard<std::mutex> lock(_csConnections);
    for (std::thread& connection : _lthConnections) {
        if (connection.joinable()) connection.join();
    }
    _lthConnections.clear();
}

void TIdentServer::AcceptLoop() {
    while (!_lStopping) {
        pollfd waiting{_iSocket, POLLIN, 0};
        if (poll(&waiting, 1, kNapMilliseconds) <= 0) continue;
        const int connection = accept4(_iSocket, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) continue;
        std::lock_guard<std::mutex> lock(_csConnections);
        _lthConnections.emplace_back([this, connection] {
            Serve(connection);
            close(connection);
        });
    }
}

void TIdentServer::Serve(int connection) {
    std::string input;
    auto idleSince = std::chrono::steady_clock::now();
    while (!_lStopping) {
        const std::size_t end = input.find('\n');
        if (end != std::string::npos) {
            std::string query = input.substr(0, end);
            input.erase(0, end + 1);
            if (!query.empty() && query.back() == '\r') query.pop_back();
            const std::string answer = Answer(query, _sReply) + "\r\n";
            if (send(connection, answer.data(), answer.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(answer.size())) return;
            idleSince = std::chrono::steady_clock::now();
            continue;
        }
        if (input.size() > kMaxQueryLength) return;
        if (std::chrono::steady_clock::now() - idleSince > std::chrono::milliseconds(kQueryTimeoutMilliseconds)) return;
        pollfd waiting{connection, POLLIN, 0};
        if (poll(&waiting, 1, kNapMilliseconds) <= 0) continue;
        char chunk[512];
        const ssize_t got = recv(connection, chunk, sizeof chunk, 0);
        if (got <= 0) return;
        input.append(chunk, static_cast<std::size_t>(got));
    }
}
