#include "collect/OFileQueue.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "foundation/VeltDigitalStamps.h"
#include "foundation/VeltEnvironment.h"
#include "foundation/platform/NamedMutex.h"
#include "tests/support/Sandbox.h"
#include "tests/support/UniqueName.h"
#include "tests/support/WaitFor.h"

namespace {

struct TInfo {
    std::int32_t iBookingType = 0;
    std::int32_t iDataRow = 0;
    std::string sName, sCrc32, sMd5, sSha1;
};

std::string UniqueMutexName() {
    return UniqueTestName("zelkotest_fqueue");
}

class FileQueueTest : public ::testing::Test {
protected:
    ~FileQueueTest() override { platform::TNamedMutex::Remove(mutexName); }

    bool Put(const std::string& name, std::int32_t size = 1, std::int32_t type = 1, std::int32_t row = 0) {
        return queue.PutFile(type, row, size, name, "0A1B2C3D", StampMd5(name), StampSha1(name));
    }
    void PutNumbered(int count, std::int32_t size = 1) {
        for (int i = 0; i < count; ++i) ASSERT_TRUE(Put("f" + std::to_string(i) + ".txt", size));
    }
    std::vector<TInfo> ReadAll() {
        std::vector<TInfo> infos;
        TInfo info;
        while (queue.GetInfoFile(info.iBookingType, info.iDataRow, info.sName, info.sCrc32, info.sMd5, info.sSha1))
            infos.push_back(info);
        return infos;
    }
    std::vector<std::string> Names() {
        queue.ResetGetInfoFile();
        std::vector<std::string> names;
        for (const TInfo& info : ReadAll()) names.push_back(info.sName);
        return names;
    }
    // Holds the away mutex from another thread until the returned function is called.
    std::function<void()> HoldMutexElsewhere() {
        auto release = std::make_shared<std::atomic<bool>>(false);
        auto held = std::make_shared<std::latch>(1);
        holder = std::thread([this, release, held] {
            TMutex other(mutexName);
            other.Get(0);
            held->count_down();
            waitFor([&] { return release->load(); }, std::chrono::seconds(30));
            other.Release();
        });
        held->wait();
        return [this, release] {
            *release = true;
            holder.join();
        };
    }

    TSandbox sandbox;
    TEnvironment environment{TEnvironmentOptions{}, sandbox.platform};
    std::string mutexName = UniqueMutexName();
    TFileQueue queue{environment, mutexName};
    std::thread holder;
};

}  // namespace

TEST_F(FileQueueTest, EntriesComeBackOldestFirstWithTheirNamesUnchanged) {
    const std::vector<std::string> names = {"PNR0001.txt", "Prüfung vom 1. März.txt", "日本語 ファイル.dat",
                                            "with  two blanks .txt", std::string(251, 'x') + ".txt"};
    for (std::size_t i = 0; i < names.size(); ++i)
        ASSERT_TRUE(queue.PutFile(static_cast<int>(i) + 1, static_cast<int>(i), 10, names[i], "CRC" + std::to_string(i),
                                  "md5-" + std::to_string(i), "sha1-" + std::to_string(i)));

    queue.ResetGetInfoFile();
    const std::vector<TInfo> infos = ReadAll();
    ASSERT_EQ(infos.size(), names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(infos[i].sName, names[i]);
        EXPECT_EQ(infos[i].iBookingType, static_cast<int>(i) + 1);
        EXPECT_EQ(infos[i].iDataRow, static_cast<int>(i));
        EXPECT_EQ(infos[i].sCrc32, "CRC" + std::to_string(i));
        EXPECT_EQ(infos[i].sMd5, "md5-" + std::to_string(i));
        EXPECT_EQ(infos[i].sSha1, "sha1-" + std::to_string(i));
    }
    // The walk can be repeated as often as the engine needs.
    EXPECT_EQ(Names().size(), names.size());
    EXPECT_EQ(queue.FileCount(), 5);
}

TEST_F(FileQueueTest, ANameLongerThanASlotHoldsIsRefusedRatherThanCut) {
    EXPECT_FALSE(Put(std::string(256, 'x')));
    EXPECT_EQ(queue.FileCount(), 0);
    EXPECT_EQ(queue.FilesPut(), 0);
}

