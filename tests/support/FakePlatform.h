#pragma once
// A platform whose every answer the test sets. Defaults describe an ordinary machine
// whose folders all lie in the test's sandbox (set them there before use).
#include <optional>
#include <string>
#include <vector>

#include "foundation/platform/Platform.h"

class TFakePlatform : public TPlatform {
public:
    std::string sProgramFile = "/opt/zelko/zelkotransfer";
    std::vector<std::string> aArguments;
    std::optional<std::string> sCommonAppDataBase, sUserAppDataBase, sUserLocalAppDataBase, sCommonFilesBase;
    int iOsMajorVersion = 10;
    int iCleanBootMetric = 0;
    std::optional<std::uint32_t> iVolumeSerial = 0x1234ABCDu;
    std::string sLogonUserName = "jdoe";
    std::string sComputerName = "workstation1";
    int iMemoryLoad = 42;
    bool lUserInAdminGroup = false;
    bool lRunningElevated = false;
    TProxyVariables rProxy;
    TTimeZoneInfo rTimeZone{true, -60, false};
    bool lLocale24HourClock = true;
    std::int64_t iPerformanceCounter = 0;  // tests advance it by hand
    std::string sLocalIPv4 = "192.168.10.20";

    std::string ProgramFile() const override { return sProgramFile; }
    std::vector<std::string> CommandLineArguments() const override { return aArguments; }
    std::optional<std::string> CommonAppDataBase() const override { return sCommonAppDataBase; }
    std::optional<std::string> UserAppDataBase() const override { return sUserAppDataBase; }
    std::optional<std::string> UserLocalAppDataBase() const override { return sUserLocalAppDataBase; }
    std::optional<std::string> CommonFilesBase() const override { return sCommonFilesBase; }
    int OsMajorVersion() const override { return iOsMajorVersion; }
    int CleanBootMetric() const override { return iCleanBootMetric; }
    std::optional<std::uint32_t> VolumeSerial(const std::string&) const override { return iVolumeSerial; }
    std::string LogonUserName() const override { return sLogonUserName; }
    std::string ComputerName() const override { return sComputerName; }
    int MemoryLoad() const override { return iMemoryLoad; }
    bool UserInAdminGroup() const override { return lUserInAdminGroup; }
    bool RunningElevated(const std::string&) const override { return lRunningElevated; }
    TProxyVariables ProxyVariables() const override { return rProxy; }
    TTimeZoneInfo TimeZone() const override { return rTimeZone; }
    bool Locale24HourClock() const override { return lLocale24HourClock; }
    std::int64_t PerformanceCounter() const override { return iPerformanceCounter; }
    std::string LocalIPv4Address() const override { return sLocalIPv4; }
};
