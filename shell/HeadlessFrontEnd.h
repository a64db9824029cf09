#pragma once
// The front end for machines without a display. Message boxes go to standard error and
// the log and take their default answer (a Yes/No question is answered Yes); the log
// lines the main window would show go to standard output. A loop plays the main window:
// it handles the workers' messages, starts watching when asked to (and tries again while
// that fails), and takes SIGTERM and SIGINT as the Exit button, SIGHUP as the end of the
// session. Without a usable configuration it ends, as it cannot show the configuration
// window.
#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "foundation/platform/TerminationSignals.h"
#include "shell/HeadlessMessagePoster.h"
#include "shell/ProgramBody.h"
#include "shell/UserInterface.h"

class TMainWindowRole;

class THeadlessFrontEnd : public TFrontEnd, private TUserInterface {
public:
    static constexpr auto kAutomaticStartRetry = std::chrono::seconds(60);

    // arguments: the command-line arguments 1..n as given. Create it before any other
    // thread exists: it takes the termination signals for itself.
    THeadlessFrontEnd(std::vector<std::string> arguments, std::ostream& out, std::ostream& err);
    ~THeadlessFrontEnd() override;

    TUserInterface& UserInterface() override { return *this; }
    TMessagePoster* Poster() override { return &_oPoster; }
    void CreateWindows(TController& controller) override;
    int RunMessageLoop() override;

private:
    // TUserInterface
    TMessageButton MessageBox(const TMessageBoxRequest& request) override;
    void RunOneLineTask(const std::string& info, const TObjectProc& task) override;
    bool RunOneLineFuncTask(const std::string& info, const TObjectBooleanFunc& task) override;
    void ProcessMessages() override;
    void ShowIntro() override {}
    void HideIntro() override {}
    void ShowInfo(const std::string& info) override;
    void AnnounceProgramState(std::int32_t state) override;
    void ShowLogin(const std::string& login) override { _sLogin = login; }
    void SetHelpFile(const std::string& fileName) override { _sHelpFile = fileName; }
    std::string HelpFile() const override { return _sHelpFile; }
    TConfigurationScreenPort* ConfigurationScreen(TLogData&) override { return nullptr; }
    void AttachLog(TObjectProcStr1 writeLogLine) override { _fWriteLogLine = std::move(writeLogLine); }
    bool ConfirmCertificate(const TCertificateConfirmation& certificate) override;

    // True when the message closed the main window.
    bool Dispatch(const THeadlessMessage& message);
    void PrintNewLogLines();
    bool ConfigurationWindowNeeded() const;
    // Watching was asked for, but the program is idle.
    bool StartPending() const;
    void ReportFailedStart();
    int EndForMissingConfiguration();

    THeadlessMessagePoster _oPoster;
    std::vector<std::string> _slArguments;
    std::ostream& _oOut;
    std::ostream& _oErr;
    bool _lNoSplash = false;
    std::string _sLastInfo;
    std::string _sLogin;
    std::string _sHelpFile;
    std::int32_t _iAnnouncedState = 0;
    TObjectProcStr1 _fWriteLogLine;
    TController* _oController = nullptr;
    std::unique_ptr<TMainWindowRole> _ocMainWindow;
    platform::TTerminationSignalWatcher _oSignals;
};
