#pragma once
// Facts about the machine, the program file and the user, collected once at start.
// Fields do not change after construction, so any thread may read them.
#include <cstdint>
#include <string>
#include <vector>

#include "foundation/VeltExceptions.h"
#include "foundation/platform/Platform.h"

VELT_DECLARE_EXCEPTION(EEnvironment);

enum TWinstartWays { twswUndefined, twswNormal, twswFailsafe, twswFailsafeNet };

struct TEnvironmentPaths {
    // Each a directory ending with "/".
    std::string sCommonApplicationData;  // configuration, log and lock files
    std::string sUserLocalApplicationData;
    std::string sUserApplicationData;
    std::string sUserLocalTemp;  // temporary transfer and download files
    std::string sCommonFilesDir;
};

struct TEnvironmentWindows {
    TWinstartWays tWinStartWay = twswUndefined;
    TEnvironmentPaths rPaths;
    bool lVistaOrNewer = false;
};

struct TEnvironmentProgramData {
    std::string sProgramBaseName;  // "zelkotransfer"
    std::string sProgramFullName;  // program file with its extension removed
    std::string sProgramVersion;   // "3.9.28"
    std::string sProgramAuthor;
    std::string sProgramCopyright;
    std::string sProgramLicence;   // machine ID: "XXXXXXXX-XXXXXXXX-XXXXXXXX-XXXXXXXX"
    std::string sProgramLicenceb;  // the same digest as 32 lower-case hex digits (key material)
};

struct TEnvironmentCurrentUserData {
    std::string sUserName;
};

struct TEnvironmentRunInfo {
    std::int32_t iRunningThreads = 1;
};

struct TEnvironmentCmdLineArgs {
    // Normalised arguments: lower case, each ending in "=" unless it has a value.
    std::vector<std::string> slList;
};

struct TEnvironmentOptions {
    bool lCreateCommonApplicationDataPath = false;
    bool lCreateUserLocalApplicationDataPath = false;
    bool lCreateUserApplicationDataPath = false;
    bool lCreateUserLocalTempPath = false;
};

class TEnvironment {
public:
    explicit TEnvironment(const TEnvironmentOptions& options, const TPlatform& platform = SystemPlatform());

    const TEnvironmentWindows& Windows() const { return _rWindows; }
    const TEnvironmentPaths& Paths() const { return _rWindows.rPaths; }
    const TEnvironmentProgramData& ProgramData() const { return _rProgramData; }
    const TEnvironmentCurrentUserData& CurrentUserData() const { return _rCurrentUserData; }
    const TEnvironmentRunInfo& RunInfo() const { return _rRunInfo; }
    const TEnvironmentCmdLineArgs& CmdLineArgs() const { return _rCmdLineArgs; }
    const TPlatform& Platform() const { return _platform; }

    // Reads the machine, program and user data again, creating no directories.
    void ReadAgain();
    void ThreadRegister() { ++_rRunInfo.iRunningThreads; }
    void ThreadUnregister() { --_rRunInfo.iRunningThreads; }
    bool FindCmdLineArg(const std::string& argumentName) const;
    // Raises EEnvironment when the argument is not on the command line.
    std::string GetCmdLineArgValue(const std::string& argumentName) const;

    // Ticks since construction as "dddd dddd dddd dddd".
    std::string PreciseTextTimeStampRelative() const;
    // "[ T ] S " or, in debug mode, "[ T - P ] S " (S only when not blank).
    std::string GetLogDataStamp(bool debugMode, const std::string& suffix) const;
    // As GetLogDataStamp, followed by "[debug] " in debug mode.
    std::string GetLogDebugDataStamp(bool debugMode, const std::string& suffix) const;

    // Live questions, asked again at every call.
    std::string LocalIP() const;
    bool IEProxyActive() const;
    std::string IEProxyHttpHost() const;
    std::string IEProxyHttpPort() const;
    std::string IEProxyHttpsHost() const;
    std::string IEProxyHttpsPort() const;
    std::uint8_t MemoryLoad() const;
    bool UserIsAdmin() const;
    std::string MachineName() const;
    std::string HttpPostBoundary() const;
    bool LocalTimeSettingsValid() const;
    int TimeShiftUTC() const;
    bool DaylightTime() const;
    bool FormatTime24() const;

private:
    void ReadWindowsData(const TEnvironmentOptions& options);
    void ReadProgramData();
    void ReadUserName();
    void ReadCommandLine();
    std::string ProgramDirectory() const;

    const TPlatform& _platform;
    TEnvironmentWindows _rWindows;
    TEnvironmentProgramData _rProgramData;
    TEnvironmentCurrentUserData _rCurrentUserData;
    TEnvironmentRunInfo _rRunInfo;
    TEnvironmentCmdLineArgs _rCmdLineArgs;
    std::int64_t _iTSCCounter0 = 0;
};
