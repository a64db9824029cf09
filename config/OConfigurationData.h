#pragma once
// The whole configuration of the agent in one record. Every component holds a reference
// and reads the fields directly; only the user-interface thread writes them, and only
// while no worker runs.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "foundation/VeltExceptions.h"

class TEnvironment;

VELT_DECLARE_EXCEPTION(EConfigurationData);

enum TProtocolType { tptFtp, tptHttp };

using TStringList = std::vector<std::string>;

// A list of flags that grows when a bit beyond its end is set; bits never set read false.
class TBitList {
public:
    explicit TBitList(std::size_t size = 0) : _bits(size, false) {}
    std::size_t Size() const { return _bits.size(); }
    bool Bit(std::size_t index) const { return index < _bits.size() && _bits[index]; }
    void SetBit(std::size_t index, bool value);
    void SetAll(bool value);
    bool operator==(const TBitList&) const = default;

private:
    std::vector<bool> _bits;
};

// Records compare member by member, so that a caller can tell whether anything changed.
struct TConfigurationDataFtpTransfer {
    std::string sLogin;
    std::string sIdent;
    std::string sPassword;
    std::int32_t iConnTimeout = 10;  // seconds
    bool lPassive = true;
    bool lSecure = true;
    TStringList slHostNames;
    TStringList slHostPorts;
    // One entry each per accepted FTPS server, parallel lists.
    TStringList slKnownNames;
    TStringList slKnownCerts;
    TStringList slKnownFingers;
    TStringList slKnownFingersSha1;
    TStringList slKnownServerSubjects;
    TStringList slKnownServerIssuers;

    bool operator==(const TConfigurationDataFtpTransfer&) const = default;
};

struct TConfigurationDataHttpTransferBase {
    std::string sUrl;
    std::string sPort;
    std::string sLogin;
    std::string sPassword;
    std::string sEncryptionKey;  // empty or 32 characters

    bool operator==(const TConfigurationDataHttpTransferBase&) const = default;
};

struct TConfigurationDataHttpTransferProxy {
    bool lProxyActive = false;
    bool lProxyIEType = false;
    std::string sProxyHost;
    std::string sProxyPort;
    std::string sProxyLogin;
    std::string sProxyPassword;

    bool operator==(const TConfigurationDataHttpTransferProxy&) const = default;
};

struct TConfigurationDataHttpTransferCert {
    std::string sKnownUrl;
    std::string sKnownCert;
    std::string sKnownFinger;
    std::string sKnownFingerSha1;
    std::string sKnownServerSubject;
    std::string sKnownServerIssuer;

    bool operator==(const TConfigurationDataHttpTransferCert&) const = default;
};

struct TConfigurationDataHttpTransferCheck {
    bool lValidCertOnWatchAndUpload = false;

    bool operator==(const TConfigurationDataHttpTransferCheck&) const = default;
};

struct TConfigurationDataHttpTransfer {
    TConfigurationDataHttpTransferBase rBase;
    TConfigurationDataHttpTransferProxy rProxy;
    TConfigurationDataHttpTransferCert rCert;
    TConfigurationDataHttpTransferCheck rCheck;

    bool operator==(const TConfigurationDataHttpTransfer&) const = default;
};

struct TConfigurationDataWatchingRules {
    static constexpr std::size_t kInitialMaskBits = 105;

    // Parallel lists: entry i of each, with bit i of biDataFileMaskIncl, is rule i.
    TStringList slCRSTypes;
    TStringList slDataDirs;
    TStringList slBakDirs;
    TStringList slCRSEncodings;  // never filled: encodings live in the CRS table
    TStringList slDataFileMask;
    TBitList biDataFileMaskIncl{kInitialMaskBits};  // true: the mask names the files to take
    std::int32_t iCollectorInterval = 30;           // seconds
    std::int32_t iCollectorPackageMaxSize = 512;    // kilobytes per scan, 256..2048

    bool operator==(const TConfigurationDataWatchingRules&) const = default;
};

struct TConfigurationDataNewVersion {
    std::string sSiteCheck;
    bool lProxyActive = false;
    bool lProxyIEType = false;
    std::string sProxyHost;
    std::string sProxyPort;
    std::string sProxyLogin;
    std::string sProxyPassword;
    bool lLimitCheck = true;
    std::string sLimitedCheckDays;   // digits 1 (Monday) to 7 (Sunday)
    std::string sLimitedCheckHours;  // "8-12,13-18"

    bool operator==(const TConfigurationDataNewVersion&) const = default;
};

struct TConfigurationDataProgram {
    bool lWinstartRun = false;
    bool lStartWithWatch = false;
    bool lStartInTray = false;
    std::string sPermittedIP;
    std::int32_t iLogMaxSize = 40;     // megabytes
    std::int32_t iHelpLanguageId = 0;  // 0 English, 1 German
    TConfigurationDataNewVersion rNewVersion;

    bool operator==(const TConfigurationDataProgram&) const = default;
};

struct TConfigurationDataSupport {
    bool lDebugModeInLog = false;

    bool operator==(const TConfigurationDataSupport&) const = default;
};

struct TConfigurationDataRecord {
    std::string sSetupAuthorization;  // MD5 hex stamp of the administration password
    TProtocolType ptUploadProtocol = tptHttp;
    TConfigurationDataFtpTransfer rFtpTransfer;
    TConfigurationDataHttpTransfer rHttpTransfer;
    TConfigurationDataWatchingRules rWatchingRules;
    TConfigurationDataProgram rProgram;
    TConfigurationDataSupport rSupport;

    bool operator==(const TConfigurationDataRecord&) const = default;
};

class TConfigurationData {
public:
    static constexpr const char* kDefaultSetupPassword = "opalgrey";
    static constexpr const char* kDefaultSiteCheck = "https://update.zelko-kmr.example/zelkotransfer";

    // The environment supplies the precise time of debug stamps; it must outlive this object.
    explicit TConfigurationData(const TEnvironment& environment);
    TConfigurationData(const TConfigurationData&) = delete;
    TConfigurationData& operator=(const TConfigurationData&) = delete;

    // The record is public on purpose: readers take the fields directly.
    TConfigurationDataRecord _rData;

    static std::int32_t ProtocolType2ProtocolCode(TProtocolType ptType);
    static TProtocolType ProtocolCode2ProtocolType(std::int32_t iCode);

    // "[ T ] " normally; "[ T - P ] " plus the trimmed suffix and a blank in debug mode.
    std::string GetLogDataStamp(const std::string& sSuffix) const;

private:
    void SetDefaults();

    const TEnvironment& _oEnvironment;
};
