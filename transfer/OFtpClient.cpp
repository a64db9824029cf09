#include "transfer/OFtpClient.h"

#include <fcntl.h>
#include <openssl/ssl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "transfer/OFtpSocket.h"

namespace {

constexpr std::size_t kMaxReplyBytes = 64 * 1024;
constexpr std::size_t kChunkSize = 64 * 1024;

bool IsPreliminary(std::int32_t code) { return code >= 100 && code < 200; }

bool StartsWithCode(const std::string& line) {
    return line.size() >= 3 && std::isdigit(static_cast<unsigned char>(line[0])) &&
           std::isdigit(static_cast<unsigned char>(line[1])) && std::isdigit(static_cast<unsigned char>(line[2]));
}

// The numbers of "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)": the port from the last two.
int PortOfPasvReply(const std::string& text) {
    // Inside the parentheses when there are any: the text around may hold numbers too.
    const std::size_t open = text.find('(');
    const std::size_t close = open == std::string::npos ? std::string::npos : text.find(')', open);
    const std::size_t first = open == std::string::npos ? 4 : open + 1;
    const std::size_t last = close == std::string::npos ? text.size() : close;
    std::vector<long> numbers;
    std::size_t i = first;
    while (i < last) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) {
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < last && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
        numbers.push_back(std::strtol(text.substr(i, std::min<std::size_t>(end - i, 6)).c_str(), nullptr, 10));
        i = end;
    }
    if (numbers.size() != 6) return 0;
    const long high = numbers[numbers.size() - 2];
    const long low = numbers[numbers.size() - 1];
    if (high < 0 || high > 255 || low < 0 || low > 255) return 0;
    return static_cast<int>(high * 256 + low);
}

// The port of "229 Entering Extended Passive Mode (|||port|)".
int PortOfEpsvReply(const std::string& text) {
    const std::size_t open = text.find('(');
    const std::size_t close = text.find(')', open == std::string::npos ? 0 : open);
    if (open == std::string::npos || close == std::string::npos || close < open + 5) return 0;
    const std::string inner = text.substr(open + 1, close - open - 1);
    const char delimiter = inner[0];
    if (inner.size() < 5 || inner[1] != delimiter || inner[2] != delimiter || inner.back() != delimiter) return 0;
    const std::string digits = inner.substr(3, inner.size() - 4);
    if (digits.empty() || digits.size() > 5) return 0;
    for (const char c : digits) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return 0;
    }
    const long port = std::strtol(digits.c_str(), nullptr, 10);
    return port > 0 && port < 65536 ? static_cast<int>(port) : 0;
}

std::string PortCommand(const sockaddr_storage& address, int port) {
    if (address.ss_family == AF_INET6) {
        return "EPRT |2|" + TFtpSocket::AddressText(address) + "|" + std::to_string(port) + "|";
    }
    std::string host = TFtpSocket::AddressText(address);
    for (char& c : host) {
        if (c == '.') c = ',';
    }
    return "PORT " + host + "," + std::to_string(port / 256) + "," + std::to_string(port % 256);
}

}  // namespace

TFtpClient::TFtpClient() : _ocControl(std::make_unique<TFtpSocket>()) {}

TFtpClient::~TFtpClient() {
    _ocControl->Close();
    if (_pTlsContext != nullptr) SSL_CTX_free(_pTlsContext);
}

