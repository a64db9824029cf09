#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "log/VeltStraightLogWriteDriverDiskFile.h"
#include "log/VeltStraightLogWriteDriverStringList.h"
#include "tests/support/RecordingPoster.h"
#include "tests/support/Sandbox.h"

namespace fs = std::filesystem;

namespace {

// The log data's batch format: 2-byte little-endian length, then the bytes.
std::string Pack(const std::vector<std::string>& lines) {
    std::string packed;
    for (const auto& line : lines) {
        packed += static_cast<char>(line.size() & 0xFF);
        packed += static_cast<char>(line.size() >> 8);
        packed += line;
    }
    return packed;
}

void WriteBatch(TLogWriteDriver& driver, const std::vector<std::string>& lines) {
    const std::string packed = Pack(lines);
    driver.WriteLogLines(packed.data(), static_cast<std::int32_t>(lines.size()));
}

// Content whose every position is recognisable, so a cut at the wrong byte shows.
std::string Pattern(std::size_t size) {
    std::string text(size, ' ');
    for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + (i * 7 + i / 26) % 26);
    return text;
}

}  // namespace

TEST(LogDiskDriver, AppendsRecordsWithCrLfToExistingFileInNewFolders) {
    TSandbox sandbox;
    const std::string fileName = sandbox.Path("a/b/agent.log");
    {
        TLogWriteDriverDiskFile driver(1, -1, fileName);
        WriteBatch(driver, {"first", "", "third line"});
    }
    TLogWriteDriverDiskFile driver(1, -1, fileName);  // reopening appends
    driver.WriteLogLine("single");
    WriteBatch(driver, {"x" + std::string(300, 'y')});
    WriteBatch(driver, {});
    EXPECT_EQ(TSandbox::ReadFile(fileName),
              "first\r\n\r\nthird line\r\nsingle\r\nx" + std::string(300, 'y') + "\r\n");
}

TEST(LogDiskDriver, FailuresToOpenOrWriteRaise) {
    TSandbox sandbox;
    const std::string blocker = sandbox.WriteFile("plain-file", "not a folder");
    const std::string fileName = blocker + "/agent.log";
    try {
        TLogWriteDriverDiskFile driver(1, -1, fileName);
        FAIL() << "opened below a plain file";
    } catch (const ELogWriteDriver& e) {
        EXPECT_EQ(std::string(e.what()),
                  "TLogWriteDriverDiskFile error: cannot create disk file log write driver ( " + fileName + " )");
    }
    TLogWriteDriverDiskFile full(2, 0, "/dev/full");  // every write fails: no space left
    EXPECT_THROW(full.WriteLogLine("lost"), ELogWriteDriver);
}

struct TSizePolicyCase {
    const char* sName;
    std::string sFileName;
    std::int32_t iMaxFileSize;
    std::size_t iInitialSize;
    std::vector<std::string> aPresent;  // numbered files that exist before
    std::string sMovedTo;               // empty: the file stays where it is
    std::size_t iKeptTail;              // bytes of the old content left in the file
};

TEST(LogDiskDriver, SizePoliciesBeforeEachBatch) {
    const std::size_t MiB = 1048576;
    const std::vector<TSizePolicyCase> cases = {
        {"split at exactly the limit", "agent.log", -1, MiB, {}, "", MiB},
        {"split one byte over", "agent.log", -1, MiB + 1, {}, "agent000000.log", 0},
        {"split skips existing", "agent.log", -1, MiB + 1, {"agent000000.log"}, "agent000001.log", 0},
        {"split name without .log", "agent.txt", -1, MiB + 1, {}, "agent.txt000000.log", 0},
        {"split is case-sensitive", "AGENT.LOG", -1, MiB + 1, {}, "AGENT.LOG000000.log", 0},
        {"split removes first .log only", "a.log.log", -1, MiB + 1, {}, "a.log000000.log", 0},
        {"split at 2 MiB", "agent.log", -2, 2 * MiB + 1, {}, "agent000000.log", 0},
        {"shrink at the threshold", "agent.log", 1, 1258291, {}, "", 1258291},
        {"shrink one byte over", "agent.log", 1, 1258292, {}, "", 838860},
        {"no limit", "agent.log", 0, 3 * MiB, {}, "", 3 * MiB},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sName);
        TSandbox sandbox;
        const std::string initial = Pattern(c.iInitialSize);
        const std::string fileName = sandbox.WriteFile("logs/" + c.sFileName, initial);
        for (const auto& present : c.aPresent) sandbox.WriteFile("logs/" + present, "older run");

        TLogWriteDriverDiskFile driver(1, c.iMaxFileSize, fileName);
        WriteBatch(driver, {"new one", "new two"});

        EXPECT_EQ(TSandbox::ReadFile(fileName), initial.substr(initial.size() - c.iKeptTail) + "new one\r\nnew two\r\n");
        if (!c.sMovedTo.empty()) {
            EXPECT_EQ(TSandbox::ReadFile(sandbox.Path("logs/" + c.sMovedTo)), initial);
        }
        for (const auto& present : c.aPresent) EXPECT_EQ(TSandbox::ReadFile(sandbox.Path("logs/" + present)), "older run");
        const std::size_t expectedFiles = 1 + c.aPresent.size() + (c.sMovedTo.empty() ? 0 : 1);
        EXPECT_EQ(static_cast<std::size_t>(std::distance(fs::directory_iterator(sandbox.Path("logs")), fs::directory_iterator())),
                  expectedFiles);
    }
}

