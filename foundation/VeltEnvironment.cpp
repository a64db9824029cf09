#include "foundation/VeltEnvironment.h"

#include <cstdio>
#include <filesystem>

#include "VersionInfo.h"
#include "foundation/VeltDigitalStamps.h"
#include "foundation/VeltUtilsMiscellaneous.h"
#include "foundation/VeltUtilsStringOperations.h"
#include "foundation/VeltUtilsDateTimeOperations.h"

namespace {

const std::string kProductFolder = "ZELKO KMR Transfer";

std::string WithSeparator(const std::string& directory) {
    return !directory.empty() && directory.back() == '/' ? directory : directory + "/";
}

// base/ZELKO KMR Transfer/ZELKO KMR Transfer/ (the program's own two folder levels).
std::string ProgramFolderIn(const std::string& base) {
    return WithSeparator(base) + kProductFolder + "/" + kProductFolder + "/";
}

// A directory that cannot be created is not reported: the files in it fail later where
// they are used, with their own messages.
void CreateWhenMissing(const std::string& directory, bool create) {
    if (!create) return;
    std::error_code ec;
    std::filesystem::create_directories(directory, ec);
}

// "3.9.28.831" -> "3.9.28"; nothing when there is no third ".".
std::string FirstThreeComponents(const std::string& fileVersion) {
    std::size_t dots = 0;
    for (std::size_t i = 0; i < fileVersion.size(); ++i) {
        if (fileVersion[i] == '.' && ++dots == 3) return fileVersion.substr(0, i);
    }
    const auto second = fileVersion.find('.', fileVersion.find('.') + 1);
    return second == std::string::npos ? std::string() : fileVersion.substr(0, second + 1);
}

}  // namespace

TEnvironment::TEnvironment(const TEnvironmentOptions& options, const TPlatform& platform) : _platform(platform) {
    _iTSCCounter0 = _platform.PerformanceCounter();
    ReadWindowsData(options);
    ReadProgramData();
    ReadUserName();
    _rRunInfo.iRunningThreads = 1;
    ReadCommandLine();
}

void TEnvironment::ReadAgain() {
    ReadWindowsData({});
    ReadProgramData();
    ReadUserName();
}

std::string TEnvironment::ProgramDirectory() const {
    return WithSeparator(std::filesystem::path(_platform.ProgramFile()).parent_path().string());
}

void TEnvironment::ReadWindowsData(const TEnvironmentOptions& options) {
    TEnvironmentWindows& windows = _rWindows;
    TEnvironmentPaths& paths = windows.rPaths;
    const std::string fallback = ProgramDirectory();
    windows.lVistaOrNewer = _platform.OsMajorVersion() >= 5;

    const auto programFolder = [&](const std::optional<std::string>& base, bool create) {
        if (!base) return fallback;
        const std::string directory = ProgramFolderIn(*base);
        CreateWhenMissing(directory, create);
        return directory;
    };
    paths.sCommonApplicationData =
        programFolder(_platform.CommonAppDataBase(), options.lCreateCommonApplicationDataPath);
    const auto commonFiles = _platform.CommonFilesBase();
    paths.sCommonFilesDir = commonFiles ? WithSeparator(*commonFiles) + kProductFolder + "/" : fallback;
    paths.sUserLocalApplicationData =
        programFolder(_platform.UserLocalAppDataBase(), options.lCreateUserLocalApplicationDataPath);
    paths.sUserApplicationData = programFolder(_platform.UserAppDataBase(), options.lCreateUserApplicationDataPath);
    const auto localBase = _platform.UserLocalAppDataBase();
    paths.sUserLocalTemp = localBase ? ProgramFolderIn(WithSeparator(*localBase) + "Temp") : fallback;
    if (localBase) CreateWhenMissing(paths.sUserLocalTemp, options.lCreateUserLocalTempPath);

    switch (_platform.CleanBootMetric()) {
        case 0: windows.tWinStartWay = twswNormal; break;
        case 1: windows.tWinStartWay = twswFailsafe; break;
        case 2: windows.tWinStartWay = twswFailsafeNet; break;
        default: windows.tWinStartWay = twswUndefined; break;
    }
}

