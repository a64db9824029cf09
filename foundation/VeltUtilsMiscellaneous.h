#pragma once
#include <string>

#include "foundation/platform/Platform.h"

struct TProxySettings {
    bool lActive = false;
    std::string sHttpHost, sHttpPort, sHttpsHost, sHttpsPort;
};

std::string GetLocalIPAddress(const TPlatform& platform = SystemPlatform());
TProxySettings ReadIEProxySettings(const TPlatform& platform = SystemPlatform());
bool IsValidIPv4Address(const std::string& text);
// Creates and deletes a probe file in the directory; False on any failure.
bool IsDirectoryWritable(const std::string& directory);
// Volume serial of the program file's file system as 8 upper-case hex digits, or "00000000".
std::string GetProgramVolumeSerial(const TPlatform& platform = SystemPlatform());
