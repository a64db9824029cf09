#pragma once
// The program from start to end: environment, single-instance lock, controller, the
// update check at start with its installation, the front end's message loop, and the end
// sequence with the installer launch or the reason for the stop. Runs on the thread that
// calls it, which is the user-interface thread.
#include "foundation/platform/Platform.h"

class TController;
class TMessagePoster;
class TUserInterface;

// Exit statuses of the process.
inline constexpr int kExitNormal = 0;
inline constexpr int kExitSecondInstance = 1;
inline constexpr int kExitNeedsConfigurationWindow = 2;

// What the body needs of a front end besides its user-interface port.
class TFrontEnd {
public:
    virtual ~TFrontEnd() = default;

    virtual TUserInterface& UserInterface() = 0;
    // Where the workers post their messages; lives as long as the front end.
    virtual TMessagePoster* Poster() = 0;
    // The main window and the other windows come up. The main window attaches its log list
    // and runs the paused log writer again. Called at most once.
    virtual void CreateWindows(TController& controller) = 0;
    // Until the main window has closed. kExitNormal, or kExitNeedsConfigurationWindow when
    // the front end cannot run in the state the program is in.
    virtual int RunMessageLoop() = 0;
};

// The exit status: kExitSecondInstance when another copy runs, kExitNeedsConfigurationWindow
// when there is no usable configuration and none was made, otherwise the loop's.
int RunProgramBody(TFrontEnd& frontEnd, const TPlatform& platform = SystemPlatform());
