#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "log/VeltStraightLogData.h"
#include "tests/support/WaitFor.h"

namespace {

// The system's dimensions: 1024-byte lines with a 13-byte number prefix leave 1011 for text.
constexpr std::int32_t kSystemLineLength = 1024;
constexpr std::size_t kSystemTextLength = 1011;

std::vector<std::string> Unpack(const char* buffer, std::int32_t count) {
    std::vector<std::string> records;
    const auto* cursor = reinterpret_cast<const unsigned char*>(buffer);
    for (std::int32_t i = 0; i < count; ++i) {
        const std::size_t length = cursor[0] | cursor[1] << 8;  // little-endian length
        records.emplace_back(reinterpret_cast<const char*>(cursor + 2), length);
        cursor += 2 + length;
    }
    return records;
}

std::vector<std::string> ReadBatch(TLogData& data) {
    std::int32_t count = -1;
    const char* buffer = data.LinesRead(count);
    if (buffer == nullptr) {
        EXPECT_EQ(count, 0);
        return {};
    }
    return Unpack(buffer, count);
}

std::string Prefix(int number) {
    std::string prefix = std::to_string(number);
    prefix.resize(13, ' ');
    return prefix;
}

}  // namespace

TEST(LogData, ChunksCarryConsecutiveNumbersAndEmptyLineIsPrefixOnly) {
    TLogData data(10240, kSystemLineLength, 128, true);
    const std::string exact(kSystemTextLength, 'a');
    const std::string oneMore = std::string(kSystemTextLength, 'b') + "c";
    ASSERT_TRUE(data.LineWrite(""));
    ASSERT_TRUE(data.LineWrite(exact));
    ASSERT_TRUE(data.LineWrite(oneMore));
    ASSERT_TRUE(data.LineWrite1("grüße"));

    const std::vector<std::string> expected = {
        Prefix(1),
        Prefix(2) + exact,
        Prefix(3) + std::string(kSystemTextLength, 'b'),
        Prefix(4) + "c",
        Prefix(5) + "grüße",
    };
    EXPECT_EQ(ReadBatch(data), expected);
}

TEST(LogData, EmptyBufferLeavesArgumentsAlone) {
    TLogData data(8, 64, 4, true);
    std::string line = "untouched";
    EXPECT_FALSE(data.LineRead(line));
    EXPECT_EQ(line, "untouched");
    std::int32_t count = 77;
    EXPECT_EQ(data.LinesRead(count), nullptr);
    EXPECT_EQ(count, 0);

    // Drained again after use: still empty, and the single reads follow the numbering.
    ASSERT_TRUE(data.LineWrite("one"));
    ASSERT_TRUE(data.LineWrite("two"));
    EXPECT_TRUE(data.LineRead(line));
    EXPECT_EQ(line, Prefix(1) + "one");
    EXPECT_EQ(ReadBatch(data), std::vector<std::string>{Prefix(2) + "two"});
    EXPECT_FALSE(data.LineRead(line));
    EXPECT_EQ(data.LinesRead(count), nullptr);
}

TEST(LogData, BatchesAreLimitedAndNumberingContinuesAcrossTheRing) {
    TLogData data(256, 64, 128, true);
    for (int i = 1; i <= 200; ++i) ASSERT_TRUE(data.LineWrite("line " + std::to_string(i)));
    EXPECT_EQ(ReadBatch(data).size(), 128u);
    const auto rest = ReadBatch(data);
    ASSERT_EQ(rest.size(), 72u);
    EXPECT_EQ(rest.back(), Prefix(200) + "line 200");

    // Past the end of the ring the slots are reused but the numbers keep counting.
    for (int i = 201; i <= 400; ++i) ASSERT_TRUE(data.LineWrite("line " + std::to_string(i)));
    std::vector<std::string> all;
    for (auto batch = ReadBatch(data); !batch.empty(); batch = ReadBatch(data)) all.insert(all.end(), batch.begin(), batch.end());
    ASSERT_EQ(all.size(), 200u);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(all[i], Prefix(201 + i) + "line " + std::to_string(201 + i));
}

TEST(LogData, WithoutNumberingRecordsAreTheBareChunks) {
    TLogData data(16, 10, 16, false);
    ASSERT_TRUE(data.LineWrite("0123456789abc"));
    ASSERT_TRUE(data.LineWrite(""));
    EXPECT_EQ(ReadBatch(data), (std::vector<std::string>{"0123456789", "abc", ""}));
}

TEST(LogData, InvalidDimensionsAreRefused) {
    EXPECT_THROW(TLogData(0, 64, 4, true), ELogData);
    EXPECT_THROW(TLogData(8, 13, 4, true), ELogData);  // no room left after the prefix
    EXPECT_THROW(TLogData(8, 64, 0, true), ELogData);
    EXPECT_THROW(TLogData(8, 70000, 4, true), ELogData);  // lengths are 16-bit
    EXPECT_NO_THROW(TLogData(8, 1, 4, false));
}

