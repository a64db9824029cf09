#pragma once
// How a new program version is published on the update site and fetched: the ".nvf"
// descriptor, the version comparison, the download of the program archive with progress
// reports, and its unpacking. When to look, where, and what to run afterwards is the
// checker's business. Failures are reported as texts through a callback (bound to the
// log data's LineWrite) and a False result; nothing is raised for them.
// One thread at a time uses an object.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "foundation/VeltCallbacks.h"
#include "foundation/VeltExceptions.h"

class THttpGetClient;

VELT_DECLARE_EXCEPTION(ENewVersion);

class TNewVersion {
public:
    static constexpr const char* kNoVersion = "-----0-----0-----0";
    static constexpr const char* kAppId = "ZELKOTRANSFER";
    // Bounds of what the site may send: a descriptor is a few lines, an archive one installer.
    static constexpr std::size_t kMaxDescriptorSize = std::size_t{64} << 10;
    static constexpr std::size_t kMaxArchiveSize = std::size_t{256} << 20;
    static constexpr int kReadyPauseMilliseconds = 500;

    // sProgramVersion is the running program's "a.b.c"; empty when the program file has none.
    TNewVersion(const std::string& AHttpAgentName, const std::string& sProgramVersion);
    ~TNewVersion();
    TNewVersion(const TNewVersion&) = delete;
    TNewVersion& operator=(const TNewVersion&) = delete;

    // True when the descriptor at the URL was read and publishes a higher version.
    bool IsNewVersion(const TObjectBooleanFuncAnsiStr1& FOnError, const std::string& sNVFFileName,
                      const std::string& sProxyHost, const std::string& sProxyPort, const std::string& sProxyLogin,
                      const std::string& sProxyPassword);
    // The published version as "3.9.28"; "0.0.0" when none was read.
    std::string GetNewVersionNumber() const;
    // Fetches sNewVersionSiteUrl + "/" + sNewProgramPackedFile into
    // sLocalStoreDir + "/" + sNewProgramPackedFile, replacing a file of that name.
    bool DownloadNewProgramPackedFile(const TObjectBooleanFuncAnsiStr1& FOnError, const TObjectProcStr1& POnProgress,
                                      const std::string& sNewVersionSiteUrl, const std::string& sLocalStoreDir,
                                      const std::string& sNewProgramPackedFile, const std::string& sProxyHost,
                                      const std::string& sProxyPort, const std::string& sProxyLogin,
                                      const std::string& sProxyPassword);
    // Extracts the archive into sLocalStoreDir without its folder names, then deletes it.
    bool UnpackNewProgramPackedFile(const TObjectBooleanFuncAnsiStr1& FOnError, const TObjectProcStr1& POnProgress,
                                    const std::string& sLocalStoreDir, const std::string& sNewProgramPackedFile);

    // The published version in comparable form (three fields left-padded with "-" to 6).
    const std::string& NewVerNumber() const { return _sNewVerNumber; }
    const std::string& ReleaseDate() const { return _sReleaseDate; }
    const std::string& HttpAgentName() const { return _sHTTPAgentName; }

    // Trusts the certificates of this PEM file instead of the system's. Tests only: their
    // sites' certificates are signed by a test authority.
    void SetCertificateAuthorityFile(const std::string& path);

    // pad(a) + pad(b) + pad(c), pad left-padding with "-" to 6 (a longer text stays whole).
    static std::string ComparableVersion(const std::string& major, const std::string& minor,
                                         const std::string& release);
    // The running version "a.b.c" split at its first two dots, the rest kept whole.
    static std::string ComparableProgramVersion(const std::string& programVersion);

private:
    void SetHttpParameters(const std::string& sProxyHost, const std::string& sProxyPort,
                           const std::string& sProxyLogin, const std::string& sProxyPassword);
    bool ReadVersionDescriptor(const std::string& sUrl, const TObjectBooleanFuncAnsiStr1& FOnError);
    bool ParseVersionDescriptor(const TObjectBooleanFuncAnsiStr1& FOnError);
    bool IsAcceptedReply() const;
    void ReportProgress(const TObjectProcStr1& POnProgress, const std::string& text) const;
    void OnBytesReceived(std::size_t count);
    bool SaveDocument(const TObjectBooleanFuncAnsiStr1& FOnError, const std::string& sFileName);
    void KeepRawBodyOnly();
    void ClearVersion();

    std::string _sNewVerNumber = kNoVersion;
    std::array<std::string, 3> _asNewVerParts{"0", "0", "0"};
    std::string _sReleaseDate;
    std::string _sHTTPAgentName;
    std::string _sProgramVersion;
    std::unique_ptr<THttpGetClient> _httpSend;
    std::int32_t _iBytesDownloaded = 0;
    TObjectProcStr1 _pOnProgress;
};