TEST(LogDiskDriver, LaterSplitsTakeTheNextFreeNumbers) {
    TSandbox sandbox;
    const std::string fileName = sandbox.Path("agent.log");
    sandbox.WriteFile("agent000001.log", "older run");
    TLogWriteDriverDiskFile driver(1, -1, fileName);
    const std::string chunk = Pattern(1048576) + "\r\n";
    for (int split = 0; split < 3; ++split) {
        driver.WriteLogLine(Pattern(1048576));  // brings the file over the limit
        driver.WriteLogLine("after");
    }
    EXPECT_EQ(TSandbox::ReadFile(sandbox.Path("agent000000.log")), chunk);
    EXPECT_EQ(TSandbox::ReadFile(sandbox.Path("agent000001.log")), "older run");
    EXPECT_EQ(TSandbox::ReadFile(sandbox.Path("agent000002.log")), "after\r\n" + chunk);
    EXPECT_EQ(TSandbox::ReadFile(sandbox.Path("agent000003.log")), "after\r\n" + chunk);
    EXPECT_EQ(TSandbox::ReadFile(fileName), "after\r\n");
}

TEST(LogStringListDriver, SmallRingKeepsNewestLinesOfABatch) {
    TRecordingPoster poster;
    TLogWriteDriverStringList driver(1, 3, &poster);
    driver.WriteLogLine("old unread");
    WriteBatch(driver, {"b1", "b2", "b3", "b4", "b5"});
    EXPECT_EQ(poster.Count(WM_NEWLOGLINES), 2u);  // once per call, also for a batch

    std::string line;
    std::int32_t id = -5;
    std::vector<std::pair<std::string, std::int32_t>> read;
    while (driver.ReadLogLine(line, id)) read.emplace_back(line, id);
    // Only the batch's tail entered the ring, pushing out the unread older line; ids count
    // the lines stored, from 1.
    EXPECT_EQ(read, (std::vector<std::pair<std::string, std::int32_t>>{{"b3", 2}, {"b4", 3}, {"b5", 4}}));
    EXPECT_EQ(line, "");
    EXPECT_EQ(id, 0);
}

TEST(LogStringListDriver, FetchForTheWindowKeepsNewestWithinCapacity) {
    TLogWriteDriverStringList driver(1, 100, nullptr);
    std::vector<std::string> memo = {"stale 1", "stale 2"};
    std::int32_t id = -1;
    for (int i = 1; i <= 40; ++i) driver.WriteLogLine("l" + std::to_string(i));
    driver.ReadLogLines(15, memo, id);
    ASSERT_EQ(memo.size(), 15u);  // the caller had missed lines: cleared first
    EXPECT_EQ(memo.front(), "l26");
    EXPECT_EQ(memo.back(), "l40");
    EXPECT_EQ(id, 40);

    // Up to date: the list is kept and scrolls, oldest entries leaving at the top.
    for (int i = 41; i <= 45; ++i) driver.WriteLogLine("l" + std::to_string(i));
    driver.ReadLogLines(15, memo, id);
    ASSERT_EQ(memo.size(), 15u);
    EXPECT_EQ(memo.front(), "l31");
    EXPECT_EQ(memo.back(), "l45");
    EXPECT_EQ(id, 45);

    driver.ReadLogLines(15, memo, id);  // nothing new: nothing changes
    EXPECT_EQ(memo.size(), 15u);
    EXPECT_EQ(id, 45);
}

TEST(LogStringListDriver, RingNeedsALine) {
    EXPECT_THROW(TLogWriteDriverStringList(1, 0, nullptr), ELogWriteDriver);
}
