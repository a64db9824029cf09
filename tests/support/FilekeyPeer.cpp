#include "tests/support/FilekeyPeer.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

}  // namespace

std::vector<std::string> ReadLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TFilekeyPeer::TFilekeyPeer(const std::string& directory, TFilekeyPeerOptions options)
    : _sDirectory(directory), _rOptions(std::move(options)) {
    std::filesystem::create_directories(_sDirectory);
    if (!_rOptions.lPlain && _rOptions.rCertificate.sCertFile.empty()) {
        _rOptions.rCertificate = MakeSelfSignedCertificate(_sDirectory, "server");
    }
    SetControl("{}");
    Start();
}

void TFilekeyPeer::Start(int port) {
    std::vector<std::string> arguments = {"--port", std::to_string(port), "--record-dir", RecordDir(), "--store-dir", StoreDir(),
                                          "--control", _sDirectory + "/control.json"};
    if (_rOptions.lPlain) {
        arguments.push_back("--plain");
    } else {
        arguments.insert(arguments.end(), {"--cert", _rOptions.rCertificate.sCertFile, "--key",
                                           _rOptions.rCertificate.sKeyFile});
    }
    for (const auto& [login, password] : _rOptions.aUsers) arguments.insert(arguments.end(), {"--user", login + ":" + password});
    _ocProcess = std::make_unique<TPeerProcess>(TPeerProcess::PythonPeer("filekey_server.py", arguments));
}

void TFilekeyPeer::Restart(const TTestCertificate& certificate) {
    _ocProcess.reset();
    std::filesystem::remove_all(RecordDir());
    if (!certificate.sCertFile.empty()) _rOptions.rCertificate = certificate;
    Start();
}

void TFilekeyPeer::Pause() {
    if (!_ocProcess) return;
    _iPausedPort = _ocProcess->Port();
    _ocProcess.reset();
}

void TFilekeyPeer::Resume() {
    if (_ocProcess) return;
    Start(_iPausedPort);
}

std::string TFilekeyPeer::Url(const std::string& path) const {
    return std::string(_rOptions.lPlain ? "http" : "https") + "://127.0.0.1:" + std::to_string(Port()) + path;
}

void TFilekeyPeer::SetControl(const std::string& json) const {
    const std::string target = _sDirectory + "/control.json";
    const std::string temporary = target + ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << json;
        if (!out) throw std::runtime_error("filekey peer: cannot write " + temporary);
    }
    std::filesystem::rename(temporary, target);
}

std::vector<std::string> TFilekeyPeer::Requests() const { return ReadLines(RecordDir() + "/requests.log"); }

std::string TFilekeyPeer::Problems() const { return ReadWhole(RecordDir() + "/problems.log"); }

std::vector<std::string> TFilekeyPeer::Files() const { return ReadLines(RecordDir() + "/files.log"); }

std::string TFilekeyPeer::RecordFile(int sequence, const std::string& extension) const {
    char prefix[16];
    std::snprintf(prefix, sizeof prefix, "%04d-", sequence);
    for (const auto& entry : std::filesystem::directory_iterator(RecordDir())) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) == 0 && entry.path().extension() == extension) return entry.path().string();
    }
    throw std::runtime_error("filekey peer: no recorded request " + std::to_string(sequence));
}

std::string TFilekeyPeer::RequestBody(int sequence) const { return ReadWhole(RecordFile(sequence, ".body")); }

std::string TFilekeyPeer::RequestHead(int sequence) const { return ReadWhole(RecordFile(sequence, ".head")); }
