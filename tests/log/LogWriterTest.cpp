#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "foundation/VeltEnvironment.h"
#include "log/VeltStraightLogData.h"
#include "log/VeltStraightLogWriter.h"
#include "tests/support/RecordingPoster.h"
#include "tests/support/Sandbox.h"
#include "tests/support/WaitFor.h"

namespace {

std::vector<std::string> SplitCrLf(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
        lines.push_back(text.substr(start, end - start));
    }
    EXPECT_EQ(start, text.size()) << "text after the last line end";
    return lines;
}

std::string Numbered(int number, const std::string& text) {
    std::string prefix = std::to_string(number);
    prefix.resize(13, ' ');
    return prefix + text;
}

// The system's log data, a writer and one enabled disk driver in a sandbox.
struct TWriterFixture {
    TSandbox sandbox;
    TLogData data{10240, 1024, 128, true};
    TLogWriter writer{&data};
    std::string fileName = sandbox.Path("log/zelkotransfer.log");
    std::int32_t diskId = 0;

    TWriterFixture() {
        diskId = writer.AddDriverDiskFile(fileName, -1);
        writer.EnableDriver(diskId);
    }
    std::string File() const { return TSandbox::ReadFile(fileName); }
    bool FileHasLines(std::size_t count) const {
        const std::string text = File();
        std::size_t lines = 0;
        for (std::size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 2)) ++lines;
        return lines >= count;
    }
};

}  // namespace

TEST(LogWriter, NeedsLogData) {
    try {
        TLogWriter writer(nullptr);
        FAIL() << "created without log data";
    } catch (const ELogWriter& e) {
        EXPECT_STREQ(e.what(), "TLogWriter error: cannot create object, log data not defined");
    }
}

// What a person reads in the log file: number field of 12, a blank, the stamp, CR LF.
TEST(LogWriter, FileMatchesTheLineFormatByteForByte) {
    TWriterFixture f;
    f.sandbox.platform.iPerformanceCounter = 1000;
    TEnvironment env({}, f.sandbox.platform);
    f.sandbox.platform.iPerformanceCounter = 1000 + 123456;
    f.writer.Start();

    for (int i = 1; i <= 16; ++i) f.data.LineWrite(env.GetLogDataStamp(false, "") + "filler");
    f.data.LineWrite(env.GetLogDataStamp(false, "") + "upload done");
    f.data.LineWrite(env.GetLogDataStamp(true, "SEND") + "error-while checking remote host certificate-rollback");
    f.data.LineWrite(env.GetLogDataStamp(false, " lib.programstatemanager ") + "state changed");
    f.data.LineWrite(env.GetLogDebugDataStamp(true, "TRANSACTIONSIMPLE") + "step started");
    f.data.LineWrite(env.GetLogDataStamp(true, "   ") + "blank suffix");
    f.writer.Stop();

    const std::string T = R"(\d{4}\.\d{2}\.\d{2} \d{2}:\d{2}:\d{2})";
    const std::string P = "0000 0000 0012 3456";
    std::string expected;
    for (int i = 1; i <= 16; ++i) expected += std::to_string(i) + std::string(i < 10 ? 11 : 10, ' ') + " \\[ " + T + " \\] filler\r\n";
    expected += "17           \\[ " + T + " \\] upload done\r\n";
    expected += "18           \\[ " + T + " - " + P + " \\] SEND error-while checking remote host certificate-rollback\r\n";
    expected += "19           \\[ " + T + " \\] lib\\.programstatemanager state changed\r\n";
    expected += "20           \\[ " + T + " - " + P + " \\] TRANSACTIONSIMPLE \\[debug\\] step started\r\n";
    expected += "21           \\[ " + T + " - " + P + " \\] blank suffix\r\n";
    const std::string file = f.File();
    EXPECT_TRUE(std::regex_match(file, std::regex(expected))) << file;
}

namespace {

// Records, at each post of the string-list driver, what the disk file held at that moment.
class TFileSnapshotPoster : public TMessagePoster {
public:
    explicit TFileSnapshotPoster(std::string fileName) : _fileName(std::move(fileName)) {}
    void Post(unsigned, std::intptr_t, std::intptr_t) override {
        std::lock_guard lock(_mutex);
        _last = TSandbox::ReadFile(_fileName);
    }
    std::string Last() {
        std::lock_guard lock(_mutex);
        return _last;
    }

private:
    std::string _fileName;
    std::mutex _mutex;
    std::string _last;
};

}  // namespace