void TEnvironment::ReadProgramData() {
    TEnvironmentProgramData& data = _rProgramData;
    const std::string programFile = _platform.ProgramFile();
    const std::string extension = std::filesystem::path(programFile).extension().string();
    // Every occurrence of the extension goes, as the program's names have always been built;
    // a program file without extension keeps its full path.
    data.sProgramFullName = ReplaceAll(programFile, extension, "");
    // The last component of the full name: removing the directory text from it, as the
    // names were once built, leaves a path when the directory itself held the extension.
    data.sProgramBaseName = std::filesystem::path(data.sProgramFullName).filename().string();

    const std::string fileVersion = versioninfo::kFileVersion;
    data.sProgramVersion = FirstThreeComponents(fileVersion);
    data.sProgramAuthor = versioninfo::kAuthor;
    data.sProgramCopyright = versioninfo::kLegalCopyright;

    const std::string digest = StampMd5(GetProgramVolumeSerial(_platform));
    data.sProgramLicenceb = digest;
    const std::string upper = UpperCaseAscii(digest);
    data.sProgramLicence = upper.substr(0, 8) + "-" + upper.substr(8, 8) + "-" + upper.substr(16, 8) + "-" +
                           upper.substr(24, 8);
}

void TEnvironment::ReadUserName() { _rCurrentUserData.sUserName = _platform.LogonUserName(); }

void TEnvironment::ReadCommandLine() {
    _rCmdLineArgs.slList.clear();
    for (const std::string& argument : _platform.CommandLineArguments()) {
        std::string entry = LowerCaseAscii(argument);
        // A bare switch gets an empty value; one that has a value keeps it as given.
        if (entry.find('=') == std::string::npos) entry += '=';
        _rCmdLineArgs.slList.push_back(entry);
    }
}

bool TEnvironment::FindCmdLineArg(const std::string& argumentName) const {
    const std::string name = LowerCaseAscii(argumentName);
    for (const std::string& entry : _rCmdLineArgs.slList) {
        if (entry.substr(0, entry.find('=')) == name) return true;
    }
    return false;
}

std::string TEnvironment::GetCmdLineArgValue(const std::string& argumentName) const {
    const std::string name = LowerCaseAscii(argumentName);
    for (const std::string& entry : _rCmdLineArgs.slList) {
        const auto equals = entry.find('=');
        if (entry.substr(0, equals) == name) return entry.substr(equals + 1);
    }
    throw EEnvironment("TEnvironment error: command line argument " + name + " does not exist");
}

std::string TEnvironment::PreciseTextTimeStampRelative() const {
    const long long ticks = _platform.PerformanceCounter() - _iTSCCounter0;
    char digits[32];
    std::snprintf(digits, sizeof digits, "%016lld", ticks < 0 ? 0LL : ticks);
    const std::string text = std::string(digits).substr(std::string(digits).size() - 16);
    return text.substr(0, 4) + " " + text.substr(4, 4) + " " + text.substr(8, 4) + " " + text.substr(12, 4);
}

std::string TEnvironment::GetLogDataStamp(bool debugMode, const std::string& suffix) const {
    std::string stamp = debugMode ? "[ " + NowAsText() + " - " + PreciseTextTimeStampRelative() + " ] "
                                  : "[ " + NowAsText() + " ] ";
    const std::string trimmed = TrimBlanks(suffix);
    if (!trimmed.empty()) stamp += trimmed + " ";
    return stamp;
}

std::string TEnvironment::GetLogDebugDataStamp(bool debugMode, const std::string& suffix) const {
    return GetLogDataStamp(debugMode, suffix) + (debugMode ? "[debug] " : "");
}

std::string TEnvironment::LocalIP() const { return GetLocalIPAddress(_platform); }

bool TEnvironment::IEProxyActive() const { return ReadIEProxySettings(_platform).lActive; }
std::string TEnvironment::IEProxyHttpHost() const { return ReadIEProxySettings(_platform).sHttpHost; }
std::string TEnvironment::IEProxyHttpPort() const { return ReadIEProxySettings(_platform).sHttpPort; }
std::string TEnvironment::IEProxyHttpsHost() const { return ReadIEProxySettings(_platform).sHttpsHost; }
std::string TEnvironment::IEProxyHttpsPort() const { return ReadIEProxySettings(_platform).sHttpsPort; }

std::uint8_t TEnvironment::MemoryLoad() const {
    const int load = _platform.MemoryLoad();
    return static_cast<std::uint8_t>(load < 0 ? 0 : (load > 100 ? 100 : load));
}

bool TEnvironment::UserIsAdmin() const { return _platform.UserInAdminGroup(); }

std::string TEnvironment::MachineName() const { return _platform.ComputerName(); }

std::string TEnvironment::HttpPostBoundary() const {
    return "_http_post_boundary_ZELKOTRANSFER_" + _rProgramData.sProgramLicence + "_";
}

bool TEnvironment::LocalTimeSettingsValid() const { return _platform.TimeZone().lKnown; }

int TEnvironment::TimeShiftUTC() const {
    const TTimeZoneInfo zone = _platform.TimeZone();
    return zone.lKnown ? zone.iBiasMinutes : 0;
}

bool TEnvironment::DaylightTime() const { return _platform.TimeZone().lDaylight; }

bool TEnvironment::FormatTime24() const { return _platform.Locale24HourClock(); }
