#include "shell/OController.h"

#include <chrono>
#include <thread>

#include "collect/OFileCollector.h"
#include "collect/OFileQueue.h"
#include "config/OConfigurationData.h"
#include "config/OConfigurator.h"
#include "foundation/VeltEnvironment.h"
#include "foundation/VeltUtilsMiscellaneous.h"
#include "foundation/VeltUtilsRunElevateSupport.h"
#include "log/VeltStraightLogData.h"
#include "log/VeltStraightLogWriter.h"
#include "shell/UserInterface.h"
#include "shell/VeltStateManagerForProgram.h"
#include "transfer/OCRSEncodingReader.h"
#include "transfer/OFileSender.h"
#include "transfer/OSenderHttp.h"
#include "update/ONewVersionChecker.h"

namespace {

constexpr std::int32_t kLogCapacity = 10240;
constexpr std::int32_t kLogMaxLineLength = 1024;
constexpr std::int32_t kLogLinesPerRead = 128;
constexpr std::int32_t kLogFileSplitSize = -1;
constexpr std::int32_t kStatesNumb = 10;
constexpr std::int32_t kConfigurationHelpContext = 110000;
constexpr std::size_t kEncryptionKeyLength = 32;
constexpr auto kTaskPause = std::chrono::milliseconds(100);

const char* const kRerunAsAdministrator = "Please rerun program as administrator to enter program setup\t";
const char* const kExitQuestion = "Are you sure you want to exit ?\t\r\n\r\n( program will not longer run )\t";
const char* const kExitWhileSendingQuestion =
    "Are you sure you want to exit ?\t\r\n\r\n( program will not longer run and now transmission is in progress )\t";
const char* const kStopWhileSendingQuestion =
    "Are you sure you want stop watching now ?\t\r\n\r\n( transmission in progress, confirmation required )\t";

std::string ServerCheckFailure(int result) {
    switch (result) {
        case kCheckCannotConnect: return "unable to connect";
        case kCheckBadUserOrPassword: return "bad user or password";
        case kCheckUnknownCertificate: return "unknown certificate";
        case kCheckBadResponseFormat: return "bad response format";
        case kCheckBadResponseData: return "bad response data";
        default: return "";
    }
}

// Characters, not bytes: a key typed with letters outside ASCII counts each letter once.
std::size_t CharacterCount(const std::string& text) {
    std::size_t count = 0;
    for (const char c : text) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return count;
}

}  // namespace

TController::TController(const TEnvironment& environment, TUserInterface& userInterface, TMessagePoster* poster,
                         const TControllerOptions& options)
    : _oEnvironment(environment), _oUserInterface(userInterface), _oPoster(poster) {
    _ocLogData = std::make_unique<TLogData>(kLogCapacity, kLogMaxLineLength, kLogLinesPerRead, true);
    _ocLogWriter = std::make_unique<TLogWriter>(_ocLogData.get());
    const auto& program = environment.ProgramData();
    _iLogWriteDriverDiskFileId = _ocLogWriter->AddDriverDiskFile(
        environment.Paths().sCommonApplicationData + program.sProgramBaseName + ".log", kLogFileSplitSize);
    _ocLogWriter->EnableDriver(_iLogWriteDriverDiskFileId);
    _iLogWriteDriverStringListId = 0;
    _ocLogWriter->Start();
    _stmStateManager = std::make_unique<TProgramStateManager>(kStatesNumb, stStart, environment);
    DefineTransitions();
    _ocConfigurator =
        std::make_unique<TConfigurator>(environment, _ocLogData.get(), userInterface.ConfigurationScreen(*_ocLogData));
    userInterface.AttachLog([this](const std::string& text) { LogLine(text); });
    try {
        ReadConfigurationAndStart();
        if (CurrentState() != stFinishing) CreateWorkers(options);
    } catch (...) {
        // No destructor runs for a half-made controller: take the log back from the front end.
        userInterface.AttachLog({});
        throw;
    }
}

