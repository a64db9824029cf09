#include "shell/VeltStateManagerForProgram.h"

#include "foundation/VeltEnvironment.h"
#include "log/VeltStraightLogData.h"

namespace {
const std::string kClassName = "TProgramStateManager";
}

TProgramStateManager::TProgramStateManager(std::int32_t statesNumb, std::int32_t initialState,
                                           const TEnvironment& environment)
    : _environment(environment), _iStatesNumb(statesNumb), _iCurrentState(initialState) {
    if (statesNumb < 2) Raise("cannot create-at least two states must be defined");
    if (initialState <= 0 || initialState > statesNumb) Raise("cannot create-initial state does not exist");
    _aWays.assign(static_cast<std::size_t>(statesNumb), std::vector<TObjectBooleanFunc>(statesNumb));
}

bool TProgramStateManager::StateExists(std::int32_t state) const { return state >= 1 && state <= _iStatesNumb; }

void TProgramStateManager::Raise(const std::string& message) const {
    throw EProgramStateManager(kClassName + " error: " + message);
}

void TProgramStateManager::DefineChangeStateAction(std::int32_t stateFrom, std::int32_t stateTo,
                                                   TObjectBooleanFunc action) {
    if (!StateExists(stateFrom)) Raise("cannot define action-state <from> does not exist");
    if (!StateExists(stateTo)) Raise("cannot define action-state <to> does not exist");
    if (stateFrom == stateTo) Raise("cannot define action-same <from> and <to> states");
    _aWays[stateFrom - 1][stateTo - 1] = std::move(action);
}

// The reason a request is refused, or empty when it may run.
std::string TProgramStateManager::CheckRequest(std::int32_t stateFrom, std::int32_t stateTo) const {
    const auto number = [](std::int32_t n) { return std::to_string(n); };
    if (!StateExists(stateFrom)) return "cannot run action-starting state ( " + number(stateFrom) + " ) does not exist";
    if (!StateExists(stateTo)) return "cannot run action-ending state ( " + number(stateTo) + " ) does not exist";
    if (stateFrom == stateTo) return "cannot run action-same states ( " + number(stateFrom) + " )";
    if (!_aWays[stateFrom - 1][stateTo - 1]) {
        return "cannot run action-not defined ( " + number(stateFrom) + "," + number(stateTo) + " )";
    }
    return {};
}

void TProgramStateManager::RunChangeStateAction(const std::string& marker, std::int32_t stateFrom,
                                                std::int32_t stateTo, const TObjectProc& procShowDuringStateChange,
                                                const TObjectProc& procAnnounceStateChanged, TLogData* logData,
                                                bool debugMode) {
    std::string refusal = CheckRequest(stateFrom, stateTo);
    if (!refusal.empty()) {
        if (!marker.empty()) refusal = "[" + marker + "] " + refusal;
        // Logged before raising, so the log keeps the reason even if nobody handles it.
        if (logData != nullptr) {
            logData->LineWrite(_environment.GetLogDataStamp(debugMode, "lib.programstatemanager") + "error-" + refusal);
        }
        Raise(refusal);
    }
    if (procShowDuringStateChange) procShowDuringStateChange();
    const std::int32_t old = _iCurrentState;
    _iCurrentState = stateTo;
    // Copy the action: a nested request may redefine this very pair while it runs.
    const TObjectBooleanFunc action = _aWays[stateFrom - 1][stateTo - 1];
    if (!action()) {
        _iCurrentState = old;
        return;
    }
    if (procAnnounceStateChanged) procAnnounceStateChanged();
}