TEST(LogWriter, EveryBatchReachesActiveDriversInTheOrderAdded) {
    TWriterFixture f;
    TFileSnapshotPoster poster(f.fileName);
    const std::int32_t listId = f.writer.AddDriverStringList(10240, &poster);
    f.writer.Start();

    f.data.LineWrite("before enabling");  // drained while the list is disabled: never shown there
    ASSERT_TRUE(waitFor([&] { return f.FileHasLines(1); }));
    f.writer.EnableDriver(listId);
    for (int i = 0; i < 300; ++i) f.data.LineWrite("line " + std::to_string(i));
    ASSERT_TRUE(waitFor([&] { return f.FileHasLines(301); }));
    f.writer.DisableDriver(listId);
    f.data.LineWrite("after disabling");
    f.writer.Stop();

    const auto fileLines = SplitCrLf(f.File());
    ASSERT_EQ(fileLines.size(), 302u);
    std::vector<std::string> shown;
    std::int32_t id = -1;
    f.writer.ReadLinesFromStringDriver(listId, 1000, shown, id);
    EXPECT_EQ(shown, std::vector<std::string>(fileLines.begin() + 1, fileLines.end() - 1));
    // The disk driver came first, so the file already held the list's last line when it posted.
    EXPECT_EQ(SplitCrLf(poster.Last()).back(), shown.back());
}

TEST(LogWriter, PausedWriterDeliversNothingUntilRun) {
    TWriterFixture f;
    f.writer.Start();
    f.writer.Wait();
    for (int i = 1; i <= 6000; ++i) f.data.LineWrite("line " + std::to_string(i));  // past half: wakes the thread
    EXPECT_FALSE(waitFor([&] { return f.FileHasLines(1); }, std::chrono::milliseconds(600)));

    // A driver change restarts the thread but keeps it paused.
    f.writer.AddDriverStringList(10, nullptr);
    EXPECT_FALSE(waitFor([&] { return f.FileHasLines(1); }, std::chrono::milliseconds(300)));

    f.writer.Run();
    ASSERT_TRUE(waitFor([&] { return f.FileHasLines(6000); }));
    f.writer.Stop();
    const auto lines = SplitCrLf(f.File());
    ASSERT_EQ(lines.size(), 6000u);
    for (int i = 1; i <= 6000; ++i) ASSERT_EQ(lines[i - 1], Numbered(i, "line " + std::to_string(i)));
}

TEST(LogWriter, StopDrainsFinalLinesUnlessPaused) {
    TWriterFixture f;
    f.writer.Start();
    for (int i = 1; i <= 500; ++i) f.data.LineWrite("line " + std::to_string(i));
    f.writer.Stop();
    EXPECT_EQ(SplitCrLf(f.File()).size(), 500u);

    f.writer.Start();
    f.writer.Wait();
    f.data.LineWrite("kept back");
    f.writer.Stop();
    EXPECT_EQ(SplitCrLf(f.File()).size(), 500u);
    std::string line;
    ASSERT_TRUE(f.data.LineRead(line));
    EXPECT_EQ(line, Numbered(501, "kept back"));
}

TEST(LogWriter, ThreadCarriesItsDebuggerName) {
    const auto threadNames = [] {
        std::vector<std::string> names;
        for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
            std::string name = TSandbox::ReadFile((task.path() / "comm").string());
            if (!name.empty() && name.back() == '\n') name.pop_back();
            names.push_back(name);
        }
        return names;
    };
    const auto named = [&] {
        const auto names = threadNames();
        return std::count(names.begin(), names.end(), "THREADLOGWRITER");
    };
    TWriterFixture f;
    EXPECT_EQ(named(), 0);
    f.writer.Start();
    EXPECT_TRUE(waitFor([&] { return named() == 1; }));
    f.writer.Stop();
    EXPECT_EQ(named(), 0);
}

TEST(LogWriter, DriverIdsAndLimits) {
    TWriterFixture f;  // holds driver 1
    f.writer.Start();
    std::vector<std::int32_t> ids;
    for (int i = 0; i < 9; ++i) ids.push_back(f.writer.AddDriverStringList(5, nullptr));
    EXPECT_EQ(ids, (std::vector<std::int32_t>{2, 3, 4, 5, 6, 7, 8, 9, 10}));
    EXPECT_EQ(f.writer.AddDriverStringList(5, nullptr), 0);  // the 11th

    f.writer.RemoveDriver(4);
    f.writer.RemoveDriver(99);  // unknown: nothing removed
    EXPECT_EQ(f.writer.AddDriverStringList(5, nullptr), 11);  // ids are never reused
    EXPECT_EQ(f.writer.AddDriverStringList(5, nullptr), 0);

    std::string line = "unchanged";
    std::int32_t id = 42;
    EXPECT_FALSE(f.writer.ReadLineFromStringDriver(4, line, id));           // removed
    EXPECT_FALSE(f.writer.ReadLineFromStringDriver(f.diskId, line, id));    // not a string list
    EXPECT_EQ(line, "unchanged");
    EXPECT_EQ(id, 42);
    std::vector<std::string> lines = {"kept"};
    f.writer.ReadLinesFromStringDriver(4, 10, lines, id);
    EXPECT_EQ(lines, std::vector<std::string>{"kept"});

    // The thread survived all the restarts.
    f.data.LineWrite("still running");
    EXPECT_TRUE(waitFor([&] { return f.FileHasLines(1); }));
}

