#include "update/VeltUtilsNewVersion.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <pugixml.hpp>

#include "foundation/VeltUtilsIntegerOperations.h"
#include "foundation/VeltUtilsStringOperations.h"
#include "update/VeltHttpGetClient.h"
#include "update/VeltZipFlatExtractor.h"

namespace {

constexpr const char* kCrLf = "\r\n";
constexpr std::size_t kVersionFieldWidth = 6;

void Report(const TObjectBooleanFuncAnsiStr1& FOnError, const std::string& text) {
    if (FOnError) FOnError(text);
}

std::string CodeAndText(const std::string& codeLabel, std::int32_t code, const std::string& textLabel,
                        const std::string& text) {
    return std::string(kCrLf) + ">>" + codeLabel + IntToTrimmedStr(code) + kCrLf + ">>" + textLabel + text;
}

std::string PadVersionField(const std::string& field) { return PadLeftTo(field, '-', kVersionFieldWidth); }

void WaitForReadyToBeSeen() {
    std::this_thread::sleep_for(std::chrono::milliseconds(TNewVersion::kReadyPauseMilliseconds));
}

// Writes the whole text into the file, replacing it; never follows a link planted there.
bool WriteWholeFile(const std::string& fileName, const std::string& content, int& systemError) {
    const int fd = open(fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        systemError = errno;
        return false;
    }
    const char* data = content.data();
    std::size_t left = content.size();
    while (left > 0) {
        const ssize_t written = write(fd, data, left);
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) {
            systemError = errno;
            close(fd);
            unlink(fileName.c_str());
            return false;
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    if (close(fd) != 0) {
        systemError = errno;
        unlink(fileName.c_str());
        return false;
    }
    return true;
}

}  // namespace

TNewVersion::TNewVersion(const std::string& AHttpAgentName, const std::string& sProgramVersion)
    : _sHTTPAgentName(AHttpAgentName), _sProgramVersion(sProgramVersion), _httpSend(std::make_unique<THttpGetClient>()) {}

TNewVersion::~TNewVersion() = default;

void TNewVersion::SetCertificateAuthorityFile(const std::string& path) { _httpSend->SetCertificateAuthorityFile(path); }

std::string TNewVersion::ComparableVersion(const std::string& major, const std::string& minor,
                                           const std::string& release) {
    return PadVersionField(major) + PadVersionField(minor) + PadVersionField(release);
}

std::string TNewVersion::ComparableProgramVersion(const std::string& programVersion) {
    const auto firstDot = programVersion.find('.');
    const auto secondDot = firstDot == std::string::npos ? std::string::npos : programVersion.find('.', firstDot + 1);
    const std::string major = programVersion.substr(0, firstDot);
    const std::string minor =
        firstDot == std::string::npos ? "" : programVersion.substr(firstDot + 1, secondDot - firstDot - 1);
    const std::string release = secondDot == std::string::npos ? "" : programVersion.substr(secondDot + 1);
    return ComparableVersion(major, minor, release);
}

bool TNewVersion::IsNewVersion(const TObjectBooleanFuncAnsiStr1& FOnError, const std::string& sNVFFileName,
                               const std::string& sProxyHost, const std::string& sProxyPort,
                               const std::string& sProxyLogin, const std::string& sProxyPassword) {
    SetHttpParameters(sProxyHost, sProxyPort, sProxyLogin, sProxyPassword);
    if (!ReadVersionDescriptor(sNVFFileName, FOnError)) {
        ClearVersion();
        return false;
    }
    return ComparableProgramVersion(_sProgramVersion) < _sNewVerNumber;
}

std::string TNewVersion::GetNewVersionNumber() const {
    // Kept apart from the comparable form, so that a field longer than 6 survives whole.
    return _asNewVerParts[0] + "." + _asNewVerParts[1] + "." + _asNewVerParts[2];
}

void TNewVersion::ClearVersion() {
    _sNewVerNumber = kNoVersion;
    _asNewVerParts = {"0", "0", "0"};
}

void TNewVersion::SetHttpParameters(const std::string& sProxyHost, const std::string& sProxyPort,
                                    const std::string& sProxyLogin, const std::string& sProxyPassword) {
    _httpSend->SetUserAgent(_sHTTPAgentName);
    _httpSend->SetProxy(sProxyHost, sProxyPort, sProxyLogin, sProxyPassword);
}

bool TNewVersion::IsAcceptedReply() const {
    const std::int32_t code = _httpSend->ResultCode();
    const std::string& reason = _httpSend->ResultString();
    return (code == 200 && reason == "OK") || (code == 0 && reason.empty());
}

bool TNewVersion::ReadVersionDescriptor(const std::string& sUrl, const TObjectBooleanFuncAnsiStr1& FOnError) {
    _httpSend->SetMaxDocumentSize(kMaxDescriptorSize);
    _httpSend->SetOnReceived(nullptr);
    _httpSend->Clear();
    if (!_httpSend->HttpGet(sUrl)) {
        Report(FOnError, "unknown error (#01) while checking for new version:" +
                             CodeAndText("error code:", _httpSend->ResultCode(), "error string:",
                                         _httpSend->ResultString()));
        return false;
    }
    if (!IsAcceptedReply()) {
        Report(FOnError, "unexpected error (#02) while checking for new version" +
                             CodeAndText("error code:", _httpSend->ResultCode(), "error string:",
                                         _httpSend->ResultString()));
        return false;
    }
    const bool parsed = ParseVersionDescriptor(FOnError);
    _httpSend->Clear();
    return parsed;
}

bool TNewVersion::ParseVersionDescriptor(const TObjectBooleanFuncAnsiStr1& FOnError) {
    const std::string failure = "unexpected error while checking for new version-";
    const std::string& document = _httpSend->Document();
    pugi::xml_document xml;
    if (!xml.load_buffer(document.data(), document.size())) {
        Report(FOnError, failure + "bad XML");
        return false;
    }
    const pugi::xml_node root = xml.document_element();
    if (std::strcmp(root.name(), "new_version") != 0) {
        Report(FOnError, failure + "bad NVFXML_ROOTKEY");
        return false;
    }
    const pugi::xml_node appId = root.child("app_id");
    if (!appId) {
        Report(FOnError, failure + "no NVFXML_APP_ID");
        return false;
    }
    if (std::strcmp(appId.child_value(), kAppId) != 0) {
        Report(FOnError, failure + "bad NVFXML_APP_ID");
        return false;
    }
    const pugi::xml_node appVer = root.child("app_ver");
    if (!appVer) {
        Report(FOnError, failure + "no NVFXML_APP_VER");
        return false;
    }
    std::array<std::string, 3> parts;
    const std::array<std::pair<const char*, const char*>, 3> fields{
        {{"major", "NVFXML_VER_MAJOR"}, {"minor", "NVFXML_VER_MINOR"}, {"release", "NVFXML_VER_RELEASE"}}};
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const pugi::xml_node field = appVer.child(fields[i].first);
        if (!field) {
            Report(FOnError, failure + "no " + fields[i].second);
            return false;
        }
        parts[i] = field.child_value();
    }
    _asNewVerParts = parts;
    _sNewVerNumber = ComparableVersion(parts[0], parts[1], parts[2]);
    const pugi::xml_node releaseDate = root.child("app_reldate");
    if (!releaseDate) {
        Report(FOnError, failure + "no NVFXML_REL_DATE");
        return false;
    }
    _sReleaseDate = releaseDate.child_value();
    return true;
}

