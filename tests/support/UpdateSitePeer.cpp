#include "tests/support/UpdateSitePeer.h"

#include <unistd.h>
#include <zip.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "tests/support/FilekeyPeer.h"

namespace {

void WriteText(const std::string& path, const std::string& content) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    // Written aside and renamed: the site may read the file at any moment.
    const std::string aside = path + ".new";
    std::ofstream(aside, std::ios::binary) << content;
    std::filesystem::rename(aside, path);
}

}  // namespace

TUpdateSitePeer::TUpdateSitePeer(const std::string& directory, const std::optional<TTestCertificate>& certificate)
    : _sDirectory(directory), _lTls(certificate.has_value()) {
    std::filesystem::create_directories(_sDirectory + "/root");
    WriteControl();
    std::vector<std::string> arguments{"--root", _sDirectory + "/root", "--control", _sDirectory + "/control.json",
                                       "--log", _sDirectory + "/requests.log"};
    if (certificate) {
        arguments.insert(arguments.end(), {"--tls-cert", certificate->sCertFile, "--tls-key", certificate->sKeyFile});
    }
    _ocProcess = std::make_unique<TPeerProcess>(TPeerProcess::PythonPeer("update_site.py", arguments));
}

std::string TUpdateSitePeer::Url(const std::string& path) const {
    return std::string(_lTls ? "https" : "http") + "://" + _ocProcess->HostAndPort() + path;
}

void TUpdateSitePeer::PutFile(const std::string& urlPath, const std::string& content) const {
    WriteText(_sDirectory + "/root" + urlPath, content);
}

void TUpdateSitePeer::SetRule(const std::string& urlPath, const std::string& json) {
    _mRules[urlPath] = json;
    WriteControl();
}

void TUpdateSitePeer::ClearRules() {
    _mRules.clear();
    WriteControl();
}

std::vector<std::string> TUpdateSitePeer::Requests() const { return ReadLines(_sDirectory + "/requests.log"); }

void TUpdateSitePeer::WriteControl() const {
    std::string json = "{";
    for (const auto& [path, rule] : _mRules) json += (json.size() > 1 ? ", \"" : "\"") + path + "\": " + rule;
    WriteText(_sDirectory + "/control.json", json + "}");
}

std::string MakeZipArchive(const std::vector<TZipEntry>& entries) {
    static std::atomic<int> made{0};
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("zelko-zip-" + std::to_string(getpid()) + "-" + std::to_string(++made) + ".zip"))
                                 .string();
    int error = 0;
    zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (archive == nullptr) throw std::runtime_error("zip: cannot create " + path);
    for (const TZipEntry& entry : entries) {
        zip_int64_t index = -1;
        if (!entry.sName.empty() && entry.sName.back() == '/') {
            index = zip_dir_add(archive, entry.sName.c_str(), ZIP_FL_ENC_UTF_8);
        } else {
            zip_source_t* source = zip_source_buffer(archive, entry.sContent.data(), entry.sContent.size(), 0);
            index = zip_file_add(archive, entry.sName.c_str(), source, ZIP_FL_ENC_UTF_8 | ZIP_FL_OVERWRITE);
            if (index < 0) zip_source_free(source);
        }
        if (index < 0) throw std::runtime_error("zip: cannot add " + entry.sName);
        if (entry.iUnixMode) {
            zip_file_set_external_attributes(archive, static_cast<zip_uint64_t>(index), 0, ZIP_OPSYS_UNIX,
                                             static_cast<zip_uint32_t>(*entry.iUnixMode) << 16);
        }
    }
    if (zip_close(archive) != 0) throw std::runtime_error("zip: cannot write " + path);
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::remove(path.c_str());
    return bytes;
}

std::string MakeDescriptor(const std::string& major, const std::string& minor, const std::string& release,
                           const std::string& appId, const std::string& releaseDate) {
    return "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<new_version>\n  <app_id>" + appId +
           "</app_id>\n  <app_ver>\n    <major>" + major + "</major>\n    <minor>" + minor + "</minor>\n    <release>" +
           release + "</release>\n  </app_ver>\n  <app_reldate>" + releaseDate + "</app_reldate>\n</new_version>\n";
}