TEST_F(FileQueueTest, AFullQueueRefusesAfterItsAttemptsAndTakesAgainOnceABatchIsAway) {
    PutNumbered(256);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Put("late.txt"));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300)) << "waited for room";
    EXPECT_EQ(queue.FileCount(), 256);
    EXPECT_EQ(queue.FilesPut(), 256);

    ASSERT_TRUE(queue.AwayFiles(1));
    ASSERT_TRUE(Put("late.txt"));  // the 257th entry ever, in the slot of the first
    const std::vector<std::string> names = Names();
    ASSERT_EQ(names.size(), 256u);
    EXPECT_EQ(names.front(), "f1.txt");
    EXPECT_EQ(names.back(), "late.txt");
    EXPECT_EQ(queue.FilesPut(), 257);
    EXPECT_EQ(queue.FilesAway(), 1);
}

TEST_F(FileQueueTest, AwayFilesRemovesOnlyWhatIsQueuedAndMovesBothCursors) {
    PutNumbered(4, 100);
    EXPECT_FALSE(queue.AwayFiles(5));
    EXPECT_FALSE(queue.AwayFiles(-1));
    EXPECT_EQ(queue.FileCount(), 4);

    queue.ResetGetInfoFile();
    ReadAll();
    queue.ResetCountBySizeFiles();
    queue.CountBySizeFiles(1000);
    ASSERT_TRUE(queue.AwayFiles(3));
    EXPECT_EQ(queue.FileCount(), 1);

    // Without a reset, both cursors now stand at the new oldest entry.
    TInfo info;
    ASSERT_TRUE(queue.GetInfoFile(info.iBookingType, info.iDataRow, info.sName, info.sCrc32, info.sMd5, info.sSha1));
    EXPECT_EQ(info.sName, "f3.txt");
    EXPECT_EQ(queue.CountBySizeFiles(1000), 1);
}

TEST_F(FileQueueTest, CountBySizeFilesSizesABatch) {
    struct TCase {
        std::vector<std::int32_t> sizes;
        std::int32_t limit;
        std::int32_t expected;
    };
    const std::vector<TCase> cases = {
        {{1000000, 1000000, 200000}, 2097152, 2},
        {{3000000, 10}, 2097152, 1},  // a file over the limit is a batch of its own
        {{}, 2097152, 0},
        {{1000, 1000, 1000}, 3000, 3},  // a sum equal to the limit still fits
        {{1000, 1000, 1000}, 10000, 3},
    };
    for (const TCase& c : cases) {
        queue.ClearQueue();
        for (std::size_t i = 0; i < c.sizes.size(); ++i) ASSERT_TRUE(Put("f" + std::to_string(i), c.sizes[i]));
        queue.ResetCountBySizeFiles();
        EXPECT_EQ(queue.CountBySizeFiles(c.limit), c.expected) << c.sizes.size() << " files, limit " << c.limit;
    }
}

TEST_F(FileQueueTest, FindFileMatchesTheExactNameWithinOneCrsType) {
    EXPECT_FALSE(queue.FindFile(1, "a.txt"));
    ASSERT_TRUE(Put("a.txt", 1, 1));
    ASSERT_TRUE(Put("b.txt", 1, 2));

    EXPECT_TRUE(queue.FindFile(1, "a.txt"));
    EXPECT_TRUE(queue.FindFile(2, "b.txt"));
    EXPECT_FALSE(queue.FindFile(2, "a.txt")) << "other CRS type";
    EXPECT_FALSE(queue.FindFile(1, "A.TXT")) << "other letter case";
    EXPECT_FALSE(queue.FindFile(1, "a.txt ")) << "other name";

    ASSERT_TRUE(queue.AwayFiles(1));
    EXPECT_FALSE(queue.FindFile(1, "a.txt")) << "gone with its batch";
}

