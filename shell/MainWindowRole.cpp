#include "shell/MainWindowRole.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

#include "config/OConfigurationData.h"
#include "foundation/MessagePoster.h"
#include "foundation/VeltEnvironment.h"
#include "foundation/VeltUtilsBooleanOperations.h"
#include "log/VeltStraightLogWriter.h"
#include "shell/OController.h"
#include "shell/UserInterface.h"
#include "shell/VeltStateManagerForProgram.h"

namespace {

const char* WinstartWayText(TWinstartWays way) {
    switch (way) {
        case twswNormal: return "normal";
        case twswFailsafe: return "failsafe";
        case twswFailsafeNet: return "failsafe with net";
        default: return "undefined";
    }
}

}  // namespace

TMainWindowRole::TMainWindowRole(TController& controller, TMessagePoster* poster, std::vector<std::string> arguments)
    : _oController(controller),
      _oUserInterface(controller.UserInterface()),
      _oPoster(poster),
      _slArguments(std::move(arguments)) {}

bool TMainWindowRole::IsFinalState(std::int32_t state) {
    return state == stFinishing || state == stUpgradeFromIdle || state == stLogOffFromIdle ||
           state == stUpgradeFromWatch || state == stLogOffFromWatch;
}

void TMainWindowRole::Create() {
    _rTmpCounters = {};
    if (_oController.DebugMode()) WriteMachineData();
    TLogWriter& writer = _oController.LogWriter();
    const std::int32_t id = writer.AddDriverStringList(kLogListLines, _oPoster);
    _oController.SetLogWriteDriverStringListId(id);
    writer.EnableDriver(id);
    writer.Run();
    const TEnvironment& environment = _oController.Environment();
    _oController.Log("", "program start ( ZELKO KMR Transfer " + environment.ProgramData().sProgramVersion + " )");
    _oController.InformStatusLogin();
    _oController.AssignHelpFile();
}

void TMainWindowRole::WriteMachineData() {
    const TEnvironment& environment = _oController.Environment();
    const auto log = [this](const std::string& text) { _oController.Log("", text); };
    log("---------- start - machine data");
    log(std::string("- windows startup mode: ") + WinstartWayText(environment.Windows().tWinStartWay));
    log("- machine id: " + environment.ProgramData().sProgramLicence);
    log("- local ip: " + environment.LocalIP());
    log("- user name: " + environment.CurrentUserData().sUserName);
    log("- user is admin: " + BooleanToYesNo(environment.UserIsAdmin()));
    log("- memory load: " + std::to_string(environment.MemoryLoad()) + "%");
    const bool proxyActive = environment.IEProxyActive();
    log("- proxy active: " + BooleanToYesNo(proxyActive));
    if (proxyActive) {
        log("- proxy http host: " + environment.IEProxyHttpHost());
        log("- proxy http port: " + environment.IEProxyHttpPort());
        log("- proxy https host: " + environment.IEProxyHttpsHost());
        log("- proxy https port: " + environment.IEProxyHttpsPort());
    }
    log("---------- stop - machine data");
}

bool TMainWindowRole::AutomaticStartRequested() const {
    if (_oController.ConfigurationData()._rData.rProgram.lStartWithWatch) return true;
    return std::find(_slArguments.begin(), _slArguments.end(), "start_watch") != _slArguments.end();
}

bool TMainWindowRole::AutomaticStartPending() const {
    return _oController.CurrentState() != stStart && !_lAutomaticStartIssued && AutomaticStartRequested();
}

void TMainWindowRole::Activate() {
    const std::int32_t state = _oController.CurrentState();
    if (state == stStart) {
        Request("001-001", stConfiguration, true);
    } else if (AutomaticStartPending()) {
        // Once, right after the start: later activations must not start watching again.
        _lAutomaticStartIssued = true;
        StartAutomatically();
    }
    _oUserInterface.AnnounceProgramState(_oController.CurrentState());
}

void TMainWindowRole::StartAutomatically() { Request("001-002", stWatching, true); }

void TMainWindowRole::Start() { Request("003-001", stWatching, true); }

void TMainWindowRole::Stop() { Request("004-001", stIdle, true); }

void TMainWindowRole::Setup() { Request("005-001", stConfiguration, true); }

bool TMainWindowRole::RequestClose() {
    if (!IsFinalState(_oController.CurrentState())) Request("002-001", stFinishing, false);
    return IsFinalState(_oController.CurrentState());
}

bool TMainWindowRole::HandleMessage(unsigned message, std::intptr_t wParam, std::intptr_t lParam) {
    switch (message) {
        case WM_FILEQUEUED: ++_rTmpCounters.iFilesQueue; return false;
        case WM_FILESPROCESSED:
            _rTmpCounters.iFilesProcessed += static_cast<std::int32_t>(wParam);
            _rTmpCounters.iFilesErrors += static_cast<std::int32_t>(lParam);
            return false;
        case WM_NEWVERSIONFOUND:
            if (_oController.CurrentState() == stIdle) {
                Request("006-001", stUpgradeFromIdle, true);
            } else if (_oController.CurrentState() == stWatching) {
                Request("006-002", stUpgradeFromWatch, true);
            }
            return RequestClose();
        default: return false;
    }
}

bool TMainWindowRole::EndSession() {
    if (_oController.DebugMode()) _oController.Log("MAINF", "[debug] user logs off detected");
    if (_oController.CurrentState() == stIdle) {
        Request("007-001", stLogOffFromIdle, true);
    } else if (_oController.CurrentState() == stWatching) {
        Request("007-002", stLogOffFromWatch, true);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kSessionEndPauseMilliseconds));
    return RequestClose();
}

void TMainWindowRole::FetchLogLines(std::int32_t maxLines, std::vector<std::string>& lines) {
    _oController.LogWriter().ReadLinesFromStringDriver(_oController.LogWriteDriverStringListId(), maxLines, lines,
                                                       _rTmpCounters.iLastIdInMemo);
}

void TMainWindowRole::Request(const std::string& marker, std::int32_t stateTo, bool announce) {
    try {
        _oController.RunChangeState(marker, stateTo, announce);
    } catch (const EProgramStateManager& e) {
        // Already in the log; the person sees it too, and the program goes on.
        _oUserInterface.MessageBox({TMessageKind::Error, e.what(), mbOK, mbOK, 0});
    }
}
