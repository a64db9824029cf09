// The simple transaction, checked against the debug lines it reports: success, failing
// steps rolled back in reverse order, missing and failing rollbacks, nested
// transactions, actions that throw, and the definition errors.
#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "foundation/VeltEnvironment.h"
#include "log/VeltStraightLogData.h"
#include "log/VeltStraightLogReporter.h"
#include "tests/support/Sandbox.h"
#include "transfer/VeltTransactionSimple.h"

namespace {

using Lines = std::vector<std::string>;

class TransactionSimpleTest : public ::testing::Test {
protected:
    TransactionSimpleTest() {
        sandbox.platform.iPerformanceCounter = 123456;
        oReporter().LinkLogData(&log, &env, true);
    }
    ~TransactionSimpleTest() override { oReporter().UnlinkLogData(); }

    // The messages of the logged lines; every line must carry the transaction's debug stamp.
    Lines Messages() {
        static const std::regex stamped(
            R"(\[ \d{4}\.\d{2}\.\d{2} \d{2}.\d{2}.\d{2} - 0000 0000 0012 3456 \] TRANSACTIONSIMPLE \[debug\] (.*))");
        Lines messages;
        std::string line;
        std::smatch match;
        while (log.LineRead(line)) {
            if (std::regex_match(line, match, stamped)) {
                messages.push_back(match[1]);
            } else {
                ADD_FAILURE() << "unexpected stamp: " << line;
                messages.push_back(line);
            }
        }
        return messages;
    }

    // An action or rollback that notes its call in the journal and answers `result`.
    TObjectBooleanFunc Step(const std::string& name, bool result = true) {
        return [this, name, result] {
            journal.push_back(name);
            return result;
        };
    }
    TObjectBooleanFunc Undo(const std::string& name, bool result = true) { return Step("undo " + name, result); }

    TSandbox sandbox;
    TEnvironment env{{}, sandbox.platform};
    TLogData log{1024, 1024, 64, false};
    Lines journal;
};

TEST_F(TransactionSimpleTest, SuccessRunsEveryStepAndCanRunAgain) {
    TTransactionSimple t("T", 3);
    t.DefineProcedure("a", 1, Step("a"), Undo("a"));
    t.DefineProcedure("c", 3, Step("c"), nullptr);
    t.DefineProcedure("b", 2, Step("b"), Undo("b"));
    const Lines expected = {
        "T run step 1/3 as action ( a )", "T result run step 1/3 ( a ):yes",
        "T run step 2/3 as action ( b )", "T result run step 2/3 ( b ):yes",
        "T run step 3/3 as action ( c )", "T result run step 3/3 ( c ):yes",
        "T transaction end, run total/run done/rollback done:3-3-0",
    };
    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        journal.clear();
        EXPECT_TRUE(t.Run());
        EXPECT_EQ(journal, (Lines{"a", "b", "c"}));
        EXPECT_EQ(Messages(), expected);
    }
}

TEST_F(TransactionSimpleTest, FailingStepRollsBackCompletedStepsInReverse) {
    TTransactionSimple t("T", 3);
    t.DefineProcedure("a", 1, Step("a"), Undo("a"));
    t.DefineProcedure("b", 2, Step("b"), nullptr);
    t.DefineProcedure("c", 3, Step("c", false), Undo("c"));
    EXPECT_FALSE(t.Run());
    EXPECT_EQ(journal, (Lines{"a", "b", "c", "undo a"}));  // the failed step is not undone
    EXPECT_EQ(Messages(), (Lines{
                              "T run step 1/3 as action ( a )",
                              "T result run step 1/3 ( a ):yes",
                              "T run step 2/3 as action ( b )",
                              "T result run step 2/3 ( b ):yes",
                              "T run step 3/3 as action ( c )",
                              "T result run step 3/3 ( c ):no",
                              "T run/rollback step 2/2 empty ( b )",
                              "T run/rollback step 1/2 as action ( a )",
                              "T result run/rollback step 1/2 ( a ):yes",
                              "T transaction end, run total/run done/rollback done:3-2-2",
                          }));
}