TEST_F(FileQueueTest, WhileTheAwayMutexIsHeldElsewhereFindCountsAsQueuedAndAwayFails) {
    const auto release = HoldMutexElsewhere();
    EXPECT_FALSE(queue.FindFile(1, "a.txt")) << "an empty queue answers without the mutex";

    ASSERT_TRUE(Put("a.txt"));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(queue.FindFile(1, "other.txt"));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));
    EXPECT_FALSE(queue.AwayFiles(1));
    EXPECT_EQ(queue.FileCount(), 1);

    release();
    EXPECT_FALSE(queue.FindFile(1, "other.txt"));
    EXPECT_TRUE(queue.AwayFiles(1));
}

TEST(FileQueueCleanupTest, CreationRemovesUpdateLeftoversAndChecksumFilesOnly) {
    TSandbox sandbox;
    TEnvironment environment{TEnvironmentOptions{}, sandbox.platform};
    const std::string common = environment.Paths().sCommonApplicationData + "Temp/";
    const std::string local = environment.Paths().sUserLocalTemp;
    namespace fs = std::filesystem;
    const auto write = [](const std::string& path) {
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path) << "x";
    };
    const std::vector<std::string> removed = {
        common + "i_zelkotransfer.zip", common + "Files_42.sfv", common + "i_zelkotransfer_3_9_28",
        local + "i_zelkotransfer.zip", local + "i_zelkotransfer_3_10_0"};
    const std::vector<std::string> kept = {
        common + "notes.txt", common + "i_other.zip", local + "Files_42.sfv", local + "PNR0001.txt",
        environment.Paths().sCommonApplicationData + "Files_1.sfv"};
    for (const auto& path : removed) write(path);
    for (const auto& path : kept) write(path);
    fs::create_directories(common + "folder.sfv");

    const std::string mutexName = UniqueMutexName();
    {
        TFileQueue queue(environment, mutexName);
        EXPECT_EQ(queue.FileCount(), 0);
    }
    platform::TNamedMutex::Remove(mutexName);
    for (const auto& path : removed) EXPECT_FALSE(fs::exists(path)) << path;
    for (const auto& path : kept) EXPECT_TRUE(fs::exists(path)) << path;
    EXPECT_TRUE(fs::is_directory(common + "folder.sfv"));
}

// The collector and the sender side by side: every entry arrives once, in order and
// intact, while slots are reused many times over.
TEST(FileQueueConcurrencyTest, ProducerAndConsumerHandOverEveryEntryInOrder) {
    TSandbox sandbox;
    TEnvironment environment{TEnvironmentOptions{}, sandbox.platform};
    const std::string mutexName = UniqueMutexName();
    TFileQueue queue(environment, mutexName);
    constexpr int kEntries = 3000;

    std::thread producer([&] {
        for (int i = 0; i < kEntries; ++i) {
            const std::string name = "file" + std::to_string(i) + ".txt";
            if (queue.FindFile(1, name)) ADD_FAILURE() << "duplicate " << name;
            while (!queue.PutFile(1, i % 7, i, name, StampCrc32(name), StampMd5(name), StampSha1(name))) {
            }
        }
    });
    std::vector<std::string> received;
    bool intact = true;
    while (static_cast<int>(received.size()) < kEntries) {
        queue.ResetCountBySizeFiles();
        const std::int32_t batch = std::min(queue.CountBySizeFiles(1 << 30), 16);
        if (batch == 0) {
            std::this_thread::yield();
            continue;
        }
        queue.ResetGetInfoFile();
        for (std::int32_t n = 0; n < batch; ++n) {
            TInfo info;
            ASSERT_TRUE(queue.GetInfoFile(info.iBookingType, info.iDataRow, info.sName, info.sCrc32, info.sMd5, info.sSha1));
            intact = intact && info.sCrc32 == StampCrc32(info.sName) && info.sMd5 == StampMd5(info.sName) &&
                     info.sSha1 == StampSha1(info.sName);
            received.push_back(info.sName);
        }
        while (!queue.AwayFiles(batch)) {
        }
    }
    producer.join();
    platform::TNamedMutex::Remove(mutexName);

    EXPECT_TRUE(intact);
    ASSERT_EQ(received.size(), static_cast<std::size_t>(kEntries));
    for (int i = 0; i < kEntries; ++i) ASSERT_EQ(received[i], "file" + std::to_string(i) + ".txt");
    EXPECT_EQ(queue.FileCount(), 0);
}
