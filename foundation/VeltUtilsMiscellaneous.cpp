#include "foundation/VeltUtilsMiscellaneous.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "foundation/VeltUtilsStringOperations.h"

std::string GetLocalIPAddress(const TPlatform& platform) { return platform.LocalIPv4Address(); }

namespace {

// "host:port" split at the first ":"; without one the host is empty and the port is
// everything, as the proxy settings have always been read.
void SplitHostPort(const std::string& text, std::string& host, std::string& port) {
    const auto colon = text.find(':');
    if (colon == std::string::npos) {
        host.clear();
        port = text;
    } else {
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
}

// A proxy variable may be "scheme://[user:pass@]host:port[/]" or "host:port"; keep
// "host:port" only (the credentials come from the configuration, never the environment).
std::string ProxyHostPort(std::string value) {
    if (const auto scheme = value.find("://"); scheme != std::string::npos) value.erase(0, scheme + 3);
    if (const auto slash = value.find('/'); slash != std::string::npos) value.erase(slash);
    if (const auto at = value.rfind('@'); at != std::string::npos) value.erase(0, at + 1);
    return value;
}

bool IsSet(const std::optional<std::string>& value) { return value.has_value() && !value->empty(); }

}  // namespace

TProxySettings ReadIEProxySettings(const TPlatform& platform) {
    TProxySettings settings;
    const TProxyVariables variables = platform.ProxyVariables();
    settings.lActive = IsSet(variables.sHttp) || IsSet(variables.sHttps);
    if (!settings.lActive) return settings;
    // A missing variable takes the other's value.
    const std::string http = ProxyHostPort(IsSet(variables.sHttp) ? *variables.sHttp : *variables.sHttps);
    const std::string https = ProxyHostPort(IsSet(variables.sHttps) ? *variables.sHttps : *variables.sHttp);
    SplitHostPort(http, settings.sHttpHost, settings.sHttpPort);
    SplitHostPort(https, settings.sHttpsHost, settings.sHttpsPort);
    return settings;
}

bool IsValidIPv4Address(const std::string& text) {
    int groups = 0;
    std::size_t pos = 0;
    while (true) {
        std::size_t digits = 0;
        int value = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
            value = value * 10 + (text[pos] - '0');
            ++digits;
            ++pos;
        }
        if (digits == 0 || digits > 3 || value > 255) return false;
        ++groups;
        if (pos == text.size()) return groups == 4;
        if (text[pos] != '.' || groups == 4) return false;
        ++pos;
    }
}

bool IsDirectoryWritable(const std::string& directory) {
    const std::string probe = directory + "/_0123456789_.tmp";
    try {
        {
            std::ofstream file(probe, std::ios::binary | std::ios::trunc);
            if (!file) return false;
        }
        std::error_code ec;
        if (!std::filesystem::exists(probe, ec)) return false;
        return std::filesystem::remove(probe, ec) && !ec;
    } catch (...) {
        return false;
    }
}

std::string GetProgramVolumeSerial(const TPlatform& platform) {
    const std::string programDirectory = std::filesystem::path(platform.ProgramFile()).parent_path().string();
    const auto serial = platform.VolumeSerial(programDirectory);
    char text[16];
    std::snprintf(text, sizeof text, "%08X", serial.value_or(0u));
    return text;
}