TEST_F(TransactionSimpleTest, FailingFirstStepRollsBackNothing) {
    TTransactionSimple t("T", 3);
    t.DefineProcedure("a", 1, Step("a", false), Undo("a"));
    t.DefineProcedure("b", 2, Step("b"), Undo("b"));
    t.DefineProcedure("c", 3, Step("c"), Undo("c"));
    EXPECT_FALSE(t.Run());
    EXPECT_EQ(journal, (Lines{"a"}));
    EXPECT_EQ(Messages(), (Lines{
                              "T run step 1/3 as action ( a )",
                              "T result run step 1/3 ( a ):no",
                              "T transaction end, run total/run done/rollback done:3-0-0",
                          }));
}

TEST_F(TransactionSimpleTest, ThrowingActionCountsAsFailureAndIsRolledBack) {
    struct Case {
        std::function<bool()> thrower;
        std::string shown;
    };
    const std::vector<Case> cases = {
        {[]() -> bool { throw EVeltError("disk gone"); }, "disk gone"},
        {[]() -> bool { throw std::runtime_error("library failure"); }, "library failure"},
        {[]() -> bool { throw 7; }, "unknown exception"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.shown);
        journal.clear();
        TTransactionSimple t("T", 2);
        t.DefineProcedure("a", 1, Step("a"), Undo("a"));
        t.DefineProcedure("b", 2, c.thrower, Undo("b"));
        EXPECT_FALSE(t.Run());
        EXPECT_EQ(journal, (Lines{"a", "undo a"}));
        EXPECT_EQ(Messages(), (Lines{
                                  "T run step 1/2 as action ( a )",
                                  "T result run step 1/2 ( a ):yes",
                                  "T run step 2/2 as action ( b )",
                                  "T exception ( " + c.shown + " ) while running step 2/2 as action ( b )",
                                  "T result run step 2/2 ( b ):no",
                                  "T run/rollback step 1/1 as action ( a )",
                                  "T result run/rollback step 1/1 ( a ):yes",
                                  "T transaction end, run total/run done/rollback done:2-1-1",
                              }));
    }
}

TEST_F(TransactionSimpleTest, FailingRollbackStopsTheUnwinding) {
    TTransactionSimple t("T", 3);
    t.DefineProcedure("a", 1, Step("a"), Undo("a"));
    t.DefineProcedure("b", 2, Step("b"), [this]() -> bool {
        journal.push_back("undo b");
        throw EVeltError("stuck");
    });
    t.DefineProcedure("c", 3, Step("c", false), Undo("c"));
    EXPECT_FALSE(t.Run());
    EXPECT_EQ(journal, (Lines{"a", "b", "c", "undo b"}));
    EXPECT_EQ(Messages(), (Lines{
                              "T run step 1/3 as action ( a )",
                              "T result run step 1/3 ( a ):yes",
                              "T run step 2/3 as action ( b )",
                              "T result run step 2/3 ( b ):yes",
                              "T run step 3/3 as action ( c )",
                              "T result run step 3/3 ( c ):no",
                              "T run/rollback step 2/2 as action ( b )",
                              "T exception ( stuck ) while running/rollback step 2/2 as action ( b )",
                              "T result run/rollback step 2/2 ( b ):no",
                              "T transaction end, run total/run done/rollback done:3-2-0",
                          }));
}

TEST_F(TransactionSimpleTest, FailingNestedTransactionUndoesItselfOnlyOnce) {
    TTransactionSimple inner("I", 2);
    inner.DefineProcedure("p", 1, Step("p"), Undo("p"));
    inner.DefineProcedure("q", 2, Step("q", false), Undo("q"));
    TTransactionSimple outer("O", 3);
    outer.DefineProcedure("x", 1, Step("x"), Undo("x"));
    outer.DefineTransaction("inner", 2, &inner);
    outer.DefineProcedure("z", 3, Step("z"), Undo("z"));
    EXPECT_FALSE(outer.Run());
    EXPECT_EQ(journal, (Lines{"x", "p", "q", "undo p", "undo x"}));
    EXPECT_EQ(Messages(), (Lines{
                              "O run step 1/3 as action ( x )",
                              "O result run step 1/3 ( x ):yes",
                              "O run step 2/3 as transaction ( inner )",
                              "I run step 1/2 as action ( p )",
                              "I result run step 1/2 ( p ):yes",
                              "I run step 2/2 as action ( q )",
                              "I result run step 2/2 ( q ):no",
                              "I run/rollback step 1/1 as action ( p )",
                              "I result run/rollback step 1/1 ( p ):yes",
                              "I transaction end, run total/run done/rollback done:2-1-1",
                              "O result run step 2/3 ( inner ):no",
                              "O run/rollback step 1/1 as action ( x )",
                              "O result run/rollback step 1/1 ( x ):yes",
                              "O transaction end, run total/run done/rollback done:3-1-1",
                          }));
}

