#pragma once
#include "foundation/platform/Platform.h"

// Answers the platform questions on Linux (Debian 12), as the table in PLATFORM.md says.
class TPlatformLinux : public TPlatform {
public:
    std::string ProgramFile() const override;
    std::vector<std::string> CommandLineArguments() const override;
    std::optional<std::string> CommonAppDataBase() const override;
    std::optional<std::string> UserAppDataBase() const override;
    std::optional<std::string> UserLocalAppDataBase() const override;
    std::optional<std::string> CommonFilesBase() const override;
    int OsMajorVersion() const override;
    int CleanBootMetric() const override;
    std::optional<std::uint32_t> VolumeSerial(const std::string& directory) const override;
    std::string LogonUserName() const override;
    std::string ComputerName() const override;
    int MemoryLoad() const override;
    bool UserInAdminGroup() const override;
    bool RunningElevated(const std::string& commonApplicationData) const override;
    TProxyVariables ProxyVariables() const override;
    TTimeZoneInfo TimeZone() const override;
    bool Locale24HourClock() const override;
    std::int64_t PerformanceCounter() const override;
    std::string LocalIPv4Address() const override;
};
