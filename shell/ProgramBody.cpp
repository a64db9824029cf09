#include "shell/ProgramBody.h"

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "foundation/VeltEnvironment.h"
#include "foundation/VeltIPCMutex.h"
#include "foundation/VeltStartupOneInstanceOnFile.h"
#include "foundation/VeltUtilsRunElevateSupport.h"
#include "foundation/VeltUtilsStringOperations.h"
#include "log/VeltStraightLogWriter.h"
#include "shell/OController.h"
#include "shell/UserInterface.h"
#include "update/ONewVersionChecker.h"

namespace {

constexpr const char* kLogMarker = "MAIN";
constexpr auto kPauseBeforeTeardown = std::chrono::milliseconds(500);

class TProgramBody {
public:
    TProgramBody(TFrontEnd& frontEnd, const TPlatform& platform)
        : _oFrontEnd(frontEnd), _oUserInterface(frontEnd.UserInterface()), _oPlatform(platform) {}

    int Run();

private:
    bool TakeSingleInstanceLock(const TEnvironment& environment);
    int RunLocked(const TEnvironment& environment);
    std::string CheckForNewVersion();
    // True when the installer started and the process is to end at once.
    bool InstallOnStartup(const std::string& updateCommand);
    void EndSequence();
    bool RunInstaller(const std::string& updateCommand, const std::string& errorBoxText);
    void Log(const std::string& text) const { _ocController->Log(kLogMarker, text); }
    void ShowError(const std::string& text) { _oUserInterface.MessageBox({TMessageKind::Error, text, mbOK, mbOK, 0}); }

    TFrontEnd& _oFrontEnd;
    TUserInterface& _oUserInterface;
    const TPlatform& _oPlatform;
    std::unique_ptr<TController> _ocController;
};

int TProgramBody::Run() {
    TEnvironmentOptions options;
    options.lCreateCommonApplicationDataPath = true;
    options.lCreateUserLocalTempPath = true;
    const TEnvironment environment(options, _oPlatform);
    // Marks the running program to outside tools (an installer); nothing here waits on it.
    CreateProcessNamedMutex("ZELKOTRANSFER");
    if (!TakeSingleInstanceLock(environment)) return kExitSecondInstance;
    try {
        return RunLocked(environment);
    } catch (...) {
        // Whatever went wrong, the next start must not meet our lock.
        _ocController.reset();
        ShutdownOneInstanceOnFile();
        throw;
    }
}

int TProgramBody::RunLocked(const TEnvironment& environment) {
    _oUserInterface.ShowIntro();
    _oUserInterface.ShowInfo("Initializing...");
    _ocController = std::make_unique<TController>(environment, _oUserInterface, _oFrontEnd.Poster());
    if (_ocController->CurrentState() == stFinishing) {
        _oUserInterface.ShowInfo("Finalizing...");
        _ocController.reset();
        _oUserInterface.HideIntro();
        ShutdownOneInstanceOnFile();
        return kExitNeedsConfigurationWindow;
    }
    _ocController->LogWriter().Wait();
    if (InstallOnStartup(CheckForNewVersion())) {
        // The installer replaces this program: leave at once, the lock file stays behind.
        _oUserInterface.ShowInfo("Finalizing...");
        _ocController.reset();
        _oUserInterface.HideIntro();
        return kExitNormal;
    }

    _oFrontEnd.CreateWindows(*_ocController);
    _oUserInterface.ShowInfo("Initializing...");
    _oUserInterface.HideIntro();
    const int status = _oFrontEnd.RunMessageLoop();

    EndSequence();
    std::this_thread::sleep_for(kPauseBeforeTeardown);
    _ocController.reset();
    ShutdownOneInstanceOnFile();
    return status;
}

bool TProgramBody::TakeSingleInstanceLock(const TEnvironment& environment) {
    const std::string lockFileName =
        environment.Paths().sCommonApplicationData + environment.ProgramData().sProgramBaseName + ".lck";
    try {
        StartupOneInstanceOnFile(lockFileName, environment.CurrentUserData().sUserName);
    } catch (const EStartupOneInstanceOnFile& e) {
        _oUserInterface.MessageBox({TMessageKind::Warning, e.what(), mbOK, mbOK, 0});
        return false;
    }
    return true;
}

std::string TProgramBody::CheckForNewVersion() {
    // Without a usable configuration there is no update site to ask.
    if (_ocController->CurrentState() == stStart) return "";
    _oUserInterface.ShowInfo("Checking for new version...");
    TNewVersionChecker* checker = _ocController->NewVersionChecker();
    if (checker == nullptr || !checker->IsNewVersion()) return "";
    return checker->PrepareNewVersion(
        [this](const std::string& progress) { _oUserInterface.ShowInfo("Downloading new version file..." + progress); },
        [this](const std::string& progress) { _oUserInterface.ShowInfo("Unpacking new version file..." + progress); });
}

bool TProgramBody::InstallOnStartup(const std::string& updateCommand) {
    if (updateCommand.empty()) return false;
    _ocController->LogWriter().Run();
    Log("installing new version on startup...");
    return RunInstaller(
        updateCommand,
        "Error while installing new program version on startup\t\r\n\r\n( new version not installed )\t");
}

bool TProgramBody::RunInstaller(const std::string& updateCommand, const std::string& errorBoxText) {
    std::string runError;
    if (RunProcess(updateCommand, runError)) {
        Log("stop current version");
        return true;
    }
    ShowError(errorBoxText);
    Log("error-executing new version installation file");
    Log("command: " + updateCommand);
    Log("error message: " + runError);
    return false;
}

void TProgramBody::EndSequence() {
    const std::int32_t state = _ocController->CurrentState();
    if (state == stUpgradeFromIdle || state == stUpgradeFromWatch) {
        const bool fromIdle = state == stUpgradeFromIdle;
        const std::string origin = fromIdle ? "idle" : "watch";
        TNewVersionChecker* checker = _ocController->NewVersionChecker();
        const std::string command =
            ReplaceAll(checker != nullptr ? checker->UpdateCommand() : std::string(), "/verysilent",
                       fromIdle ? "start_idle /verysilent" : "start_watch /verysilent");
        Log("installing new version from " + origin + "...");
        RunInstaller(command, "Error while installing new program version from " + origin +
                                  "\t\r\n\r\n( new version not installed )\t");
    } else if (state == stLogOffFromIdle) {
        Log("program stop before user logs off from idle...");
    } else if (state == stLogOffFromWatch) {
        Log("program stop before logs off from watch...");
    }
}

}  // namespace

int RunProgramBody(TFrontEnd& frontEnd, const TPlatform& platform) {
    TProgramBody body(frontEnd, platform);
    return body.Run();
}
