// The reporter: lines dropped while unlinked, the debug flag, link replacement, the
// memory channel, and linking and unlinking while other threads report.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/VeltEnvironment.h"
#include "log/VeltMemoryStorageSeqLines.h"
#include "log/VeltStraightLogData.h"
#include "log/VeltStraightLogReporter.h"
#include "tests/support/LogLines.h"
#include "tests/support/Sandbox.h"
#include "tests/support/WaitFor.h"

namespace {

// T is the wall clock, so only its shape is checked; P is exact (the fake counter).
const std::string kT = R"(\d{4}\.\d{2}\.\d{2} \d{2}.\d{2}.\d{2})";
const std::string kP = "0000 0000 0012 3456";

class ReporterTest : public ::testing::Test {
protected:
    ReporterTest() { sandbox.platform.iPerformanceCounter = 123456; }

    TSandbox sandbox;
    TEnvironment env{{}, sandbox.platform};
    TLogData log{64, 1024, 16, false};
    TReporter reporter;
};

TEST_F(ReporterTest, DropsEverythingWhileUnlinked) {
    reporter.RegisterLog("MARK", "never linked");
    reporter.RegisterDebugLog("MARK", "never linked");
    reporter.LinkLogData(&log, &env, true);
    reporter.UnlinkLogData();
    reporter.RegisterLog("MARK", "after unlink");
    reporter.RegisterDebugLog("MARK", "after unlink");
    reporter.LinkLogData(&log, nullptr, true);  // no environment to stamp with: unlinked
    reporter.RegisterLog("MARK", "without environment");
    EXPECT_TRUE(TakeLogLines(log).empty());

    TMemoryStorageSeqLines storage("mem", 0, 0);
    reporter.RegisterMem(1, "no storage linked");
    reporter.LinkMemStorage(&storage);
    reporter.UnlinkMemStorage();
    reporter.RegisterMem(1, "after unlink");
    EXPECT_EQ(storage.LinesTotal(), 0);
}

TEST_F(ReporterTest, DebugFlagDecidesStampAndDebugLines) {
    struct Case {
        bool debug;
        bool debugLine;
        std::string marker;
        std::string pattern;  // empty: nothing written
    };
    const std::vector<Case> cases = {
        {false, false, "MARK", R"(\[ )" + kT + R"( \] MARK msg)"},
        {false, false, "  ", R"(\[ )" + kT + R"( \] msg)"},
        {false, true, "MARK", ""},
        {true, false, "MARK", R"(\[ )" + kT + " - " + kP + R"( \] MARK msg)"},
        {true, true, "MARK", R"(\[ )" + kT + " - " + kP + R"( \] MARK \[debug\] msg)"},
        {true, true, "", R"(\[ )" + kT + " - " + kP + R"( \] \[debug\] msg)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("debug " + std::to_string(c.debug) + ", debug line " + std::to_string(c.debugLine) + ", marker '" +
                     c.marker + "'");
        reporter.LinkLogData(&log, &env, c.debug);
        if (c.debugLine) {
            reporter.RegisterDebugLog(c.marker, "msg");
        } else {
            reporter.RegisterLog(c.marker, "msg");
        }
        const std::vector<std::string> lines = TakeLogLines(log);
        if (c.pattern.empty()) {
            EXPECT_TRUE(lines.empty());
        } else {
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_TRUE(std::regex_match(lines[0], std::regex(c.pattern))) << lines[0];
        }
    }
}

TEST_F(ReporterTest, LinkReplacesThePreviousOne) {
    TLogData other(64, 1024, 16, false);
    reporter.LinkLogData(&log, &env, true);
    reporter.LinkLogData(&other, &env, false);
    reporter.RegisterLog("MARK", "to other");
    reporter.RegisterDebugLog("MARK", "debug is off now");
    EXPECT_TRUE(TakeLogLines(log).empty());
    const std::vector<std::string> lines = TakeLogLines(other);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].ends_with("] MARK to other")) << lines[0];
}

TEST_F(ReporterTest, MemoryChannelFeedsTheStorageAndPassesItsErrors) {
    TMemoryStorageSeqLines storage("mem", 0, 0);
    reporter.LinkMemStorage(&storage);
    reporter.RegisterMem(2, "first");
    reporter.RegisterMem(1, "second");
    EXPECT_THROW(reporter.RegisterMem(0, "bad class"), ErrorMemoryStorageSeqLines);
    EXPECT_THROW(reporter.RegisterMem(1, ""), ErrorMemoryStorageSeqLines);
    reporter.RegisterMem(2, "third");  // the reporter still works after an error

    ASSERT_EQ(storage.LinesTotal(), 3);
    storage.GoTopLineForClass(2);
    EXPECT_EQ(storage.GetCurrentLineForClass(), "first");
    EXPECT_EQ(storage.GetCurrentLineForClass(), "third");
    EXPECT_EQ(storage.GetLineNo(2), "second");
    EXPECT_TRUE(TakeLogLines(log).empty());  // the log channel is separate
}

TEST_F(ReporterTest, ProcessWideReporterIsOneObjectThatStartsUnlinked) {
    TReporter& first = oReporter();
    EXPECT_EQ(&first, &oReporter());
    first.RegisterLog("MARK", "unlinked");
    first.LinkLogData(&log, &env, false);
    first.RegisterLog("MARK", "linked");
    first.UnlinkLogData();
    const std::vector<std::string> lines = TakeLogLines(log);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].ends_with("] MARK linked"));
}

// Threads report while the main thread links a fresh log, unlinks it and destroys it
// at once, as a send session ending does; a line must never reach a destroyed log.
TEST(ReporterConcurrencyTest, UnlinkThenDestroyWhileOthersReport) {
    TSandbox sandbox;
    TEnvironment env({}, sandbox.platform);
    TReporter reporter;
    std::atomic<bool> stop{false};
    std::vector<std::thread> writers;
    for (int t = 0; t < 3; ++t) {
        writers.emplace_back([&reporter, &stop, t] {
            while (!stop.load()) {
                reporter.RegisterLog("W" + std::to_string(t), "line");
                reporter.RegisterDebugLog("W" + std::to_string(t), "debug line");
                // Paced so that the ring never fills and writers never wait for room.
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
    }
    for (int round = 0; round < 20; ++round) {
        auto log = std::make_unique<TLogData>(4096, 256, 64, false);
        reporter.LinkLogData(log.get(), &env, true);
        std::string line;
        EXPECT_TRUE(waitFor([&] { return log->LineRead(line); }));
        EXPECT_NE(line.find("] W"), std::string::npos) << line;
        reporter.UnlinkLogData();
        log.reset();
    }
    stop = true;
    for (std::thread& w : writers) w.join();
}

}  // namespace
