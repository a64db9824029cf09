#include <gtest/gtest.h>

#include <regex>

#include "foundation/VeltEnvironment.h"
#include "log/VeltStraightLogData.h"
#include "shell/VeltStateManagerForProgram.h"
#include "tests/support/FakePlatform.h"
#include "tests/support/LogLines.h"

namespace {

class StateManager : public ::testing::Test {
protected:
    TFakePlatform platform;
    TEnvironment environment{{}, platform};
    TLogData logData{64, 1024, 16, false};

    std::string ExpectRaised(const std::function<void()>& call) {
        try {
            call();
        } catch (const EProgramStateManager& e) {
            return e.what();
        }
        ADD_FAILURE() << "no EProgramStateManager raised";
        return {};
    }
    std::vector<std::string> LoggedLines() { return TakeLogLines(logData); }
};

}  // namespace

TEST_F(StateManager, CreationAndDefinitionErrors) {
    const std::string prefix = "TProgramStateManager error: ";
    EXPECT_EQ(ExpectRaised([&] { TProgramStateManager(1, 1, environment); }),
              prefix + "cannot create-at least two states must be defined");
    EXPECT_EQ(ExpectRaised([&] { TProgramStateManager(10, 0, environment); }),
              prefix + "cannot create-initial state does not exist");
    EXPECT_EQ(ExpectRaised([&] { TProgramStateManager(10, 11, environment); }),
              prefix + "cannot create-initial state does not exist");

    TProgramStateManager manager(10, 1, environment);
    EXPECT_EQ(manager.CurrentState(), 1);
    const auto action = [] { return true; };
    struct Case { int from, to; std::string message; };
    const Case cases[] = {
        {0, 3, "cannot define action-state <from> does not exist"},
        {0, 11, "cannot define action-state <from> does not exist"},
        {3, 11, "cannot define action-state <to> does not exist"},
        {3, 3, "cannot define action-same <from> and <to> states"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ExpectRaised([&] { manager.DefineChangeStateAction(c.from, c.to, action); }), prefix + c.message);
    }
}

TEST_F(StateManager, RefusedRequestsAreLoggedThenRaisedAndKeepTheState) {
    TProgramStateManager manager(10, 3, environment);
    manager.DefineChangeStateAction(3, 4, [] { return true; });
    struct Case { std::string marker; int from, to; std::string message; };
    const Case cases[] = {
        {"002-001", 3, 10, "[002-001] cannot run action-not defined ( 3,10 )"},
        {"001-002", 7, 7, "[001-002] cannot run action-same states ( 7 )"},
        {"", 0, 4, "cannot run action-starting state ( 0 ) does not exist"},
        {"", 3, 11, "cannot run action-ending state ( 11 ) does not exist"},
        {"x", -5, 99, "[x] cannot run action-starting state ( -5 ) does not exist"},
    };
    const std::regex stamp(R"(\[ \d{4}\.\d{2}\.\d{2} \d{2}:\d{2}:\d{2} \] lib\.programstatemanager error-(.*))");
    for (const auto& c : cases) {
        bool shown = false;
        EXPECT_EQ(ExpectRaised([&] {
                      manager.RunChangeStateAction(c.marker, c.from, c.to, [&] { shown = true; }, {}, &logData, false);
                  }),
                  "TProgramStateManager error: " + c.message);
        EXPECT_FALSE(shown);
        EXPECT_EQ(manager.CurrentState(), 3);
        const auto lines = LoggedLines();
        ASSERT_EQ(lines.size(), 1u);
        std::smatch match;
        ASSERT_TRUE(std::regex_match(lines[0], match, stamp)) << lines[0];
        EXPECT_EQ(match[1], c.message);
    }
    // Without log data the request is still raised.
    EXPECT_THROW(manager.RunChangeStateAction("", 3, 10, {}, {}, nullptr, false), EProgramStateManager);
}

TEST_F(StateManager, DebugModeSelectsThePreciseStamp) {
    TProgramStateManager manager(2, 1, environment);
    EXPECT_THROW(manager.RunChangeStateAction("m", 1, 2, {}, {}, &logData, true), EProgramStateManager);
    const auto lines = LoggedLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(\[ \S+ \S+ - 0000 0000 0000 0000 \] lib\.programstatemanager error-\[m\] cannot run action-not defined \( 1,2 \))")))
        << lines[0];
}

TEST_F(StateManager, ActionOutcomeDecidesTheState) {
    TProgramStateManager manager(10, 4, environment);
    std::vector<std::string> calls;
    int stateSeenByAction = 0;
    bool result = false;
    manager.DefineChangeStateAction(4, 7, [&] {
        stateSeenByAction = manager.CurrentState();
        calls.push_back("action");
        return result;
    });
    const TObjectProc show = [&] { calls.push_back("show@" + std::to_string(manager.CurrentState())); };
    const TObjectProc announce = [&] { calls.push_back("announce"); };

    manager.RunChangeStateAction("", 4, 7, show, announce, &logData, false);
    EXPECT_EQ(manager.CurrentState(), 4);
    EXPECT_EQ(stateSeenByAction, 7);
    EXPECT_EQ(calls, (std::vector<std::string>{"show@4", "action"}));

    calls.clear();
    result = true;
    manager.RunChangeStateAction("", 4, 7, show, announce, &logData, false);
    EXPECT_EQ(manager.CurrentState(), 7);
    EXPECT_EQ(calls, (std::vector<std::string>{"show@4", "action", "announce"}));
    EXPECT_TRUE(LoggedLines().empty());

    // Unassigned callbacks: only the action runs. A later definition replaces the earlier.
    manager.DefineChangeStateAction(7, 4, [] { return false; });
    manager.DefineChangeStateAction(7, 4, [] { return true; });
    manager.RunChangeStateAction("", 7, 4, {}, {}, nullptr, false);
    EXPECT_EQ(manager.CurrentState(), 4);
}

TEST_F(StateManager, NestedTransitionsAndExceptions) {
    TProgramStateManager manager(10, 1, environment);
    bool outerResult = true;
    manager.DefineChangeStateAction(3, 4, [] { return true; });
    manager.DefineChangeStateAction(1, 3, [&] {
        manager.RunChangeStateAction("", 3, 4, {}, {}, nullptr, false);  // from the outer ending state
        return outerResult;
    });
    manager.RunChangeStateAction("", 1, 3, {}, {}, nullptr, false);
    EXPECT_EQ(manager.CurrentState(), 4);  // whatever the nested transition left

    TProgramStateManager second(10, 1, environment);
    second.DefineChangeStateAction(3, 4, [] { return true; });
    second.DefineChangeStateAction(1, 3, [&] {
        second.RunChangeStateAction("", 3, 4, {}, {}, nullptr, false);
        return false;
    });
    second.RunChangeStateAction("", 1, 3, {}, {}, nullptr, false);
    EXPECT_EQ(second.CurrentState(), 1);  // back to the state before the outer request

    second.DefineChangeStateAction(1, 2, []() -> bool { throw std::runtime_error("boom"); });
    EXPECT_THROW(second.RunChangeStateAction("", 1, 2, {}, {}, nullptr, false), std::runtime_error);
    EXPECT_EQ(second.CurrentState(), 2);  // the action's exception leaves the ending state
}