TEST(LogData, FullRingDropsAfterBoundedWaitAndRecovers) {
    TLogData data(4, 20, 8, true);
    for (int i = 1; i <= 4; ++i) ASSERT_TRUE(data.LineWrite("kept " + std::to_string(i)));

    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(data.LineWrite("dropped"));
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(450));
    EXPECT_LT(waited, std::chrono::seconds(5));

    std::string line;
    ASSERT_TRUE(data.LineRead(line));
    EXPECT_EQ(line, Prefix(1) + "kept 1");
    EXPECT_TRUE(data.LineWrite("after"));
    EXPECT_EQ(ReadBatch(data), (std::vector<std::string>{Prefix(2) + "kept 2", Prefix(3) + "kept 3",
                                                         Prefix(4) + "kept 4", Prefix(5) + "after"}));
}

TEST(LogData, LineLargerThanFreeRoomIsNeverStoredInPart) {
    TLogData data(4, 4, 8, false);
    ASSERT_TRUE(data.LineWrite("aaaa"));
    ASSERT_TRUE(data.LineWrite("bbbb"));
    ASSERT_TRUE(data.LineWrite("cccc"));
    EXPECT_FALSE(data.LineWrite("ddddeeee"));  // two chunks, one slot free
    EXPECT_FALSE(data.LineWrite(std::string(17, 'x')));  // more chunks than the whole ring
    EXPECT_EQ(ReadBatch(data), (std::vector<std::string>{"aaaa", "bbbb", "cccc"}));
}

TEST(LogData, WaitingWriterProceedsOnceReaderMakesRoom) {
    TLogData data(4, 4, 8, false);
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(data.LineWrite("full"));
    std::atomic<bool> woken{false};
    data.SetReaderWakeup([&] { woken = true; });

    std::atomic<int> result{-1};
    std::thread writer([&] { result = data.LineWrite("ddddeeee") ? 1 : 0; });
    ASSERT_TRUE(waitFor([&] { return woken.load(); }));  // the reader is asked to drain
    EXPECT_EQ(ReadBatch(data).size(), 4u);
    writer.join();
    EXPECT_EQ(result, 1);
    EXPECT_EQ(ReadBatch(data), (std::vector<std::string>{"dddd", "eeee"}));
    data.SetReaderWakeup(nullptr);
}

// Several writers with multi-chunk lines against one reader: the chunks of a line stay
// together, no stored line is lost or doubled, and the numbers run without gaps.
TEST(LogDataConcurrency, WritersAndReaderKeepLinesWholeAndOrdered) {
    constexpr int kThreads = 4;
    constexpr int kLinesPerThread = 3000;
    TLogData data(32, 13 + 8, 16, true);  // small ring: writers must wait for the reader
    std::atomic<int> writersDone{0};
    std::vector<std::vector<bool>> stored(kThreads, std::vector<bool>(kLinesPerThread));

    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < kLinesPerThread; ++i) {
                // Up to three chunks of 8 bytes: "T1 00042" padded with the thread's letter.
                std::string line = "T" + std::to_string(t) + " " + std::to_string(100000 + i).substr(1);
                line.append(static_cast<std::size_t>(i % 3) * 8, static_cast<char>('a' + t));
                stored[t][i] = data.LineWrite(line);
            }
            ++writersDone;
        });
    }

    std::vector<std::string> chunks;
    for (;;) {
        const bool finished = writersDone.load() == kThreads;
        auto batch = ReadBatch(data);
        chunks.insert(chunks.end(), batch.begin(), batch.end());
        if (batch.empty() && finished) break;
        if (batch.empty()) std::this_thread::yield();
    }
    for (auto& writer : writers) writer.join();

    std::vector<int> nextExpected(kThreads, 0);
    std::size_t position = 0;
    int storedCount = 0;
    for (int t = 0; t < kThreads; ++t) {
        for (bool s : stored[t]) storedCount += s;
    }
    int linesSeen = 0;
    while (position < chunks.size()) {
        ASSERT_EQ(chunks[position].substr(0, 13), Prefix(static_cast<int>(position) + 1));
        const std::string head = chunks[position].substr(13);
        ASSERT_EQ(head.size(), 8u) << head;
        const int t = head[1] - '0';
        const int i = std::stoi(head.substr(3));
        for (int k = 1; k <= i % 3; ++k) {
            ASSERT_LT(position + k, chunks.size());
            EXPECT_EQ(chunks[position + k].substr(13), std::string(8, static_cast<char>('a' + t)));
        }
        // Per thread the lines come in order, and skip only what the writer saw dropped.
        ASSERT_GE(i, nextExpected[t]);
        for (int skipped = nextExpected[t]; skipped < i; ++skipped) EXPECT_FALSE(stored[t][skipped]);
        EXPECT_TRUE(stored[t][i]);
        nextExpected[t] = i + 1;
        position += 1 + i % 3;
        ++linesSeen;
    }
    EXPECT_GT(storedCount, 0);
    EXPECT_EQ(linesSeen, storedCount);
}