TController::~TController() {
    _oUserInterface.AttachLog({});
    _ocFileSender.reset();
    _ocFileCollector.reset();
    _ocFileQueue.reset();
    _ocNewVersionChecker.reset();
    _ocConfigurator.reset();
    _stmStateManager.reset();
    // The writer's thread writes the remaining lines before it ends.
    _ocLogWriter->Stop();
    _ocLogWriter->RemoveDriver(_iLogWriteDriverDiskFileId);
    if (_iLogWriteDriverStringListId != 0) _ocLogWriter->RemoveDriver(_iLogWriteDriverStringListId);
    _ocLogWriter.reset();
    _ocLogData.reset();
}

void TController::DefineTransitions() {
    const struct {
        std::int32_t from, to;
        bool (TController::*action)();
    } transitions[] = {
        {1, 3, &TController::ActionStartToConfiguration},
        {1, 4, &TController::ActionStartToIdle},
        {1, 10, &TController::ActionStartToFinishing},
        {2, 3, &TController::ActionNotConfiguredToConfiguration},
        {2, 10, &TController::ActionNotConfiguredToFinishing},
        {3, 4, &TController::ActionConfigurationToIdle},
        {3, 2, &TController::ActionConfigurationToNotConfigured},
        {4, 3, &TController::ActionIdleToConfiguration},
        {4, 5, &TController::ActionIdleToUpgrade},
        {4, 6, &TController::ActionIdleToLogOff},
        {4, 7, &TController::ActionIdleToWatching},
        {4, 10, &TController::ActionIdleToFinishing},
        {7, 4, &TController::ActionWatchingToIdle},
        {7, 8, &TController::ActionWatchingToUpgrade},
        {7, 9, &TController::ActionWatchingToLogOff},
        {7, 10, &TController::ActionWatchingToFinishing},
    };
    for (const auto& t : transitions) {
        _stmStateManager->DefineChangeStateAction(t.from, t.to,
                                                  [this, action = t.action] { return (this->*action)(); });
    }
}

void TController::ReadConfigurationAndStart() {
    try {
        _ocConfigurator->ReadConfiguration();
        _stmStateManager->RunChangeStateAction("008-001", stStart, stIdle, {}, {}, _ocLogData.get(), DebugMode());
    } catch (const EConfiguratorDirAccess& e) {
        HandleConfigurationError(true, e);
    } catch (const EConfigurator& e) {
        HandleConfigurationError(false, e);
    } catch (const EConfigurationData& e) {
        // An unknown protocol code makes the file as unusable as a broken one.
        HandleConfigurationError(false, e);
    }
}

void TController::CreateWorkers(const TControllerOptions& options) {
    TConfigurationData& data = ConfigurationData();
    _ocNewVersionChecker = std::make_unique<TNewVersionChecker>(
        _oEnvironment, &data, _ocLogData.get(), [this] { return NewVersionCheckAllowed(); }, _oPoster);
    _ocFileQueue = std::make_unique<TFileQueue>(_oEnvironment, options.sFileQueueMutexName);
    _ocFileCollector = std::make_unique<TFileCollector>(&data, _ocLogData.get(), _ocFileQueue.get(), _oPoster);
    _ocFileSender = std::make_unique<TFileSender>(_oEnvironment, &data, _ocLogData.get(), _ocFileQueue.get(), _oPoster);
}

TConfigurationData& TController::ConfigurationData() const { return _ocConfigurator->ConfigurationData(); }

std::int32_t TController::CurrentState() const { return _stmStateManager->CurrentState(); }

bool TController::DebugMode() const { return ConfigurationData()._rData.rSupport.lDebugModeInLog; }

void TController::Log(const std::string& suffix, const std::string& text) const {
    _ocLogData->LineWrite(ConfigurationData().GetLogDataStamp(suffix) + text);
}

void TController::LogLine(const std::string& text) const { Log("", text); }

void TController::RunChangeState(const std::string& marker, std::int32_t stateTo, bool announce) {
    TObjectProc announceProc;
    if (announce) announceProc = [this] { _oUserInterface.AnnounceProgramState(CurrentState()); };
    _stmStateManager->RunChangeStateAction(marker, CurrentState(), stateTo, {}, announceProc, _ocLogData.get(),
                                           DebugMode());
}

void TController::Nested(const std::string& marker, std::int32_t stateTo) { RunChangeState(marker, stateTo, true); }

