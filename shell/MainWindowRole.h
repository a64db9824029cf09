#pragma once
// What the main window does apart from drawing: attach its log list, count the workers'
// messages, and turn buttons, posted messages and the end of the session into state
// transitions. The Qt main window and the headless loop both build on it. Runs on the
// user-interface thread only.
#include <cstdint>
#include <string>
#include <vector>

class TController;
class TMessagePoster;
class TUserInterface;

struct TMainWindowCounters {
    std::int32_t iLastIdInMemo = -1;
    std::int32_t iFilesQueue = 0;
    std::int32_t iFilesProcessed = 0;
    std::int32_t iFilesErrors = 0;
};

class TMainWindowRole {
public:
    static constexpr std::int32_t kLogListLines = 10240;
    static constexpr std::int32_t kMemoLines = 15;
    static constexpr int kSessionEndPauseMilliseconds = 500;

    // arguments: the command-line arguments 1..n as given (for "start_watch").
    TMainWindowRole(TController& controller, TMessagePoster* poster, std::vector<std::string> arguments);

    // The window's creation: machine data (debug mode), the log list with its poster,
    // the paused log writer running again, the start line, login and help file.
    void Create();
    // Each activation: the first-start configuration in state 1, otherwise the automatic
    // start (issued once), then the display follows the state.
    void Activate();

    bool AutomaticStartRequested() const;
    // True when the next activation will start watching: a window that starts in the
    // tray minimises itself before it.
    bool AutomaticStartPending() const;
    // Starts watching as "start_watch" asks; a front end without a Start button repeats it.
    void StartAutomatically();
    // Buttons.
    void Start();
    void Stop();
    void Setup();
    // Asks to close (the exit confirmation lives in the transition); True when the window
    // may close, that is when the program has reached a final state.
    bool RequestClose();
    // A worker's message. True when it closed the window.
    bool HandleMessage(unsigned message, std::intptr_t wParam, std::intptr_t lParam);
    // The session ends: leave the state, pause, close. True when the window closed.
    bool EndSession();

    // Newest lines of the log list since the last fetch, at most maxLines; the whole set
    // kept is in lines (oldest first), which the caller passes back each time.
    void FetchLogLines(std::int32_t maxLines, std::vector<std::string>& lines);

    const TMainWindowCounters& Counters() const { return _rTmpCounters; }
    static bool IsFinalState(std::int32_t state);

private:
    void WriteMachineData();
    // A refused transition is reported and the program goes on.
    void Request(const std::string& marker, std::int32_t stateTo, bool announce);

    TController& _oController;
    TUserInterface& _oUserInterface;
    TMessagePoster* _oPoster;
    std::vector<std::string> _slArguments;
    TMainWindowCounters _rTmpCounters;
    bool _lAutomaticStartIssued = false;
};
