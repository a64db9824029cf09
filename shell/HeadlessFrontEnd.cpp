#include "shell/HeadlessFrontEnd.h"

#include <algorithm>
#include <ostream>

#include "foundation/VeltUtilsStringOperations.h"
#include "shell/MainWindowRole.h"
#include "shell/OController.h"

namespace {

const char* const kProductName = "ZELKO KMR Transfer";

const char* KindText(TMessageKind kind) {
    switch (kind) {
        case TMessageKind::Warning: return "warning";
        case TMessageKind::Error: return "error";
        case TMessageKind::Confirmation: return "confirmation";
        default: return "information";
    }
}

const char* ButtonText(TMessageButton button) {
    switch (button) {
        case mbOK: return "ok";
        case mbCancel: return "cancel";
        case mbYes: return "yes";
        case mbNo: return "no";
        case mbHelp: return "help";
        default: return "none";
    }
}

const char* StateCaption(std::int32_t state) {
    switch (state) {
        case stStart: return "start";
        case stNotConfigured: return "not configured yet";
        case stConfiguration: return "configuration";
        case stIdle: return "idle";
        case stUpgradeFromIdle: return "new version found whilst idle";
        case stLogOffFromIdle: return "user logs off detected whilst idle";
        case stWatching: return "watching";
        case stUpgradeFromWatch: return "new version found whilst watching";
        case stLogOffFromWatch: return "user logs off detected whilst watching";
        case stFinishing: return "finishing";
        default: return "";
    }
}

// Dialog texts are laid out with tabs and CR LF for a window; a terminal wants lines.
std::string AsTerminalText(const std::string& text) {
    std::string result = ReplaceAll(ReplaceAll(text, "\t", ""), "\r\n", "\n");
    while (!result.empty() && (result.back() == '\n' || result.back() == ' ')) result.pop_back();
    while (!result.empty() && result.front() == '\n') result.erase(result.begin());
    return result;
}

// A log line holds one line.
std::string AsLogText(const std::string& text) {
    std::string result = ReplaceAll(ReplaceAll(ReplaceAll(text, "\t", ""), "\r\n", " "), "\n", " ");
    std::string squeezed;
    for (const char c : result) {
        if (c == ' ' && !squeezed.empty() && squeezed.back() == ' ') continue;
        squeezed += c;
    }
    return TrimBlanks(squeezed);
}

bool IsRequest(unsigned message) {
    return message == WM_HEADLESS_EXIT || message == WM_HEADLESS_END_SESSION || message == WM_NEWVERSIONFOUND;
}

bool HasNoSplashSwitch(const std::vector<std::string>& arguments) {
    return std::any_of(arguments.begin(), arguments.end(),
                       [](const std::string& argument) { return LowerCaseAscii(TrimBlanks(argument)) == "/nosplash"; });
}

}  // namespace

THeadlessFrontEnd::THeadlessFrontEnd(std::vector<std::string> arguments, std::ostream& out, std::ostream& err)
    : _slArguments(std::move(arguments)),
      _oOut(out),
      _oErr(err),
      _lNoSplash(HasNoSplashSwitch(_slArguments)),
      _oSignals([this](platform::TTerminationRequest request) {
          _oPoster.Post(request == platform::TTerminationRequest::Exit ? WM_HEADLESS_EXIT : WM_HEADLESS_END_SESSION, 0,
                        0);
      }) {}

// Declared here, where the main window's role is a complete type.
THeadlessFrontEnd::~THeadlessFrontEnd() = default;

void THeadlessFrontEnd::CreateWindows(TController& controller) {
    _oController = &controller;
    _ocMainWindow = std::make_unique<TMainWindowRole>(controller, &_oPoster, _slArguments);
    _ocMainWindow->Create();
}

int THeadlessFrontEnd::RunMessageLoop() {
    _ocMainWindow->Activate();
    if (ConfigurationWindowNeeded()) return EndForMissingConfiguration();
    if (!_ocMainWindow->AutomaticStartRequested()) {
        _oErr << kProductName << ": not watching: give \"start_watch\" or switch on the start in watch mode "
              << "to start watching" << std::endl;
    }
    ReportFailedStart();
    auto nextStartAttempt = std::chrono::steady_clock::now() + kAutomaticStartRetry;
    for (;;) {
        THeadlessMessage message;
        if (_oPoster.WaitForMessage(message, std::chrono::seconds(1))) {
            if (Dispatch(message)) break;
        }
        // No Start button here: a start that failed (server down, say) is tried again.
        if (std::chrono::steady_clock::now() >= nextStartAttempt) {
            nextStartAttempt = std::chrono::steady_clock::now() + kAutomaticStartRetry;
            if (StartPending()) {
                _ocMainWindow->StartAutomatically();
                ReportFailedStart();
            }
        }
    }
    PrintNewLogLines();
    // The status bar's counters, once.
    const TMainWindowCounters& counters = _ocMainWindow->Counters();
    _oErr << kProductName << ": queued " << counters.iFilesQueue << ", processed " << counters.iFilesProcessed
          << ", errors " << counters.iFilesErrors << std::endl;
    return kExitNormal;
}