void TController::AssignHelpFile() {
    if (!_oUserInterface.HelpFile().empty()) return;
    const std::string language = ConfigurationData()._rData.rProgram.iHelpLanguageId == 1 ? "_de" : "_en";
    _oUserInterface.SetHelpFile(_oEnvironment.ProgramData().sProgramFullName + language + ".html");
}

void TController::InformStatusLogin() {
    const auto& data = ConfigurationData()._rData;
    const std::string& login =
        data.ptUploadProtocol == tptHttp ? data.rHttpTransfer.rBase.sLogin : data.rFtpTransfer.sLogin;
    if (!login.empty()) _oUserInterface.ShowLogin(login);
}

void TController::HandleConfigurationError(bool directoryProblem, const std::exception& error) {
    _oUserInterface.SetHelpFile(_oEnvironment.ProgramData().sProgramFullName + "_en.html");
    std::string text;
    if (directoryProblem) {
        text = std::string("Configuration problem for current user\r\n\r\n( ") + error.what() + " )";
    } else {
        text = "No or bad configuration file found ( " + _oEnvironment.Paths().sCommonApplicationData +
               _oEnvironment.ProgramData().sProgramBaseName + ".cfg" + " )";
    }
    text += "\t\r\n\r\nSetup configuration will start now\t";
    const TMessageButton answer = _oUserInterface.MessageBox(
        {TMessageKind::Warning, text, mbOK | mbCancel | mbHelp, mbHelp, kConfigurationHelpContext});
    if (answer != mbOK) {
        _stmStateManager->RunChangeStateAction("009-001", stStart, stFinishing, {}, {}, _ocLogData.get(), DebugMode());
    }
    _oUserInterface.SetHelpFile("");
}

bool TController::NewVersionCheckAllowed() const {
    const std::int32_t state = CurrentState();
    return state == stIdle || state == stWatching;
}

int TController::EnterConfiguration() {
    LogLine("entering configuration");
    const int result = _ocConfigurator->ShowConfigurationScreen();
    if (result == 1) LogLine("saving configuration");
    return result;
}

bool TController::ReadCRSEncodingTask() {
    std::this_thread::sleep_for(kTaskPause);
    const bool result = ReadCRSEncoding(_oEnvironment, ConfigurationData(), _ocLogData.get());
    if (!result) LogLine("cannot start watching-error setting CRS encodings");
    return result;
}

void TController::StopWatchingTask() {
    std::this_thread::sleep_for(kTaskPause);
    if (_ocFileCollector) _ocFileCollector->Stop();
    if (_ocFileSender) _ocFileSender->Stop();
}

bool TController::IsElevated() const {
    return IsRunningElevated(_oEnvironment.Paths().sCommonApplicationData, _oEnvironment.Platform());
}

void TController::ShowElevationInfo() {
    _oUserInterface.MessageBox({TMessageKind::Information, kRerunAsAdministrator, mbOK, mbOK, 0});
}

bool TController::Confirmed(const std::string& question) {
    return _oUserInterface.MessageBox({TMessageKind::Warning, question, mbYes | mbNo, mbYes, 0}) == mbYes;
}

void TController::StopWatching(const std::string& info) {
    _oUserInterface.RunOneLineTask(info, [this] { StopWatchingTask(); });
}

void TController::DisableStringListDriver() { _ocLogWriter->DisableDriver(_iLogWriteDriverStringListId); }

bool TController::NowSending() const { return _ocFileSender && _ocFileSender->NowSending(); }

bool TController::ActionStartToConfiguration() {
    if (IsElevated()) {
        if (EnterConfiguration() == 1) {
            Nested("010-001", stIdle);
        } else {
            Nested("010-002", stNotConfigured);
        }
    } else {
        ShowElevationInfo();
        Nested("010-003", stNotConfigured);
    }
    return true;
}

bool TController::ActionNotConfiguredToConfiguration() {
    int result = 0;
    if (IsElevated()) {
        result = EnterConfiguration();
        if (result == 1) {
            Nested("011-001", stIdle);
        } else {
            Nested("011-002", stNotConfigured);
        }
    } else {
        ShowElevationInfo();
        Nested("011-003", stNotConfigured);
    }
    return result == 1;
}

