#include "tests/support/FtpPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tests/support/Ports.h"
#include "tests/support/WaitFor.h"

namespace {

bool Answers(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return connected;
}

void WriteWholeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) throw std::runtime_error("ftp peer: cannot write " + path);
}

}  // namespace

std::vector<std::string> ReadFileLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

TFtpPeer::TFtpPeer(const std::string& directory, TFtpPeerOptions options)
    : _sDirectory(directory), _rOptions(std::move(options)) {
    std::filesystem::create_directories(RootDir());
    if (_rOptions.lTls && _rOptions.rCertificate.sCertFile.empty()) {
        _rOptions.rCertificate = MakeSelfSignedCertificate(_sDirectory, "server");
    }
    SetControl("{}");
    std::vector<std::string> arguments = {"--host", _rOptions.sHost, "--port", "0", "--root", RootDir(), "--record-dir", RecordDir(),
                                          "--control", _sDirectory + "/control.json"};
    if (_rOptions.lTls) {
        arguments.insert(arguments.end(), {"--tls", "--cert", _rOptions.rCertificate.sCertFile, "--key",
                                           _rOptions.rCertificate.sKeyFile});
    }
    if (_rOptions.lRequireTls) arguments.push_back("--require-tls");
    if (_rOptions.lRequireReuse) arguments.push_back("--require-reuse");
    if (_rOptions.iIdentPort != 0) {
        arguments.insert(arguments.end(), {"--ident-port", std::to_string(_rOptions.iIdentPort), "--ident-user",
                                           _rOptions.sIdentUser});
    }
    for (const auto& [login, password] : _rOptions.aUsers) {
        arguments.insert(arguments.end(), {"--user", login + ":" + password});
    }
    _ocProcess = std::make_unique<TPeerProcess>(TPeerProcess::PythonPeer("ftp_server.py", arguments));
}

void TFtpPeer::SetControl(const std::string& json) const {
    const std::string target = _sDirectory + "/control.json";
    WriteWholeFile(target + ".new", json);
    std::filesystem::rename(target + ".new", target);
}

void TFtpPeer::Stop() {
    if (!_ocProcess) return;
    _iLastPort = _ocProcess->Port();
    _ocProcess.reset();
}

std::vector<std::string> TFtpPeer::Transcript() const { return ReadFileLines(RecordDir() + "/commands.log"); }

std::vector<std::string> TFtpPeer::Commands() const {
    std::vector<std::string> commands;
    for (const std::string& line : Transcript()) {
        const std::size_t arrow = line.find(" <- ");
        if (arrow != std::string::npos) commands.push_back(line.substr(arrow + 4));
    }
    return commands;
}

std::vector<std::string> TFtpPeer::Commands(int connection) const {
    std::vector<std::string> commands;
    const std::string prefix = std::to_string(connection) + " <- ";
    for (const std::string& line : Transcript()) {
        if (line.rfind(prefix, 0) == 0) commands.push_back(line.substr(prefix.size()));
    }
    return commands;
}

int TFtpPeer::Connections() const {
    int connections = 0;
    for (const std::string& line : Transcript()) connections = std::max(connections, std::atoi(line.c_str()));
    return connections;
}

std::vector<std::string> TFtpPeer::Transfers() const { return ReadFileLines(RecordDir() + "/transfers.log"); }

std::vector<std::string> TFtpPeer::IdentQueries() const { return ReadFileLines(RecordDir() + "/ident.log"); }

std::string TFtpPeer::StoredFile(const std::string& relative) const { return ReadWholeFile(RootDir() + "/" + relative); }

std::vector<std::string> TFtpPeer::StoredNames(const std::string& relative) const {
    std::vector<std::string> names;
    const std::filesystem::path folder = std::filesystem::path(RootDir()) / relative;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

TVsftpdPeer::TVsftpdPeer(const std::string& directory) : _sDirectory(directory) {
    namespace fs = std::filesystem;
    const passwd* ftpUser = getpwnam("ftp");
    if (ftpUser == nullptr) throw std::runtime_error("vsftpd peer: no user \"ftp\" for anonymous logins");
    // vsftpd refuses a root the anonymous user may write to, so uploads go one level down.
    fs::create_directories(RootDir() + "/upload");
    fs::create_directories(_sDirectory + "/empty");
    fs::permissions(RootDir(), fs::perms(0755));
    fs::permissions(_sDirectory + "/empty", fs::perms(0755));
    if (chown((RootDir() + "/upload").c_str(), ftpUser->pw_uid, ftpUser->pw_gid) != 0) {
        throw std::runtime_error("vsftpd peer: cannot hand the upload folder to \"ftp\"");
    }
    // The sandbox is a private temporary folder: vsftpd's users must get through it.
    const fs::path temporary = fs::temp_directory_path();
    for (fs::path up = fs::path(_sDirectory); up.has_parent_path() && up.parent_path() != up; up = up.parent_path()) {
        if (up == temporary || up.parent_path() == up.root_path()) break;
        std::error_code ignored;
        fs::permissions(up, fs::perms::others_exec, fs::perm_options::add, ignored);
    }
    _rCertificate = MakeSelfSignedCertificate(_sDirectory, "vsftpd");
    _iPort = ClosedPort();
    const std::string configuration = _sDirectory + "/vsftpd.conf";
    WriteWholeFile(configuration,
                   "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=" + std::to_string(_iPort) +
                       "\nbackground=NO\n"
                       "anonymous_enable=YES\nlocal_enable=NO\nno_anon_password=YES\nwrite_enable=YES\n"
                       "anon_upload_enable=YES\nanon_mkdir_write_enable=YES\nanon_other_write_enable=YES\n"
                       "anon_umask=022\nanon_root=" + RootDir() + "\n"
                       "ssl_enable=YES\nallow_anon_ssl=YES\nforce_anon_logins_ssl=YES\nforce_anon_data_ssl=YES\n"
                       "require_ssl_reuse=YES\nrsa_cert_file=" + _rCertificate.sCertFile +
                       "\nrsa_private_key_file=" + _rCertificate.sKeyFile + "\n"
                       "secure_chroot_dir=" + _sDirectory + "/empty\n"
                       // No namespaces or seccomp: a container seldom grants them.
                       "seccomp_sandbox=NO\nisolate=NO\nisolate_network=NO\n"
                       "xferlog_enable=YES\nlog_ftp_protocol=YES\nvsftpd_log_file=" + _sDirectory + "/vsftpd.log\n");
    _ocProcess = std::make_unique<TPeerProcess>(TPeerCommand{kProgram, {configuration}, false});
    if (!waitFor([this] { return Answers(_iPort); }, std::chrono::seconds(10))) {
        throw std::runtime_error("vsftpd peer: no answer on port " + std::to_string(_iPort));
    }
}

std::string TVsftpdPeer::Log() const { return ReadWholeFile(_sDirectory + "/vsftpd.log"); }