TEST(LogWriter, FailedAdditionKeepsTheOtherDriversRunning) {
    TWriterFixture f;
    f.writer.Start();
    const std::string bad = f.sandbox.WriteFile("plain-file", "x") + "/agent.log";
    try {
        f.writer.AddDriverDiskFile(bad, -1);
        FAIL() << "added a driver below a plain file";
    } catch (const ELogWriter& e) {
        EXPECT_EQ(std::string(e.what()), "TLogWriter error: cannot add driver of type disk file ( " + bad + " )");
    }
    EXPECT_THROW(f.writer.AddDriverStringList(0, nullptr), ELogWriter);
    EXPECT_EQ(f.writer.AddDriverStringList(5, nullptr), 4);  // the failed attempts used up ids 2 and 3

    f.data.LineWrite("after the failure");
    EXPECT_TRUE(waitFor([&] { return f.FileHasLines(1); }));
}

TEST(LogWriter, FailingDriverIsReportedAndOthersKeepReceiving) {
    TSandbox sandbox;
    TLogData data(10240, 1024, 128, true);
    TLogWriter writer(&data);
    const std::int32_t failing = writer.AddDriverDiskFile("/dev/full", 0);  // writes fail: no space
    const std::string fileName = sandbox.Path("agent.log");
    const std::int32_t good = writer.AddDriverDiskFile(fileName, -1);
    writer.EnableDriver(failing);
    writer.EnableDriver(good);

    testing::internal::CaptureStderr();
    writer.Start();
    data.LineWrite("first");
    ASSERT_TRUE(waitFor([&] { return TSandbox::ReadFile(fileName).size() > 0; }));
    data.LineWrite("second");
    writer.Stop();
    const std::string errors = testing::internal::GetCapturedStderr();

    EXPECT_EQ(TSandbox::ReadFile(fileName), Numbered(1, "first") + "\r\n" + Numbered(2, "second") + "\r\n");
    const std::string report = "TLogWriter error: driver 1 failed while writing ( TLogWriteDriverDiskFile error: "
                               "cannot write disk file ( /dev/full ) )\n";
    EXPECT_EQ(errors, report + report);  // one line per failed batch
}

// Writers on several threads, the writer thread draining into file and list, and the main
// thread fetching the list, pausing and toggling the list driver all the while. Afterwards
// every line reported stored is in the file exactly once, in per-thread order, with
// consecutive numbers.
TEST(LogConcurrency, WritersDrainAndWindowFetchTogether) {
    constexpr int kThreads = 4;
    constexpr int kLinesPerThread = 5000;
    TSandbox sandbox;
    TLogData data(512, 1024, 128, true);  // small ring: writers have to wait for the drain
    TLogWriter writer(&data);
    TRecordingPoster poster;
    const std::string fileName = sandbox.Path("agent.log");
    writer.EnableDriver(writer.AddDriverDiskFile(fileName, -1));
    const std::int32_t listId = writer.AddDriverStringList(10240, &poster);
    writer.EnableDriver(listId);
    writer.Start();

    std::vector<std::vector<char>> stored(kThreads, std::vector<char>(kLinesPerThread, 0));
    std::atomic<int> writersDone{0};
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < kLinesPerThread; ++i) {
                stored[t][i] = data.LineWrite("thread " + std::to_string(t) + " line " + std::to_string(i));
            }
            ++writersDone;
        });
    }

    std::vector<std::string> shown;
    std::int32_t id = -1;
    long lastShownNumber = 0;
    for (int round = 0; writersDone.load() < kThreads; ++round) {
        writer.ReadLinesFromStringDriver(listId, 1000, shown, id);
        for (const auto& line : shown) {
            const long number = std::stol(line.substr(0, 12));
            ASSERT_GT(number, lastShownNumber);  // the window never sees a line twice or out of order
            lastShownNumber = number;
        }
        shown.clear();
        if (round % 3 == 0) writer.Wait();
        if (round % 3 == 1) writer.Run();
        if (round % 5 == 0) writer.DisableDriver(listId);
        if (round % 5 == 2) writer.EnableDriver(listId);
        std::this_thread::yield();
    }
    for (auto& thread : writers) thread.join();
    writer.Run();
    writer.Stop();

    const auto lines = SplitCrLf(TSandbox::ReadFile(fileName));
    std::vector<int> next(kThreads, 0);
    std::size_t storedCount = 0;
    for (const auto& perThread : stored) storedCount += std::count(perThread.begin(), perThread.end(), 1);
    ASSERT_GT(storedCount, 0u);
    ASSERT_EQ(lines.size(), storedCount);
    const std::regex shape(R"((\d+) +thread (\d) line (\d+))");
    for (std::size_t n = 0; n < lines.size(); ++n) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[n], m, shape)) << lines[n];
        ASSERT_EQ(lines[n].substr(0, 13), Numbered(static_cast<int>(n) + 1, "")) << "numbers run without gaps";
        const int t = std::stoi(m[2]);
        const int i = std::stoi(m[3]);
        ASSERT_GE(i, next[t]) << lines[n];
        for (int dropped = next[t]; dropped < i; ++dropped) ASSERT_FALSE(stored[t][dropped]);
        ASSERT_TRUE(stored[t][i]);
        next[t] = i + 1;
    }
    EXPECT_GT(poster.Count(WM_NEWLOGLINES), 0u);
}
