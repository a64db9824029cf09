#pragma once
// The operating-system facts the program asks about, behind one interface so that
// tests can answer them (TFakePlatform in tests/support) and the rest of the program
// never depends on the machine it runs on. OS primitives that need no faking (locks,
// processes, file copies) sit beside this header as free functions in platform/.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct TTimeZoneInfo {
    bool lKnown = false;     // False when the zone cannot be determined at all
    int iBiasMinutes = 0;    // minutes to add to local time to get UTC, daylight included
    bool lDaylight = false;  // daylight saving time is in effect now
};

struct TProxyVariables {
    std::optional<std::string> sHttps;  // https_proxy, else HTTPS_PROXY
    std::optional<std::string> sHttp;   // http_proxy, else HTTP_PROXY
};

class TPlatform {
public:
    virtual ~TPlatform() = default;

    // The running program file, resolved ("/opt/zelko/zelkotransfer").
    virtual std::string ProgramFile() const = 0;
    // The command-line arguments 1..n, as given.
    virtual std::vector<std::string> CommandLineArguments() const = 0;

    // Base folders the program's directories are made in; none when unavailable.
    virtual std::optional<std::string> CommonAppDataBase() const = 0;     // XDG data home
    virtual std::optional<std::string> UserAppDataBase() const = 0;       // XDG config home
    virtual std::optional<std::string> UserLocalAppDataBase() const = 0;  // XDG cache home
    virtual std::optional<std::string> CommonFilesBase() const = 0;

    virtual int OsMajorVersion() const = 0;
    // 0 normal, 1 fail-safe, 2 fail-safe with network, -1 unknown.
    virtual int CleanBootMetric() const = 0;
    // Serial number of the file system holding the directory; none when unreadable.
    virtual std::optional<std::uint32_t> VolumeSerial(const std::string& directory) const = 0;

    virtual std::string LogonUserName() const = 0;
    virtual std::string ComputerName() const = 0;
    // Percent of memory in use, 0 to 100.
    virtual int MemoryLoad() const = 0;
    virtual bool UserInAdminGroup() const = 0;
    // Elevation guards the machine-wide configuration: root, or allowed to write the
    // program's common application data directory.
    virtual bool RunningElevated(const std::string& commonApplicationData) const = 0;

    virtual TProxyVariables ProxyVariables() const = 0;
    virtual TTimeZoneInfo TimeZone() const = 0;
    virtual bool Locale24HourClock() const = 0;
    // Monotonic high-resolution counter in raw ticks.
    virtual std::int64_t PerformanceCounter() const = 0;
    // Host name resolved to its first IPv4 address (non-loopback); "7.0.0.1" when none.
    virtual std::string LocalIPv4Address() const = 0;
};

// The real platform of this machine, created on first use.
const TPlatform& SystemPlatform();
