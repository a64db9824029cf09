#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "foundation/VeltIPCMutex.h"
#include "foundation/platform/NamedMutex.h"
#include "tests/foundation/HelperProcess.h"
#include "tests/support/Sandbox.h"
#include "tests/support/UniqueName.h"

namespace {

std::string MutexHolder() { return std::string(ZELKO_TEST_HELPER_DIR) + "/mutex_holder"; }

// Each test gets a name of its own so it meets neither a running program nor another test.
class MutexTest : public ::testing::Test {
protected:
    MutexTest() {
        name = UniqueTestName("zelkotest_mutex");
    }
    ~MutexTest() override { platform::TNamedMutex::Remove(name); }

    // Get(0) asked from a thread of its own, which owns nothing.
    bool FreeForAnotherThread() {
        bool got = false;
        std::thread([&] {
            TMutex other(name);
            got = other.Get(0);
            if (got) other.Release();
        }).join();
        return got;
    }

    std::string name;
};

}  // namespace

TEST_F(MutexTest, OwnershipIsRecursivePerThreadAndExcludesOtherThreads) {
    TMutex mutex(name);
    ASSERT_TRUE(mutex.Get(0));
    EXPECT_TRUE(mutex.Get(0));
    EXPECT_FALSE(FreeForAnotherThread());

    EXPECT_TRUE(mutex.Release());
    EXPECT_FALSE(FreeForAnotherThread()) << "still owned once";
    EXPECT_TRUE(mutex.Release());
    EXPECT_FALSE(mutex.Release()) << "not owned any more";
    EXPECT_TRUE(FreeForAnotherThread());
}

TEST_F(MutexTest, TimedGetGivesUpAfterTheTimeOutAndSucceedsWhenReleasedInTime) {
    TMutex mutex(name);
    std::atomic<bool> releaseNow = false;
    std::latch held(1);
    std::thread owner([&] {
        TMutex own(name);
        own.Get(0);
        held.count_down();
        waitFor([&] { return releaseNow.load(); });
        own.Release();
    });
    held.wait();

    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(mutex.Get(500));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(450));

    releaseNow = true;
    EXPECT_TRUE(mutex.Get(10000));
    EXPECT_TRUE(mutex.Release());
    owner.join();
}

TEST_F(MutexTest, NegativeTimeOutIsARangeError) {
    TMutex mutex(name);
    EXPECT_THROW(mutex.Get(-1), ERangeError);
}

TEST_F(MutexTest, NameTheSystemRefusesAbortsConstruction) {
    EXPECT_THROW(TMutex("bad/name"), EAbort);
}

TEST_F(MutexTest, ExcludesAnotherProcess) {
    THelperProcess holder(MutexHolder(), {name});
    ASSERT_EQ(holder.ReadLine(), "held");
    TMutex mutex(name);
    EXPECT_FALSE(mutex.Get(0));
    EXPECT_FALSE(mutex.Get(500));

    holder.CloseInput();
    EXPECT_TRUE(mutex.Get(10000));
    EXPECT_EQ(holder.ReadLine(), "released");
    const int status = holder.Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_TRUE(mutex.Release());
}

TEST_F(MutexTest, MutexOfADeadProcessIsAbandonedOnceThenFree) {
    THelperProcess holder(MutexHolder(), {name, "die"});
    ASSERT_EQ(holder.ReadLine(), "held");
    const int status = holder.Wait();
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

    TMutex mutex(name);
    EXPECT_FALSE(mutex.Get(5000)) << "abandoned";
    EXPECT_TRUE(mutex.Get(0));
    EXPECT_TRUE(mutex.Release());
}

TEST_F(MutexTest, MutexOfAThreadThatEndedIsAbandonedOnceThenFree) {
    std::thread([&] {
        TMutex own(name);
        ASSERT_TRUE(own.Get(0));
        ASSERT_TRUE(own.Get(0));
    }).join();

    TMutex mutex(name);
    EXPECT_FALSE(mutex.Get(5000)) << "abandoned";
    EXPECT_TRUE(mutex.Get(0));
    EXPECT_TRUE(mutex.Release());
    EXPECT_TRUE(FreeForAnotherThread());
}

// Processes racing to create the mutex must all end up with the one mutex: a second
// initialisation would wipe out an owner and let two processes in (lost additions).
TEST_F(MutexTest, ProcessesCreatingItTogetherShareOneMutex) {
    TSandbox sandbox;
    const std::string counter = sandbox.WriteFile("counter", "0");
    constexpr int kCopies = 4;
    constexpr int kRounds = 100;
    std::vector<std::unique_ptr<THelperProcess>> copies;
    for (int i = 0; i < kCopies; ++i)
        copies.push_back(std::make_unique<THelperProcess>(
            MutexHolder(), std::vector<std::string>{name, "count", counter, std::to_string(kRounds)}));
    for (auto& copy : copies) copy->CloseInput();  // the start signal, as close together as we can
    for (auto& copy : copies) EXPECT_EQ(copy->ReadLine(), "done");
    EXPECT_EQ(TSandbox::ReadFile(counter), std::to_string(kCopies * kRounds));
}

TEST_F(MutexTest, EmptyObjectLeftByACreatorThatDiedIsInitialised) {
    const int fd = shm_open(platform::TNamedMutex::ObjectName(name).c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    close(fd);

    TMutex mutex(name);
    EXPECT_TRUE(mutex.Get(0));
    EXPECT_FALSE(FreeForAnotherThread());
    EXPECT_TRUE(mutex.Release());
}

TEST_F(MutexTest, ProcessNamedMutexExistsButIsNotOwned) {
    CreateProcessNamedMutex(name);
    EXPECT_TRUE(std::filesystem::exists("/dev/shm" + platform::TNamedMutex::ObjectName(name)));
    EXPECT_TRUE(FreeForAnotherThread());
}
