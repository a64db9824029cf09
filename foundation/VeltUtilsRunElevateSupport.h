#pragma once
#include <string>

#include "foundation/platform/Platform.h"

// Starts the command line as a new process without waiting for it. On failure
// `errorText` is "failed to execute:" + command line + ", error code:" + errno.
bool RunProcess(const std::string& commandLine, std::string& errorText);
bool IsUserInAdminGroup(const TPlatform& platform = SystemPlatform());
bool IsRunningElevated(const std::string& commonApplicationData,
                       const TPlatform& platform = SystemPlatform());