bool TController::ActionConfigurationToIdle() {
    InformStatusLogin();
    return true;
}

bool TController::ActionIdleToConfiguration() {
    if (IsElevated()) {
        EnterConfiguration();
    } else {
        ShowElevationInfo();
    }
    Nested("012-001", stIdle);
    return true;
}

bool TController::ActionIdleToUpgrade() {
    if (_ocNewVersionChecker) _ocNewVersionChecker->Stop();
    DisableStringListDriver();
    LogLine("program stop (auto upgrade from idle)");
    return true;
}

bool TController::ActionIdleToLogOff() {
    DisableStringListDriver();
    LogLine("program stop (user logs off from idle)");
    return true;
}

bool TController::PermittedMachine() {
    const std::string& permitted = ConfigurationData()._rData.rProgram.sPermittedIP;
    if (permitted.empty() || permitted == GetLocalIPAddress(_oEnvironment.Platform())) return true;
    LogLine("cannot start watching-this machine has not permitted IP, please check configuration");
    return false;
}

bool TController::ServerCheckPassed() {
    const auto& http = ConfigurationData()._rData.rHttpTransfer;
    int result = kCheckVerified;
    {
        TSenderHTTP sender(_oEnvironment, &ConfigurationData(), _ocLogData.get());
        if (http.rCheck.lValidCertOnWatchAndUpload) {
            result = sender.CheckRemoteCertificate(DebugMode(), false, http.rBase, http.rProxy, http.rCert);
        }
    }
    if (result == kCheckVerified) return true;
    const std::string reason = ServerCheckFailure(result);
    if (!reason.empty()) {
        LogLine("cannot start watching-bad configuration ( " + reason + " ), please check configuration");
    }
    return false;
}

bool TController::EncryptionKeyValid() {
    const std::string& key = ConfigurationData()._rData.rHttpTransfer.rBase.sEncryptionKey;
    if (key.empty() || CharacterCount(key) == kEncryptionKeyLength) return true;
    LogLine("cannot start watching-encryption key not set, please configure program");
    return false;
}

bool TController::ActionIdleToWatching() {
    const bool overHttps = ConfigurationData()._rData.ptUploadProtocol == tptHttp;
    if (!PermittedMachine() || !ServerCheckPassed()) return false;
    if (overHttps) {
        if (!EncryptionKeyValid()) return false;
        if (!_oUserInterface.RunOneLineFuncTask("connecting to filekey host...",
                                                [this] { return ReadCRSEncodingTask(); }))
            return false;
    }
    LogLine("start watching");
    if (_ocFileCollector) _ocFileCollector->Start();
    if (_ocFileSender) _ocFileSender->Start();
    return true;
}

bool TController::ActionIdleToFinishing() {
    if (!Confirmed(kExitQuestion)) return false;
    DisableStringListDriver();
    LogLine("program stop (from idle)");
    return true;
}

bool TController::ActionWatchingToIdle() {
    if (NowSending() && !Confirmed(kStopWhileSendingQuestion)) {
        _oUserInterface.ProcessMessages();
        return false;
    }
    StopWatching("stopping on user request...");
    LogLine("stop watching, now idle");
    return true;
}

bool TController::ActionWatchingToUpgrade() {
    if (_ocNewVersionChecker) _ocNewVersionChecker->Stop();
    StopWatching("stopping, new version found...");
    LogLine("stop watching, exiting program");
    DisableStringListDriver();
    LogLine("program stop (auto upgrade from watch)");
    return true;
}

bool TController::ActionWatchingToLogOff() {
    StopWatching("stopping, user logs off detected...");
    LogLine("stop watching, exiting program");
    DisableStringListDriver();
    LogLine("program stop (user logs off from watch)");
    return true;
}

bool TController::ActionWatchingToFinishing() {
    if (!Confirmed(NowSending() ? kExitWhileSendingQuestion : kExitQuestion)) {
        _oUserInterface.ProcessMessages();
        return false;
    }
    StopWatching("stopping...");
    LogLine("stop watching, exiting program");
    DisableStringListDriver();
    LogLine("program stop (from watch)");
    return true;
}
