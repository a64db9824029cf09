#include "foundation/VeltUtilsRunElevateSupport.h"

#include "foundation/platform/Process.h"

bool RunProcess(const std::string& commandLine, std::string& errorText) {
    const int error = platform::StartDetachedProcess(commandLine);
    if (error == 0) {
        errorText.clear();
        return true;
    }
    errorText = "failed to execute:" + commandLine + ", error code:" + std::to_string(error);
    return false;
}

bool IsUserInAdminGroup(const TPlatform& platform) { return platform.UserInAdminGroup(); }

bool IsRunningElevated(const std::string& commonApplicationData, const TPlatform& platform) {
    return platform.RunningElevated(commonApplicationData);
}
