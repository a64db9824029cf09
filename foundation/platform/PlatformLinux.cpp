#include "foundation/platform/PlatformLinux.h"

#include <arpa/inet.h>
#include <grp.h>
#include <ifaddrs.h>
#include <langinfo.h>
#include <netdb.h>
#include <net/if.h>
#include <pwd.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

std::optional<std::string> NonEmptyVariable(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') return std::nullopt;
    return std::string(value);
}

// $VARIABLE, else $HOME + fallback; none when neither is set.
std::optional<std::string> XdgHome(const char* variable, const char* fallback) {
    if (auto value = NonEmptyVariable(variable)) return value;
    if (auto home = NonEmptyVariable("HOME")) return *home + fallback;
    return std::nullopt;
}

std::optional<std::string> FirstVariable(const char* lower, const char* upper) {
    if (const char* value = std::getenv(lower)) return std::string(value);
    if (const char* value = std::getenv(upper)) return std::string(value);
    return std::nullopt;
}

std::string ReadWholeFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool IsLoopback(const in_addr& address) { return (ntohl(address.s_addr) >> 24) == 127; }

std::string AddressText(const in_addr& address) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

// Debian maps the host name to 127.0.1.1; the machine's address on the network is that
// of the first interface that is up and not loopback.
std::optional<std::string> FirstInterfaceAddress() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return std::nullopt;
    std::optional<std::string> found;
    for (ifaddrs* entry = list; entry != nullptr && !found; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
        if ((entry->ifa_flags & IFF_UP) == 0 || (entry->ifa_flags & IFF_LOOPBACK) != 0) continue;
        const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        if (!IsLoopback(address->sin_addr)) found = AddressText(address->sin_addr);
    }
    freeifaddrs(list);
    return found;
}

}  // namespace

std::string TPlatformLinux::ProgramFile() const {
    std::error_code ec;
    const auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : path.string();
}

std::vector<std::string> TPlatformLinux::CommandLineArguments() const {
    const std::string raw = ReadWholeFile("/proc/self/cmdline");
    std::vector<std::string> arguments;
    std::size_t begin = 0;
    while (begin < raw.size()) {
        const auto end = raw.find('\0', begin);
        arguments.push_back(raw.substr(begin, end == std::string::npos ? std::string::npos : end - begin));
        if (end == std::string::npos) break;
        begin = end + 1;
    }
    if (!arguments.empty()) arguments.erase(arguments.begin());  // the program itself
    return arguments;
}

std::optional<std::string> TPlatformLinux::CommonAppDataBase() const {
    return XdgHome("XDG_DATA_HOME", "/.local/share");
}

std::optional<std::string> TPlatformLinux::UserAppDataBase() const { return XdgHome("XDG_CONFIG_HOME", "/.config"); }

std::optional<std::string> TPlatformLinux::UserLocalAppDataBase() const {
    return XdgHome("XDG_CACHE_HOME", "/.cache");
}

std::optional<std::string> TPlatformLinux::CommonFilesBase() const { return std::string("/usr/local/share"); }

int TPlatformLinux::OsMajorVersion() const { return 10; }

int TPlatformLinux::CleanBootMetric() const {
    std::ifstream in("/proc/cmdline");
    if (!in) return -1;
    std::string word;
    while (in >> word) {
        if (word == "single" || word == "emergency" || word == "rescue" || word == "systemd.unit=rescue.target" ||
            word == "systemd.unit=emergency.target") {
            return 1;
        }
    }
    return 0;
}

std::optional<std::uint32_t> TPlatformLinux::VolumeSerial(const std::string& directory) const {
    struct statvfs info {};
    if (statvfs(directory.c_str(), &info) != 0) return std::nullopt;
    const auto serial = static_cast<std::uint32_t>(info.f_fsid & 0xFFFFFFFFu);
    if (serial == 0) return std::nullopt;
    return serial;
}

std::string TPlatformLinux::LogonUserName() const {
    if (const passwd* entry = getpwuid(geteuid()); entry != nullptr && entry->pw_name != nullptr) {
        return entry->pw_name;
    }
    if (auto user = NonEmptyVariable("USER")) return *user;
    if (auto logname = NonEmptyVariable("LOGNAME")) return *logname;
    return std::string();
}

std::string TPlatformLinux::ComputerName() const {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return std::string();
    return name;
}

int TPlatformLinux::MemoryLoad() const {
    std::ifstream in("/proc/meminfo");
    long long total = 0;
    long long available = -1;
    std::string key;
    long long value = 0;
    std::string unit;
    while (in >> key >> value >> unit) {
        if (key == "MemTotal:") total = value;
        if (key == "MemAvailable:") available = value;
    }
    if (total <= 0 || available < 0) return 0;
    return static_cast<int>(100 * (total - available) / total);
}

bool TPlatformLinux::UserInAdminGroup() const {
    if (geteuid() == 0) return true;
    int count = getgroups(0, nullptr);
    if (count < 0) return false;
    std::vector<gid_t> groups(static_cast<std::size_t>(count) + 1);
    count = getgroups(count, groups.data());
    if (count < 0) return false;
    groups.resize(static_cast<std::size_t>(count));
    groups.push_back(getegid());
    for (const char* name : {"sudo", "wheel", "admin"}) {
        if (const group* entry = getgrnam(name)) {
            for (const gid_t gid : groups) {
                if (gid == entry->gr_gid) return true;
            }
        }
    }
    return false;
}

bool TPlatformLinux::RunningElevated(const std::string& commonApplicationData) const {
    return geteuid() == 0 || access(commonApplicationData.c_str(), W_OK) == 0;
}

TProxyVariables TPlatformLinux::ProxyVariables() const {
    return {FirstVariable("https_proxy", "HTTPS_PROXY"), FirstVariable("http_proxy", "HTTP_PROXY")};
}

TTimeZoneInfo TPlatformLinux::TimeZone() const {
    tzset();
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr || tzname[0] == nullptr) return {};
    return {true, static_cast<int>(-local.tm_gmtoff / 60), local.tm_isdst > 0};
}

bool TPlatformLinux::Locale24HourClock() const {
    const std::string format = nl_langinfo(T_FMT);
    for (const char* marker : {"%H", "%k", "%T", "%R"}) {
        if (format.find(marker) != std::string::npos) return true;
    }
    return false;
}

std::int64_t TPlatformLinux::PerformanceCounter() const {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_RAW, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

std::string TPlatformLinux::LocalIPv4Address() const {
    char host[256] = {};
    std::optional<std::string> address;
    bool loopback = false;
    if (gethostname(host, sizeof host - 1) == 0) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        addrinfo* result = nullptr;
        if (getaddrinfo(host, nullptr, &hints, &result) == 0 && result != nullptr) {
            const auto* first = reinterpret_cast<const sockaddr_in*>(result->ai_addr);
            address = AddressText(first->sin_addr);
            loopback = IsLoopback(first->sin_addr);
            freeaddrinfo(result);
        }
    }
    if (!address || loopback) address = FirstInterfaceAddress();
    return address.value_or("7.0.0.1");
}

const TPlatform& SystemPlatform() {
    static const TPlatformLinux platform;
    return platform;
}
