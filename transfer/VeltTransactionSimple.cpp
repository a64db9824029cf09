#include "transfer/VeltTransactionSimple.h"

#include <exception>

#include "foundation/VeltUtilsBooleanOperations.h"
#include "log/VeltStraightLogReporter.h"

namespace {
const std::string kClassName = "TTransactionSimple";
const std::string kLogMarker = "TRANSACTIONSIMPLE";
}

TTransactionSimple::TTransactionSimple(const std::string& name, std::int32_t steps) : _sName(name) {
    if (steps <= 0) Raise(" error: cannot create simple transaction, number of steps is 0");
    if (steps > kMaxSteps) {
        Raise(" error: cannot create simple transaction, number of steps is greater than allowed " +
              std::to_string(kMaxSteps));
    }
    _iSteps = steps;
    _aActionProcedures.resize(steps);
    _aActionRollbacks.resize(steps);
    _aActionTransactions.resize(steps, nullptr);
    _aActionNames.resize(steps);
}

void TTransactionSimple::DefineProcedure(const std::string& name, std::int32_t step, TObjectBooleanFunc action,
                                         TObjectBooleanFunc rollback) {
    CheckDefinitionRange(step);
    CheckStepFree(step);
    if (!action) Raise(" error: cannot define transaction step-action procedure is not defined");
    const std::int32_t index = step - 1;
    _aActionProcedures[index] = std::move(action);
    _aActionRollbacks[index] = std::move(rollback);
    _aActionNames[index] = name;
}

void TTransactionSimple::DefineTransaction(const std::string& name, std::int32_t step,
                                           TTransactionSimple* transaction) {
    CheckDefinitionRange(step);
    CheckStepFree(step);
    if (transaction == nullptr) Raise(" error: cannot define transaction step-action transaction is not defined");
    const std::int32_t index = step - 1;
    _aActionTransactions[index] = transaction;
    _aActionNames[index] = name;
}

bool TTransactionSimple::Run() {
    CheckAllStepsDefined();
    std::int32_t done = 0;
    bool result = true;
    for (std::int32_t index = 0; index < _iSteps && result; ++index) {
        const std::string step = StepText(index, _iSteps);
        const std::string& stepName = _aActionNames[index];
        if (IsTransactionStep(index)) {
            Log(" run step " + step + " as transaction ( " + stepName + " )");
            result = _aActionTransactions[index]->Run();
        } else {
            Log(" run step " + step + " as action ( " + stepName + " )");
            result = CallGuarded(_aActionProcedures[index], "running step " + step + " as action ( " + stepName + " )");
        }
        Log(" result run step " + step + " ( " + stepName + " ):" + BooleanToYesNo(result));
        if (result) done = index + 1;
    }
    const std::int32_t rolledBack = (!result && done > 0) ? RollbackCompleted(done) : 0;
    Log(" transaction end, run total/run done/rollback done:" + std::to_string(_iSteps) + "-" + std::to_string(done) +
        "-" + std::to_string(rolledBack));
    return done == _iSteps;
}

bool TTransactionSimple::FullRollback() {
    std::int32_t rolledBack = 0;
    for (std::int32_t index = _iSteps - 1; index >= 0; --index) {
        if (!RollbackStep(index, _iSteps, "fullrollback/rollback", "fullrollback/rollback")) break;
        ++rolledBack;
    }
    Log(" full rolback end, total/done:" + std::to_string(_iSteps) + "/" + std::to_string(rolledBack));
    return rolledBack == _iSteps;
}

std::int32_t TTransactionSimple::RollbackCompleted(std::int32_t done) const {
    // The failed step itself did not complete and is not rolled back; a failing
    // rollback stops the unwinding, leaving the earlier steps as they are.
    std::int32_t rolledBack = 0;
    for (std::int32_t index = done - 1; index >= 0; --index) {
        if (!RollbackStep(index, done, "run/rollback", "running/rollback")) break;
        ++rolledBack;
    }
    return rolledBack;
}

bool TTransactionSimple::RollbackStep(std::int32_t index, std::int32_t of, const std::string& phase,
                                      const std::string& exceptionPhase) const {
    const std::string step = StepText(index, of);
    const std::string& stepName = _aActionNames[index];
    bool result = true;
    if (IsTransactionStep(index)) {
        Log(" " + phase + " step " + step + " as transaction ( " + stepName + " )");
        result = _aActionTransactions[index]->FullRollback();
    } else if (_aActionRollbacks[index]) {
        Log(" " + phase + " step " + step + " as action ( " + stepName + " )");
        result = CallGuarded(_aActionRollbacks[index],
                             exceptionPhase + " step " + step + " as action ( " + stepName + " )");
    } else {
        Log(" " + phase + " step " + step + " empty ( " + stepName + " )");
        return true;
    }
    Log(" result " + phase + " step " + step + " ( " + stepName + " ):" + BooleanToYesNo(result));
    return result;
}

bool TTransactionSimple::CallGuarded(const TObjectBooleanFunc& callback, const std::string& whileText) const {
    // Any exception counts as a failed step: one escaping here would skip the rollback
    // of the steps already done.
    try {
        return callback();
    } catch (const std::exception& e) {
        Log(" exception ( " + std::string(e.what()) + " ) while " + whileText);
    } catch (...) {
        Log(" exception ( unknown exception ) while " + whileText);
    }
    return false;
}

void TTransactionSimple::CheckDefinitionRange(std::int32_t step) const {
    if (step < 1 || step > _iSteps) {
        Raise(" error: cannot define transaction step-step " + std::to_string(step) + " is outside range (1," +
              std::to_string(_iSteps) + ")");
    }
}

void TTransactionSimple::CheckStepFree(std::int32_t step) const {
    const std::int32_t index = step - 1;
    if (_aActionProcedures[index]) {
        Raise(" error: cannot define transaction step-action " + std::to_string(step) + " is already defined as procedure");
    }
    if (_aActionTransactions[index] != nullptr) {
        Raise(" error: cannot define transaction step-action " + std::to_string(step) +
              " is already defined as transaction");
    }
}

void TTransactionSimple::CheckAllStepsDefined() const {
    // Nested transactions are checked too, so that an incomplete definition is found
    // before any step has run rather than after some have done their work.
    for (std::int32_t index = 0; index < _iSteps; ++index) {
        if (IsTransactionStep(index)) {
            _aActionTransactions[index]->CheckAllStepsDefined();
        } else if (!_aActionProcedures[index]) {
            Raise(" error: cannot run transaction-action procedure or transaction in step " + std::to_string(index + 1) +
                  " is not defined");
        }
    }
}

std::string TTransactionSimple::StepText(std::int32_t index, std::int32_t of) const {
    return std::to_string(index + 1) + "/" + std::to_string(of);
}

void TTransactionSimple::Log(const std::string& msg) const { oReporter().RegisterDebugLog(kLogMarker, _sName + msg); }

void TTransactionSimple::Raise(const std::string& text) { throw ETransactionSimple(kClassName + text); }
