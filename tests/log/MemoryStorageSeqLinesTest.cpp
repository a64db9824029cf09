// The sequential-lines storage: block sizing, the add errors, reading all lines or one
// class, and lines that cross the end of a text block or an info block.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log/VeltMemoryStorageSeqLines.h"

namespace {

constexpr std::int32_t kMiB = 1048576;

// A text whose every byte depends on its position and a seed, so a misplaced or
// shifted copy cannot read back equal.
std::string Patterned(std::size_t size, int seed) {
    std::string text(size, ' ');
    for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>('!' + (i * 7 + seed) % 90);
    return text;
}

TEST(MemoryStorageSeqLinesTest, BlockSizesAreClamped) {
    struct Case {
        std::int32_t infoIncr, dataIncr, records, bytes;
    };
    for (const Case& c : std::vector<Case>{{10, 0, 4096, kMiB}, {100000, 64, 32768, 16 * kMiB}, {5000, 3, 5000, 3 * kMiB}}) {
        TMemoryStorageSeqLines storage("s", c.infoIncr, c.dataIncr);
        EXPECT_EQ(storage.InfoIncrNumb(), c.records) << c.infoIncr;
        EXPECT_EQ(storage.DataIncrSize(), c.bytes) << c.dataIncr;
        EXPECT_EQ(storage.InfoBlockCount(), 1u);
        EXPECT_EQ(storage.DataBlockCount(), 1u);
    }
}

TEST(MemoryStorageSeqLinesTest, RejectedLinesRaiseAndLeaveTheStorageUnchanged) {
    struct Case {
        std::int32_t lineClass;
        std::string line;
        std::string message;
    };
    const std::vector<Case> cases = {
        {1, "", "TMemoryStorageSeqLines: empty line to add to storage audit"},
        {0, "", "TMemoryStorageSeqLines: empty line to add to storage audit"},  // checked first
        {1, std::string(kMiB + 1, 'x'),
         "TMemoryStorageSeqLines: too big line ( 1048577B ) to add to storage audit ( max.allowed size is 1048576B )"},
        {0, "x", "TMemoryStorageSeqLines: bad line class ( 0 ) in storage audit"},
        {-3, "x", "TMemoryStorageSeqLines: bad line class ( -3 ) in storage audit"},
    };
    TMemoryStorageSeqLines storage("audit", 0, 0);
    storage.AddLine(1, "kept");
    for (const Case& c : cases) {
        try {
            storage.AddLine(c.lineClass, c.line);
            ADD_FAILURE() << "no error for " << c.message;
        } catch (const ErrorMemoryStorageSeqLines& e) {
            EXPECT_EQ(std::string(e.what()), c.message);
        }
    }
    EXPECT_EQ(storage.LinesTotal(), 1);
    storage.AddLine(1, "next");
    EXPECT_EQ(storage.GetLineNo(1), "kept");
    EXPECT_EQ(storage.GetLineNo(2), "next");

    EXPECT_THROW(storage.GoTopLineForClass(0), ErrorMemoryStorageSeqLines);
    storage.AddLine(1, std::string(kMiB, 'y'));  // exactly one block is allowed
    EXPECT_TRUE(storage.GetLineNo(3) == std::string(kMiB, 'y'));
}

TEST(MemoryStorageSeqLinesTest, ReadsAllLinesOrOneClassInOrder) {
    TMemoryStorageSeqLines storage("s", 0, 0);
    EXPECT_EQ(storage.GetCurrentLine(), "");  // nothing to read before GoTopLine
    storage.GoTopLine();
    EXPECT_EQ(storage.GetCurrentLine(), "");  // nor in an empty storage

    storage.AddLine(2, "first");
    storage.AddLine(1, "second");
    storage.AddLine(2, "third");

    storage.GoTopLine();
    EXPECT_EQ(storage.GetCurrentLine(), "first");
    EXPECT_EQ(storage.GetCurrentLine(), "second");
    EXPECT_EQ(storage.GetCurrentLine(), "third");
    EXPECT_EQ(storage.GetCurrentLine(), "");

    EXPECT_EQ(storage.GetCurrentLineForClass(), "");  // no class chosen yet
    storage.GoTopLineForClass(2);
    EXPECT_EQ(storage.GetCurrentLineForClass(), "first");
    EXPECT_EQ(storage.GetCurrentLineForClass(), "third");
    EXPECT_EQ(storage.GetCurrentLineForClass(), "");

    storage.GoTopLineForClass(1);
    EXPECT_EQ(storage.GetCurrentLineForClass(), "second");
    EXPECT_EQ(storage.GetCurrentLineForClass(), "");
    storage.AddLine(1, "fourth");  // the class cursor ran out before this line
    EXPECT_EQ(storage.GetCurrentLineForClass(), "");

    storage.GoTopLineForClass(7);
    EXPECT_EQ(storage.GetCurrentLineForClass(), "");

    EXPECT_EQ(storage.GetLineNo(0), "");
    EXPECT_EQ(storage.GetLineNo(5), "");
    EXPECT_EQ(storage.GetLineNo(4), "fourth");
    storage.GoTopLine();
    EXPECT_EQ(storage.GetLineNo(3), "third");  // does not move the cursor
    EXPECT_EQ(storage.GetCurrentLine(), "first");
}

TEST(MemoryStorageSeqLinesTest, LinesAcrossTextBlockEndsReadBackWhole) {
    TMemoryStorageSeqLines storage("s", 0, 0);
    const std::vector<std::string> lines = {
        Patterned(kMiB - 6, 1),   // leaves 6 bytes in block 1
        Patterned(20, 2),         // 6 bytes in block 1, 14 in block 2
        Patterned(kMiB - 14, 3),  // ends exactly at the end of block 2
        Patterned(5, 4),          // starts block 3
    };
    for (const std::string& line : lines) storage.AddLine(1, line);
    EXPECT_EQ(storage.DataBlockCount(), 3u);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_TRUE(storage.GetLineNo(static_cast<std::int32_t>(i + 1)) == lines[i]) << "line " << i + 1;
    }
}

TEST(MemoryStorageSeqLinesTest, GrowsInfoBlocksAndResetKeepsOnlyTheFirstBlocks) {
    TMemoryStorageSeqLines storage("s", 0, 0);
    for (int n = 1; n <= 4097; ++n) storage.AddLine(n % 3 + 1, "line " + std::to_string(n));
    EXPECT_EQ(storage.InfoBlockCount(), 2u);
    EXPECT_EQ(storage.GetLineNo(4096), "line 4096");
    EXPECT_EQ(storage.GetLineNo(4097), "line 4097");
    storage.GoTopLineForClass(4097 % 3 + 1);
    std::string last, line;
    while (!(line = storage.GetCurrentLineForClass()).empty()) last = line;
    EXPECT_EQ(last, "line 4097");

    storage.AddLine(1, Patterned(kMiB - 100, 5));  // forces a second text block
    EXPECT_EQ(storage.DataBlockCount(), 2u);
    storage.Reset();
    EXPECT_EQ(storage.LinesTotal(), 0);
    EXPECT_EQ(storage.InfoBlockCount(), 1u);
    EXPECT_EQ(storage.DataBlockCount(), 1u);
    EXPECT_EQ(storage.GetLineNo(1), "");
    EXPECT_EQ(storage.GetCurrentLine(), "");
    EXPECT_EQ(storage.GetCurrentLineForClass(), "");

    storage.AddLine(3, "again");
    storage.GoTopLine();
    EXPECT_EQ(storage.GetCurrentLine(), "again");
}

}  // namespace