void TNewVersion::ReportProgress(const TObjectProcStr1& POnProgress, const std::string& text) const {
    if (POnProgress) POnProgress(text);
}

void TNewVersion::OnBytesReceived(std::size_t count) {
    _iBytesDownloaded += static_cast<std::int32_t>(count);
    const std::int64_t downloadSize = _httpSend->DownloadSize();
    if (downloadSize <= 0 || !_pOnProgress) return;
    const double share = static_cast<double>(_iBytesDownloaded) / static_cast<double>(downloadSize);
    _pOnProgress(IntToTrimmedStr(ScaleClamped(100, share)) + "%");
}

bool TNewVersion::DownloadNewProgramPackedFile(const TObjectBooleanFuncAnsiStr1& FOnError,
                                               const TObjectProcStr1& POnProgress,
                                               const std::string& sNewVersionSiteUrl,
                                               const std::string& sLocalStoreDir,
                                               const std::string& sNewProgramPackedFile,
                                               const std::string& sProxyHost, const std::string& sProxyPort,
                                               const std::string& sProxyLogin, const std::string& sProxyPassword) {
    _pOnProgress = POnProgress;
    _iBytesDownloaded = 0;
    SetHttpParameters(sProxyHost, sProxyPort, sProxyLogin, sProxyPassword);
    _httpSend->SetMaxDocumentSize(kMaxArchiveSize);
    _httpSend->SetOnReceived([this](std::size_t count) { OnBytesReceived(count); });
    _httpSend->Clear();
    bool completed = false;
    try {
        completed = _httpSend->HttpGet(sNewVersionSiteUrl + "/" + sNewProgramPackedFile);
    } catch (...) {
        _httpSend->SetOnReceived(nullptr);
        throw;
    }
    _httpSend->SetOnReceived(nullptr);
    const std::int32_t code = _httpSend->ResultCode();
    const std::string reason = _httpSend->ResultString();

    if (completed && IsAcceptedReply()) {
        if (code == 0 && reason.empty()) KeepRawBodyOnly();
        // Saved before "ready" is shown, so that "ready" means the file is there.
        const bool saved = SaveDocument(FOnError, sLocalStoreDir + "/" + sNewProgramPackedFile);
        if (!saved) return false;
        if (POnProgress) {
            POnProgress("ready");
            WaitForReadyToBeSeen();
        }
        return true;
    }
    _httpSend->Clear();
    if (completed) {
        Report(FOnError, "unexpected (#02) error while downloading new version" +
                             CodeAndText("error code:", code, "error string:", reason));
    } else if (code != 200 || reason != "OK") {
        Report(FOnError, "unexpected (#01) error while downloading new version" +
                             CodeAndText("error code:", code, "error string:", reason));
    } else {
        Report(FOnError, std::string("error-while downloading new version") + kCrLf +
                             ">>your current computer/internet/security/proxy settings do not allow to download new "
                             "version from Corvane site" +
                             kCrLf + ">>( please check your system settings with your administrator or IT manager )");
    }
    return false;
}