bool THeadlessFrontEnd::StartPending() const {
    return _oController->CurrentState() == stIdle && _ocMainWindow->AutomaticStartRequested();
}

void THeadlessFrontEnd::ReportFailedStart() {
    if (!StartPending()) return;
    _oErr << kProductName << ": watching did not start (the log tells why); next attempt in "
          << std::chrono::duration_cast<std::chrono::seconds>(kAutomaticStartRetry).count() << " seconds" << std::endl;
}

bool THeadlessFrontEnd::ConfigurationWindowNeeded() const {
    const std::int32_t state = _oController->CurrentState();
    return state == stStart || state == stNotConfigured || state == stConfiguration;
}

int THeadlessFrontEnd::EndForMissingConfiguration() {
    _oErr << kProductName << ": no usable configuration, and the configuration window cannot be shown here; "
          << "import one with /importconfig=FILE" << std::endl;
    _ocMainWindow->RequestClose();
    PrintNewLogLines();
    return kExitNeedsConfigurationWindow;
}

bool THeadlessFrontEnd::Dispatch(const THeadlessMessage& message) {
    switch (message.message) {
        case WM_NEWLOGLINES: PrintNewLogLines(); return false;
        case WM_HEADLESS_EXIT: return _ocMainWindow->RequestClose();
        case WM_HEADLESS_END_SESSION: return _ocMainWindow->EndSession();
        default: return _ocMainWindow->HandleMessage(message.message, message.wParam, message.lParam);
    }
}

void THeadlessFrontEnd::PrintNewLogLines() {
    if (!_ocMainWindow) return;
    std::vector<std::string> lines;
    _ocMainWindow->FetchLogLines(TMainWindowRole::kLogListLines, lines);
    for (const std::string& line : lines) _oOut << line << '\n';
    _oOut.flush();
}

TMessageButton THeadlessFrontEnd::MessageBox(const TMessageBoxRequest& request) {
    // Nobody can answer: a question is answered Yes, anything else takes its default.
    const TMessageButton answer = (request.buttons & mbYes) != 0 ? mbYes : request.defaultButton;
    _oErr << kProductName << " " << KindText(request.kind) << ":\n"
          << AsTerminalText(request.sText) << "\n(answered: " << ButtonText(answer) << ")" << std::endl;
    if (_fWriteLogLine) {
        _fWriteLogLine(std::string("headless message box ( ") + KindText(request.kind) +
                       " ): " + AsLogText(request.sText) + " ( answered: " + ButtonText(answer) + " )");
    }
    return answer;
}

void THeadlessFrontEnd::RunOneLineTask(const std::string& info, const TObjectProc& task) {
    _oErr << kProductName << ": " << info << std::endl;
    ProcessMessages();
    if (task) task();
    ProcessMessages();
}

bool THeadlessFrontEnd::RunOneLineFuncTask(const std::string& info, const TObjectBooleanFunc& task) {
    _oErr << kProductName << ": " << info << std::endl;
    ProcessMessages();
    const bool result = task ? task() : false;
    ProcessMessages();
    return result;
}

void THeadlessFrontEnd::ProcessMessages() {
    // Requests to leave wait for the main loop: they must not cut into a transition.
    THeadlessMessage message;
    while (_oPoster.TakeMessage(message, [](unsigned number) { return !IsRequest(number); })) Dispatch(message);
}

void THeadlessFrontEnd::ShowInfo(const std::string& info) {
    if (_lNoSplash || info == _sLastInfo) return;
    _sLastInfo = info;
    _oErr << kProductName << ": " << info << std::endl;
}

void THeadlessFrontEnd::AnnounceProgramState(std::int32_t state) {
    if (state == _iAnnouncedState) return;
    _iAnnouncedState = state;
    _oErr << kProductName << " - " << StateCaption(state) << std::endl;
}

bool THeadlessFrontEnd::ConfirmCertificate(const TCertificateConfirmation& certificate) {
    // Trust on first use needs a person who looks at the certificate; unseen, it is refused.
    _oErr << kProductName << ": certificate of " << certificate.sHost << " not accepted: "
          << "it can only be accepted in the configuration window" << std::endl;
    return false;
}
