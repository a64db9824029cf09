#pragma once
// Everything the program body, the controller and the configurator ask of a person,
// behind one port: the Qt front end shows windows, the headless one answers by its rules,
// tests script it. Every call is synchronous and made on the user-interface thread; a
// call returns the person's answer.
#include <cstdint>
#include <string>

#include "foundation/VeltCallbacks.h"

class TConfigurationScreenPort;
class TLogData;

enum class TMessageKind { Information, Warning, Error, Confirmation };

// Buttons of a message box; a box offers a set of them and answers with one.
enum TMessageButton : unsigned {
    mbNone = 0,
    mbOK = 1u << 0,
    mbCancel = 1u << 1,
    mbYes = 1u << 2,
    mbNo = 1u << 3,
    mbHelp = 1u << 4,
};
using TMessageButtons = unsigned;

struct TMessageBoxRequest {
    TMessageKind kind = TMessageKind::Information;
    std::string sText;  // shown as it is, tabs and CR LF included
    TMessageButtons buttons = mbOK;
    TMessageButton defaultButton = mbOK;
    std::int32_t iHelpContext = 0;  // 0: no help topic
};

// What the certificate confirmation shows; see the certificate dialog.
struct TCertificateConfirmation {
    std::string sTitle;
    std::int32_t iCertStatus = 0;
    bool lNewHost = true;
    std::string sIssuer;
    std::string sSubject;
    std::string sFingerSha1;
    std::string sFinger;
    std::string sCert;
    std::string sPort;
    std::string sHost;
};

class TUserInterface {
public:
    virtual ~TUserInterface() = default;

    // A modal message box; the button pressed.
    virtual TMessageButton MessageBox(const TMessageBoxRequest& request) = 0;

    // The one-line "please wait" window: shows the text, handles pending events, runs the
    // task on this thread, handles pending events again and closes.
    virtual void RunOneLineTask(const std::string& info, const TObjectProc& task) = 0;
    virtual bool RunOneLineFuncTask(const std::string& info, const TObjectBooleanFunc& task) = 0;
    // Handles the events waiting for the user-interface thread, then returns.
    virtual void ProcessMessages() = 0;

    // The splash window and its progress line.
    virtual void ShowIntro() = 0;
    virtual void HideIntro() = 0;
    virtual void ShowInfo(const std::string& info) = 0;

    // The main window: bring caption, tray and buttons in line with the state.
    virtual void AnnounceProgramState(std::int32_t state) = 0;
    // The login shown in the status bar; never called with an empty one.
    virtual void ShowLogin(const std::string& login) = 0;
    // The application's help file; empty means none.
    virtual void SetHelpFile(const std::string& fileName) = 0;
    virtual std::string HelpFile() const = 0;

    // The configuration screen, made around the program's log data (its server checks
    // write there). Asked for once, when the controller creates the configurator; the
    // front end keeps ownership. Null: no screen, every showing counts as cancelled.
    virtual TConfigurationScreenPort* ConfigurationScreen(TLogData& logData) = 0;
    // Writes a stamped line into the program's log, for a front end that logs what it
    // shows. Given once the log exists and taken back (unassigned) before it goes.
    virtual void AttachLog(TObjectProcStr1 writeLogLine) = 0;
    // Trust on first use: True when the person accepts the presented certificate.
    virtual bool ConfirmCertificate(const TCertificateConfirmation& certificate) = 0;
};