TEST_F(TransactionSimpleTest, LaterFailureFullyRollsBackACompletedNestedTransaction) {
    TTransactionSimple inner("I", 2);
    inner.DefineProcedure("p", 1, Step("p"), Undo("p"));
    inner.DefineProcedure("q", 2, Step("q"), Undo("q"));
    TTransactionSimple outer("O", 2);
    outer.DefineTransaction("inner", 1, &inner);
    outer.DefineProcedure("y", 2, Step("y", false), Undo("y"));
    EXPECT_FALSE(outer.Run());
    EXPECT_EQ(journal, (Lines{"p", "q", "y", "undo q", "undo p"}));
    EXPECT_EQ(Messages(), (Lines{
                              "O run step 1/2 as transaction ( inner )",
                              "I run step 1/2 as action ( p )",
                              "I result run step 1/2 ( p ):yes",
                              "I run step 2/2 as action ( q )",
                              "I result run step 2/2 ( q ):yes",
                              "I transaction end, run total/run done/rollback done:2-2-0",
                              "O result run step 1/2 ( inner ):yes",
                              "O run step 2/2 as action ( y )",
                              "O result run step 2/2 ( y ):no",
                              "O run/rollback step 1/1 as transaction ( inner )",
                              "I fullrollback/rollback step 2/2 as action ( q )",
                              "I result fullrollback/rollback step 2/2 ( q ):yes",
                              "I fullrollback/rollback step 1/2 as action ( p )",
                              "I result fullrollback/rollback step 1/2 ( p ):yes",
                              "I full rolback end, total/done:2/2",
                              "O result run/rollback step 1/1 ( inner ):yes",
                              "O transaction end, run total/run done/rollback done:2-1-1",
                          }));
}

TEST_F(TransactionSimpleTest, FullRollbackGoesLastToFirstAndStopsAtAFailure) {
    TTransactionSimple t("T", 4);
    t.DefineProcedure("a", 1, Step("a"), Undo("a"));
    t.DefineProcedure("b", 2, Step("b"), [this]() -> bool {
        journal.push_back("undo b");
        throw std::runtime_error("gone");
    });
    t.DefineProcedure("c", 3, Step("c"), nullptr);
    t.DefineProcedure("d", 4, Step("d"), Undo("d"));
    EXPECT_FALSE(t.FullRollback());
    EXPECT_EQ(journal, (Lines{"undo d", "undo b"}));
    EXPECT_EQ(Messages(), (Lines{
                              "T fullrollback/rollback step 4/4 as action ( d )",
                              "T result fullrollback/rollback step 4/4 ( d ):yes",
                              "T fullrollback/rollback step 3/4 empty ( c )",
                              "T fullrollback/rollback step 2/4 as action ( b )",
                              "T exception ( gone ) while fullrollback/rollback step 2/4 as action ( b )",
                              "T result fullrollback/rollback step 2/4 ( b ):no",
                              "T full rolback end, total/done:4/2",
                          }));
}

