#pragma once
// A small state machine for the whole program: states 1..N, one action per permitted
// ordered pair. Not thread-safe: every caller runs on the user-interface thread.
#include <cstdint>
#include <string>
#include <vector>

#include "foundation/VeltCallbacks.h"
#include "foundation/VeltExceptions.h"

class TEnvironment;
class TLogData;

VELT_DECLARE_EXCEPTION(EProgramStateManager);

class TProgramStateManager {
public:
    // The environment stamps the log line written for a refused request.
    TProgramStateManager(std::int32_t statesNumb, std::int32_t initialState, const TEnvironment& environment);

    void DefineChangeStateAction(std::int32_t stateFrom, std::int32_t stateTo, TObjectBooleanFunc action);
    // Checks the request, switches to stateTo, runs the action and goes back when it
    // returns False. A refused request is logged (when logData is given) and raised.
    // An exception from the action propagates and leaves the state at stateTo.
    void RunChangeStateAction(const std::string& marker, std::int32_t stateFrom, std::int32_t stateTo,
                              const TObjectProc& procShowDuringStateChange,
                              const TObjectProc& procAnnounceStateChanged, TLogData* logData, bool debugMode);

    std::int32_t CurrentState() const { return _iCurrentState; }

private:
    bool StateExists(std::int32_t state) const;
    std::string CheckRequest(std::int32_t stateFrom, std::int32_t stateTo) const;
    [[noreturn]] void Raise(const std::string& message) const;

    const TEnvironment& _environment;
    std::int32_t _iStatesNumb;
    std::vector<std::vector<TObjectBooleanFunc>> _aWays;
    std::int32_t _iCurrentState;
};