ssl_ctx_st* TFtpClient::TlsContext() {
    if (_pTlsContext != nullptr) return _pTlsContext;
    _pTlsContext = SSL_CTX_new(TLS_client_method());
    if (_pTlsContext == nullptr) return nullptr;
    // No verification here: the caller pins the certificate. The trusted certificates
    // are loaded all the same, so that the verification result we capture means something.
    SSL_CTX_set_verify(_pTlsContext, SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_default_verify_paths(_pTlsContext);
    return _pTlsContext;
}

void TFtpClient::LocalFailure(const std::string& text) {
    _iResultCode = 0;
    _sResultString = text;
    _slFullResult = {text};
}

void TFtpClient::DropControl(const std::string& text) {
    _ocControl->Close();
    _sInput.clear();
    _lLoggedIn = false;
    LocalFailure(text);
}

bool TFtpClient::ConnectControl() {
    _ocControl->Close();
    _sInput.clear();
    _lLoggedIn = false;
    const std::string port = _rParameters.sTargetPort.empty() ? std::string("21") : _rParameters.sTargetPort;
    if (!_ocControl->Connect(_rParameters.sTargetHost, port, _rParameters.iTimeout)) {
        LocalFailure(_ocControl->LastError());
        return false;
    }
    if (!ReadReply()) return false;
    if (_iResultCode / 100 == 2) return true;
    _ocControl->Close();
    return false;
}

bool TFtpClient::Login() {
    if (!ConnectControl()) return false;
    const bool secure = _rParameters.lSecure;
    if (secure) {
        if (FtpCommand("AUTH TLS") != 234) {
            _ocControl->Close();
            return false;
        }
        ssl_ctx_st* context = TlsContext();
        if (context == nullptr) {
            DropControl("cannot create tls context");
            return false;
        }
        if (!_ocControl->StartTls(context, _rParameters.sTargetHost, nullptr, _rParameters.iTimeout)) {
            DropControl(_ocControl->LastError());
            return false;
        }
        OnControlTlsEstablished(_ocControl->Tls());
    }
    std::int32_t code = FtpCommand("USER " + _rParameters.sUserName);
    if (code == 331) code = FtpCommand("PASS " + _rParameters.sPassword);
    bool ok = code == 230 || code == 202;
    // Data connections are protected before anything is sent over them.
    if (ok && secure) ok = FtpCommand("PBSZ 0") == 200 && FtpCommand("PROT P") == 200;
    if (ok) ok = FtpCommand("TYPE I") == 200;
    if (!ok) {
        _ocControl->Close();
        _sInput.clear();
        return false;
    }
    _lLoggedIn = true;
    return true;
}

bool TFtpClient::Logout() {
    const std::int32_t code = FtpCommand("QUIT");
    _ocControl->Close();
    _sInput.clear();
    _lLoggedIn = false;
    return code / 100 == 2;
}

bool TFtpClient::SendCommandLine(const std::string& command) {
    if (!_ocControl->IsOpen()) {
        LocalFailure("not connected");
        return false;
    }
    if (command.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
        LocalFailure("command refused: it holds a line break");
        return false;
    }
    const std::string line = command + "\r\n";
    if (!_ocControl->SendAll(line.data(), line.size(), _rParameters.iTimeout)) {
        DropControl(_ocControl->LastError());
        return false;
    }
    return true;
}

std::int32_t TFtpClient::FtpCommand(const std::string& command) {
    if (!SendCommandLine(command)) return 0;
    if (!ReadReply()) return 0;
    return _iResultCode;
}

bool TFtpClient::ReadLine(std::string& line) {
    for (;;) {
        const std::size_t end = _sInput.find('\n');
        if (end != std::string::npos) {
            line = _sInput.substr(0, end);
            _sInput.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return true;
        }
        if (_sInput.size() > kMaxReplyBytes) {
            DropControl("reply line too long");
            return false;
        }
        char chunk[4096];
        const long got = _ocControl->Receive(chunk, sizeof chunk, _rParameters.iTimeout);
        if (got <= 0) {
            DropControl(got == 0 ? std::string("connection closed by the server") : _ocControl->LastError());
            return false;
        }
        _sInput.append(chunk, static_cast<std::size_t>(got));
    }
}

bool TFtpClient::ReadReply() {
    std::vector<std::string> lines;
    std::size_t bytes = 0;
    std::string line;
    if (!ReadLine(line)) return false;
    if (!StartsWithCode(line)) {
        DropControl("not an ftp reply: " + line.substr(0, 80));
        return false;
    }
    lines.push_back(line);
    // A multi-line reply ends with the line that repeats the code followed by a blank.
    if (line.size() > 3 && line[3] == '-') {
        const std::string last = line.substr(0, 3) + " ";
        for (;;) {
            if (!ReadLine(line)) return false;
            bytes += line.size();
            if (bytes > kMaxReplyBytes) {
                DropControl("reply too long");
                return false;
            }
            lines.push_back(line);
            if (line.rfind(last, 0) == 0 || line == last.substr(0, 3)) break;
        }
    }
    _iResultCode = std::atoi(lines.front().substr(0, 3).c_str());
    _sResultString = lines.back();
    _slFullResult = std::move(lines);
    return true;
}

bool TFtpClient::CreateDir(const std::string& sDirectory) { return FtpCommand("MKD " + sDirectory) == 257; }

bool TFtpClient::DeleteDir(const std::string& sDirectory) { return FtpCommand("RMD " + sDirectory) == 250; }

bool TFtpClient::ChangeWorkingDir(const std::string& sDirectory) { return FtpCommand("CWD " + sDirectory) == 250; }

bool TFtpClient::ChangeToRootDir() { return ChangeWorkingDir("/"); }

std::int64_t TFtpClient::RemoteSize(const std::string& sRemoteName) {
    if (FtpCommand("SIZE " + sRemoteName) != 213) return -1;
    const std::string text = _sResultString.size() > 4 ? _sResultString.substr(4) : std::string();
    char* end = nullptr;
    const long long size = std::strtoll(text.c_str(), &end, 10);
    return end != text.c_str() && size >= 0 ? size : -1;
}

bool TFtpClient::OpenPassive(TFtpSocket& data) {
    sockaddr_storage address = _ocControl->PeerAddress();
    int port = 0;
    if (address.ss_family == AF_INET && FtpCommand("PASV") == 227) port = PortOfPasvReply(_sResultString);
    if (port == 0 && _ocControl->IsOpen() && FtpCommand("EPSV") == 229) port = PortOfEpsvReply(_sResultString);
    if (port == 0) return false;
    // The server's own address, whatever the reply names: a server behind a translating
    // router often names one we cannot reach, and no one else should get our data.
    TFtpSocket::SetAddressPort(address, port);
    if (data.Connect(address, _rParameters.iTimeout)) return true;
    LocalFailure("data connection failed: " + data.LastError());
    return false;
}

bool TFtpClient::OpenActive(TFtpSocket& listener) {
    const sockaddr_storage local = _ocControl->LocalAddress();
    if (!listener.Listen(local)) {
        LocalFailure(listener.LastError());
        return false;
    }
    const int port = TFtpSocket::AddressPort(listener.LocalAddress());
    if (FtpCommand(PortCommand(local, port)) == 200) return true;
    listener.Close();
    return false;
}

bool TFtpClient::OpenDataConnection(TFtpSocket& data, TFtpSocket& listener) {
    return _rParameters.lPassiveMode ? OpenPassive(data) : OpenActive(listener);
}

bool TFtpClient::SendFileBody(TFtpSocket& data, int file, std::int64_t offset) {
    std::string chunk(kChunkSize, '\0');
    for (;;) {
        const ssize_t got = pread(file, chunk.data(), chunk.size(), offset);
        if (got < 0) {
            if (errno == EINTR) continue;
            LocalFailure("cannot read local file");
            return false;
        }
        if (got == 0) return true;
        if (!data.SendAll(chunk.data(), static_cast<std::size_t>(got), _rParameters.iTimeout)) {
            LocalFailure("data connection failed: " + data.LastError());
            return false;
        }
        offset += got;
    }
}

bool TFtpClient::AbortTransfer(TFtpSocket& data) {
    // Closed without a TLS close_notify, so the server sees a cut transfer, not an end.
    data.Close();
    // The server answers the broken transfer; that answer is read here, so that the next
    // command meets its own reply. A server that does not answer is dropped.
    if (_ocControl->IsOpen()) ReadReply();
    return false;
}

bool TFtpClient::StoreFile(const std::string& sLocalFile, const std::string& sRemoteName, bool lRestore) {
    if (!_ocControl->IsOpen()) {
        LocalFailure("not connected");
        return false;
    }
    const int file = open(sLocalFile.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat status {};
    if (file < 0 || fstat(file, &status) != 0 || !S_ISREG(status.st_mode)) {
        if (file >= 0) close(file);
        LocalFailure("cannot open local file " + sLocalFile);
        return false;
    }
    struct TCloser {
        int fd;
        ~TCloser() { close(fd); }
    } closer{file};

    std::int64_t offset = 0;
    if (lRestore) {
        const std::int64_t remote = RemoteSize(sRemoteName);
        if (remote > 0 && remote < status.st_size) offset = remote;
        if (!_ocControl->IsOpen()) return false;
    }
    TFtpSocket data;
    TFtpSocket listener;
    if (!OpenDataConnection(data, listener)) return false;
    if (offset > 0 && FtpCommand("REST " + std::to_string(offset)) != 350) {
        if (!_ocControl->IsOpen()) return false;
        offset = 0;
    }
    if (!IsPreliminary(FtpCommand("STOR " + sRemoteName))) return false;
    if (!_rParameters.lPassiveMode) {
        const bool accepted = data.Accept(listener, _ocControl->PeerAddress(), _rParameters.iTimeout);
        listener.Close();
        if (!accepted) {
            LocalFailure("data connection failed: " + data.LastError());
            return AbortTransfer(data);
        }
    }
    if (_rParameters.lSecure &&
        !data.StartTls(TlsContext(), _rParameters.sTargetHost, _ocControl->Tls(), _rParameters.iTimeout)) {
        LocalFailure("data connection failed: " + data.LastError());
        return AbortTransfer(data);
    }
    if (!SendFileBody(data, file, offset)) return AbortTransfer(data);
    // Whether the server got everything, its reply says; the close only has to be orderly.
    data.FinishSending(_rParameters.iTimeout);
    data.Close();
    if (!ReadReply()) return false;
    return _iResultCode == 226 || _iResultCode == 250;
}