TEST_F(TransactionSimpleTest, DefinitionErrorsRaiseAndStoreNothing) {
    TTransactionSimple inner("I", 1);
    inner.DefineProcedure("p", 1, Step("p"), nullptr);
    TTransactionSimple t("T", 3);
    t.DefineProcedure("a", 1, Step("a"), nullptr);
    t.DefineTransaction("inner", 2, &inner);
    const std::string define = "TTransactionSimple error: cannot define transaction step-";
    struct Case {
        std::function<void()> call;
        std::string message;
    };
    const std::vector<Case> cases = {
        {[] { TTransactionSimple("X", 0); }, "TTransactionSimple error: cannot create simple transaction, number of steps is 0"},
        {[] { TTransactionSimple("X", -1); }, "TTransactionSimple error: cannot create simple transaction, number of steps is 0"},
        {[] { TTransactionSimple("X", 33); },
         "TTransactionSimple error: cannot create simple transaction, number of steps is greater than allowed 32"},
        {[&] { t.DefineProcedure("x", 0, Step("x"), nullptr); }, define + "step 0 is outside range (1,3)"},
        {[&] { t.DefineTransaction("x", 4, &inner); }, define + "step 4 is outside range (1,3)"},
        {[&] { t.DefineProcedure("x", 4, nullptr, nullptr); }, define + "step 4 is outside range (1,3)"},
        {[&] { t.DefineProcedure("x", 1, Step("x"), nullptr); }, define + "action 1 is already defined as procedure"},
        {[&] { t.DefineTransaction("x", 1, &inner); }, define + "action 1 is already defined as procedure"},
        {[&] { t.DefineProcedure("x", 1, nullptr, nullptr); }, define + "action 1 is already defined as procedure"},
        {[&] { t.DefineProcedure("x", 2, Step("x"), nullptr); }, define + "action 2 is already defined as transaction"},
        {[&] { t.DefineProcedure("x", 3, nullptr, Undo("x")); }, define + "action procedure is not defined"},
        {[&] { t.DefineTransaction("x", 3, nullptr); }, define + "action transaction is not defined"},
        {[&] { t.Run(); }, "TTransactionSimple error: cannot run transaction-action procedure or transaction in step 3 is not defined"},
    };
    for (const Case& c : cases) {
        try {
            c.call();
            ADD_FAILURE() << "no error for " << c.message;
        } catch (const ETransactionSimple& e) {
            EXPECT_EQ(std::string(e.what()), c.message);
        }
    }
    EXPECT_TRUE(journal.empty());
    EXPECT_TRUE(Messages().empty());

    // None of the rejected definitions took effect.
    t.DefineProcedure("c", 3, Step("c"), nullptr);
    EXPECT_TRUE(t.Run());
    EXPECT_EQ(journal, (Lines{"a", "p", "c"}));

    TTransactionSimple longest("L", 32);
    for (int step = 1; step <= 32; ++step) longest.DefineProcedure("s", step, Step("s"), nullptr);
    EXPECT_TRUE(longest.Run());
    EXPECT_EQ(Messages().back(), "L transaction end, run total/run done/rollback done:32-32-0");
}

// An incomplete nested transaction is found before any step has done its work, so
// nothing is left half done when the error passes to the caller.
TEST_F(TransactionSimpleTest, IncompleteNestedTransactionRaisesBeforeAnyStepRuns) {
    TTransactionSimple inner("I", 2);
    inner.DefineProcedure("p", 1, Step("p"), Undo("p"));
    TTransactionSimple outer("O", 2);
    outer.DefineProcedure("x", 1, Step("x"), Undo("x"));
    outer.DefineTransaction("inner", 2, &inner);
    try {
        outer.Run();
        ADD_FAILURE() << "no error";
    } catch (const ETransactionSimple& e) {
        EXPECT_EQ(std::string(e.what()),
                  "TTransactionSimple error: cannot run transaction-action procedure or transaction in step 2 is not defined");
    }
    EXPECT_TRUE(journal.empty());
    EXPECT_TRUE(Messages().empty());
}

TEST_F(TransactionSimpleTest, WritesNoLinesWithDebugOffOrUnlinked) {
    for (const bool linked : {true, false}) {
        SCOPED_TRACE(linked ? "linked, debug off" : "unlinked");
        if (linked) {
            oReporter().LinkLogData(&log, &env, false);
        } else {
            oReporter().UnlinkLogData();
        }
        journal.clear();
        TTransactionSimple t("T", 2);
        t.DefineProcedure("a", 1, Step("a"), Undo("a"));
        t.DefineProcedure("b", 2, []() -> bool { throw EVeltError("boom"); }, nullptr);
        EXPECT_FALSE(t.Run());
        EXPECT_EQ(journal, (Lines{"a", "undo a"}));
        EXPECT_TRUE(Messages().empty());
    }
}

}  // namespace