// A reply without a status line is the raw reply, head included: its announced body
// length, when there is one, says how many of its last bytes are the file.
void TNewVersion::KeepRawBodyOnly() {
    std::string& document = _httpSend->Document();
    const std::string marker = "Content-Length: ";
    const auto start = document.find(marker);
    if (start == std::string::npos) return;
    const auto numberStart = start + marker.size();
    const auto numberEnd = document.find(kCrLf, numberStart);
    if (numberEnd == std::string::npos) return;
    const std::string number = document.substr(numberStart, numberEnd - numberStart);
    char* end = nullptr;
    const unsigned long long length = std::strtoull(number.c_str(), &end, 10);
    if (number.empty() || *end != '\0' || length >= document.size()) return;
    document.erase(0, document.size() - static_cast<std::size_t>(length));
}

bool TNewVersion::SaveDocument(const TObjectBooleanFuncAnsiStr1& FOnError, const std::string& sFileName) {
    int systemError = 0;
    const bool written = WriteWholeFile(sFileName, _httpSend->Document(), systemError);
    // The archive may be large: its memory goes back now, not at the next request.
    std::string().swap(_httpSend->Document());
    if (!written) {
        Report(FOnError, std::string("error-while downloading new version") + kCrLf + ">>cannot write file:" +
                             sFileName + kCrLf + ">>error message:" + std::strerror(systemError));
    }
    return written;
}

bool TNewVersion::UnpackNewProgramPackedFile(const TObjectBooleanFuncAnsiStr1& FOnError,
                                             const TObjectProcStr1& POnProgress, const std::string& sLocalStoreDir,
                                             const std::string& sNewProgramPackedFile) {
    _pOnProgress = POnProgress;
    const std::string archive = sLocalStoreDir + "/" + sNewProgramPackedFile;
    const TZipExtractResult result = TZipFlatExtractor::Extract(archive, sLocalStoreDir, [this](std::int32_t percent) {
        ReportProgress(_pOnProgress, IntToTrimmedStr(percent) + "%");
    });
    const std::string failure = std::string("error-while unpacking new version") + kCrLf + ">>";
    if (result.tOutcome == TZipExtractOutcome::NotOpened) {
        Report(FOnError, failure + "error message:" + result.sErrorText);
        return false;
    }
    if (result.tOutcome == TZipExtractOutcome::Failed) {
        Report(FOnError, failure + "error code:" + IntToTrimmedStr(result.iErrorCode) + kCrLf + ">>" +
                             "error message:" + result.sErrorText);
        return false;
    }
    if (POnProgress) {
        POnProgress("ready");
        WaitForReadyToBeSeen();
    }
    std::remove(archive.c_str());
    return true;
}
