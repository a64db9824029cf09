#pragma once
// A fixed sequence of named steps, each an action with an optional rollback or a
// nested transaction. A failing step undoes the completed ones in reverse order, so a
// failure deep in a job unwinds exactly what had been done. What happened goes to the
// reporter as debug lines marked "TRANSACTIONSIMPLE".
#include <cstdint>
#include <string>
#include <vector>

#include "foundation/VeltCallbacks.h"
#include "foundation/VeltExceptions.h"

VELT_DECLARE_EXCEPTION(ETransactionSimple);

class TTransactionSimple {
public:
    static constexpr std::int32_t kMaxSteps = 32;

    // Raises ETransactionSimple unless 1 <= steps <= 32.
    TTransactionSimple(const std::string& name, std::int32_t steps);
    TTransactionSimple(const TTransactionSimple&) = delete;
    TTransactionSimple& operator=(const TTransactionSimple&) = delete;

    // Each step (1-based) is defined exactly once; a definition error raises and
    // stores nothing. The rollback may be empty. A nested transaction is not owned.
    void DefineProcedure(const std::string& name, std::int32_t step, TObjectBooleanFunc action,
                         TObjectBooleanFunc rollback);
    void DefineTransaction(const std::string& name, std::int32_t step, TTransactionSimple* transaction);

    // True when every step succeeded; otherwise the completed steps are rolled back.
    // Raises ETransactionSimple, before any step has run, when a step here or in a
    // nested transaction is not defined.
    bool Run();
    // Rolls back every step, last to first; True when every rollback succeeded.
    bool FullRollback();

    const std::string& Name() const { return _sName; }

private:
    void CheckDefinitionRange(std::int32_t step) const;
    void CheckStepFree(std::int32_t step) const;
    void CheckAllStepsDefined() const;
    bool IsTransactionStep(std::int32_t index) const { return _aActionTransactions[index] != nullptr; }
    // Calls an action or rollback; an exception is logged with `what` and counts as failure.
    bool CallGuarded(const TObjectBooleanFunc& callback, const std::string& whileText) const;
    // Rolls back steps done..1 after a failure; returns how many rollbacks succeeded.
    std::int32_t RollbackCompleted(std::int32_t done) const;
    // phase names the pass in log lines ("run/rollback"), exceptionPhase the same in
    // exception lines ("running/rollback"); of is the step count shown after the slash.
    bool RollbackStep(std::int32_t index, std::int32_t of, const std::string& phase,
                      const std::string& exceptionPhase) const;
    std::string StepText(std::int32_t index, std::int32_t of) const;
    void Log(const std::string& msg) const;
    [[noreturn]] static void Raise(const std::string& text);

    std::string _sName;
    std::int32_t _iSteps = 0;
    std::vector<TObjectBooleanFunc> _aActionProcedures;
    std::vector<TObjectBooleanFunc> _aActionRollbacks;
    std::vector<TTransactionSimple*> _aActionTransactions;
    std::vector<std::string> _aActionNames;
};
