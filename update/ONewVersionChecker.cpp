#include "update/ONewVersionChecker.h"

#include <sys/resource.h>

#include <cerrno>
#include <chrono>
#include <exception>
#include <filesystem>

#include "config/OConfigurationData.h"
#include "foundation/MessagePoster.h"
#include "foundation/VeltEnvironment.h"
#include "foundation/VeltUtilsDateTimeOperations.h"
#include "foundation/VeltUtilsStringOperations.h"
#include "foundation/platform/ThreadName.h"
#include "log/VeltStraightLogData.h"
#include "update/VeltUtilsNewVersion.h"

namespace {

constexpr const char* kProgramFilesPath = "/program_files/new_version";

// One step below the others, as the check is never urgent. On Linux the nice value
// belongs to the calling thread.
void LowerCurrentThreadPriority() {
    errno = 0;
    const int niceValue = getpriority(PRIO_PROCESS, 0);
    if (errno == 0) setpriority(PRIO_PROCESS, 0, niceValue + 1);
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

}  // namespace

// ---- the thread -----------------------------------------------------------------------

TNewversionCheckerThread::TNewversionCheckerThread(TNewVersionChecker& owner, int napsBetweenChecks)
    : _oOwner(owner), _iNapsBetweenChecks(napsBetweenChecks) {}

TNewversionCheckerThread::~TNewversionCheckerThread() { TerminateAndWait(); }

void TNewversionCheckerThread::Start() {
    if (!_thread.joinable()) _thread = std::thread([this] { Execute(); });
}

void TNewversionCheckerThread::TerminateAndWait() {
    {
        std::lock_guard lock(_muNap);
        _lTerminated = true;
    }
    _cvNap.notify_all();
    if (_thread.joinable()) _thread.join();
}

void TNewversionCheckerThread::Suspend() { _lSuspended = true; }

void TNewversionCheckerThread::Resume() { _lSuspended = false; }

void TNewversionCheckerThread::Execute() {
    platform::SetCurrentThreadName(TNewVersionChecker::kThreadName);
    LowerCurrentThreadPriority();
    for (;;) {
        if (!_lSuspended) CheckOnce();
        for (int naps = 0; naps < _iNapsBetweenChecks;) {
            if (!Nap()) return;
            if (!_lSuspended) ++naps;
        }
    }
}

bool TNewversionCheckerThread::Nap() {
    std::unique_lock lock(_muNap);
    _cvNap.wait_for(lock, std::chrono::milliseconds(TNewVersionChecker::kNapMilliseconds),
                    [this] { return _lTerminated; });
    return !_lTerminated;
}

void TNewversionCheckerThread::CheckOnce() {
    if (_lWait) return;
    TNewVersionChecker& owner = _oOwner;
    try {
        const bool allowed = owner._fLookForNewVersionAllowed && owner._fLookForNewVersionAllowed();
        bool inWindow = false;
        if (allowed) {
            const auto& newVersion = owner._oConfigurationData->_rData.rProgram.rNewVersion;
            try {
                inWindow = IsTimeInDaysAndHours(newVersion.sLimitedCheckDays, newVersion.sLimitedCheckHours,
                                                owner._fClock());
            } catch (const EConvertError&) {
                // Counts as outside the window; the thread goes on.
                owner.LogLine("error-new version check skipped, bad check days or hours (" +
                              newVersion.sLimitedCheckDays + " / " + newVersion.sLimitedCheckHours + ")");
            }
        }
        if (!inWindow || owner.FThereIsNewVersion) return;
        const std::string command = owner.IsNewVersion() ? owner.PrepareNewVersion({}, {}) : std::string();
        owner.SetUpdateCommand(command);
        owner.FThereIsNewVersion = !command.empty();
        if (owner.FThereIsNewVersion && owner._oPoster != nullptr) owner._oPoster->Post(WM_NEWVERSIONFOUND, 0, 0);
    } catch (const std::exception& error) {
        owner.LogLine(std::string("error-while checking for new version-") + error.what());
    }
}

// ---- the checker ----------------------------------------------------------------------

TNewVersionChecker::TNewVersionChecker(const TEnvironment& environment, const TConfigurationData* AConfigurationData,
                                       TLogData* ALogData, TObjectBooleanFunc ALookForNewVersionAllowed,
                                       TMessagePoster* poster, TClock clock)
    : _oEnvironment(environment),
      _oConfigurationData(AConfigurationData),
      _oLogData(ALogData),
      _fLookForNewVersionAllowed(std::move(ALookForNewVersionAllowed)),
      _oPoster(poster),
      _fClock(clock ? std::move(clock) : TClock(LocalNow)) {
    if (_oConfigurationData == nullptr) {
        throw ENewVersionChecker("TNewVersionChecker error: cannot create object, configuration data not defined");
    }
    if (_oLogData == nullptr) {
        throw ENewVersionChecker("TNewVersionChecker error: cannot create object, log data not defined");
    }
    _sHTTPAgentName = BuildHttpAgentName();
    _nvNewVersion = std::make_unique<TNewVersion>(_sHTTPAgentName, _oEnvironment.ProgramData().sProgramVersion);
}

TNewVersionChecker::~TNewVersionChecker() { Stop(); }

std::string TNewVersionChecker::BuildHttpAgentName() const {
    const TEnvironmentProgramData& program = _oEnvironment.ProgramData();
    std::string agent = "Mozilla/4.0 (compatible; Synapse) ( " + program.sProgramBaseName + " " +
                        program.sProgramVersion + " ) ( " + _oEnvironment.LocalIP() + " " + program.sProgramLicence +
                        " ) ";
    const TConfigurationDataRecord& data = _oConfigurationData->_rData;
    if (data.ptUploadProtocol == tptHttp && !data.rHttpTransfer.rBase.sLogin.empty()) {
        agent += "( https " + data.rHttpTransfer.rBase.sLogin + " )";
    } else if (data.ptUploadProtocol == tptFtp && !data.rFtpTransfer.sLogin.empty()) {
        agent += "( ftp/ftps " + data.rFtpTransfer.sLogin + " )";
    }
    return agent;
}

void TNewVersionChecker::SetProxyParameters() {
    const TConfigurationDataNewVersion& newVersion = _oConfigurationData->_rData.rProgram.rNewVersion;
    if (!newVersion.lProxyActive) {
        _sProxyHost = _sProxtPort = _sProxyLogin = _sProxyPassword = "";
    } else if (newVersion.lProxyIEType) {
        _sProxyHost = _oEnvironment.IEProxyHttpsHost();
        _sProxtPort = _oEnvironment.IEProxyHttpsPort();
        _sProxyLogin = _sProxyPassword = "";
    } else {
        _sProxyHost = newVersion.sProxyHost;
        _sProxtPort = newVersion.sProxyPort;
        _sProxyLogin = newVersion.sProxyLogin;
        _sProxyPassword = newVersion.sProxyPassword;
    }
}

std::string TNewVersionChecker::DescriptorUrl() const {
    return ArchiveDirectoryUrl() + "/" + _oEnvironment.ProgramData().sProgramBaseName + ".nvf";
}

std::string TNewVersionChecker::ArchiveDirectoryUrl() const {
    return _oConfigurationData->_rData.rProgram.rNewVersion.sSiteCheck + kProgramFilesPath;
}

std::string TNewVersionChecker::ArchiveName() const {
    return LowerCaseAscii("i_" + _oEnvironment.ProgramData().sProgramBaseName + ".zip");
}

std::string TNewVersionChecker::LocalStoreDir() const {
    return TrimTrailingChar(_oEnvironment.Paths().sUserLocalTemp, '/');
}

// Linux programs carry no extension; the file queue's clean-up knows this pattern.
std::string TNewVersionChecker::InstallerFile() const {
    return LocalStoreDir() + "/" + LowerCaseAscii("i_" + _oEnvironment.ProgramData().sProgramBaseName) + "_" +
           ReplaceAll(_nvNewVersion->GetNewVersionNumber(), ".", "_");
}

std::string TNewVersionChecker::CommandLine(const std::string& installerFile) const {
    const std::string programDirectory =
        std::filesystem::path(_oEnvironment.Platform().ProgramFile()).parent_path().string() + "/";
    return Quoted(installerFile) + " /verysilent /nocancel /components=" + Quoted("program") +
           " /dir=" + Quoted(programDirectory);
}

void TNewVersionChecker::LogLine(const std::string& text) const {
    _oLogData->LineWrite(_oConfigurationData->GetLogDataStamp(kLogMarker) + text);
}

bool TNewVersionChecker::WriteErrorReport(const std::string& text) const { return _oLogData->LineWrite(text); }

bool TNewVersionChecker::IsNewVersion() {
    std::lock_guard lock(_muNewVersion);
    LogLine("checking for new version...");
    SetProxyParameters();
    const bool found = _nvNewVersion->IsNewVersion([this](const std::string& text) { return WriteErrorReport(text); },
                                                   DescriptorUrl(), _sProxyHost, _sProxtPort, _sProxyLogin,
                                                   _sProxyPassword);
    LogLine(found ? "new version information found..." : "no new version or check impossible...");
    return found;
}

std::string TNewVersionChecker::PrepareNewVersion(const TObjectProcStr1& POnProgressDownload,
                                                  const TObjectProcStr1& POnProgressUnpack) {
    std::lock_guard lock(_muNewVersion);
    const auto onError = [this](const std::string& text) { return WriteErrorReport(text); };
    const std::string storeDir = LocalStoreDir();
    SetProxyParameters();
    LogLine("downloading new version...");
    if (!_nvNewVersion->DownloadNewProgramPackedFile(onError, POnProgressDownload, ArchiveDirectoryUrl(), storeDir,
                                                     ArchiveName(), _sProxyHost, _sProxtPort, _sProxyLogin,
                                                     _sProxyPassword)) {
        LogLine("error-new version not downloaded");
        return "";
    }
    LogLine("new version downloaded, unpacking...");
    if (!_nvNewVersion->UnpackNewProgramPackedFile(onError, POnProgressUnpack, storeDir, ArchiveName())) {
        LogLine("error-new version not unpacked");
        return "";
    }
    LogLine("new version unpacked");
    const std::string installer = InstallerFile();
    std::error_code error;
    if (!std::filesystem::is_regular_file(installer, error)) {
        LogLine("error-new version installation file not found (" + installer + ")");
        return "";
    }
    // Archives made elsewhere carry no execute bit, and the installer must be started.
    std::filesystem::permissions(installer, std::filesystem::perms::owner_exec, std::filesystem::perm_options::add,
                                 error);
    return CommandLine(installer);
}

std::string TNewVersionChecker::UpdateCommand() const {
    std::lock_guard lock(_muUpdateCommand);
    return FUpdateCommand;
}

void TNewVersionChecker::SetUpdateCommand(const std::string& command) {
    std::lock_guard lock(_muUpdateCommand);
    FUpdateCommand = command;
}

void TNewVersionChecker::Start() {
    if (_thWorker) return;
    FThereIsNewVersion = false;
    SetUpdateCommand("");
    _thWorker = std::make_unique<TNewversionCheckerThread>(*this, _iNapsBetweenChecks);
    _thWorker->SetWait(false);
    _thWorker->Start();
}

void TNewVersionChecker::Suspend() {
    if (_thWorker && !_thWorker->Suspended()) _thWorker->Suspend();
}

void TNewVersionChecker::Resume() {
    if (_thWorker && _thWorker->Suspended()) _thWorker->Resume();
}

void TNewVersionChecker::Wait() {
    if (_thWorker) _thWorker->SetWait(true);
}

void TNewVersionChecker::Run() {
    if (_thWorker) _thWorker->SetWait(false);
}

void TNewVersionChecker::Stop() {
    if (!_thWorker) return;
    _thWorker->TerminateAndWait();
    _thWorker.reset();
}
