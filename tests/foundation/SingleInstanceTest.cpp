#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "foundation/VeltStartupOneInstanceOnFile.h"
#include "tests/foundation/HelperProcess.h"
#include "tests/support/Sandbox.h"

namespace {

const std::string kShortMessage = "\r\nProgram is already running !\t";

std::string LockHolder() { return std::string(ZELKO_TEST_HELPER_DIR) + "/lock_holder"; }

std::regex ContentOf(const std::string& user) {
    return std::regex("user:" + user + R"( started at:\d{4}\.\d{2}\.\d{2} \d{2}:\d{2}:\d{2})");
}

// The refusal text, or "" when the lock was taken.
std::string StartupRefusal(const std::string& lockFile, const std::string& user) {
    try {
        StartupOneInstanceOnFile(lockFile, user);
    } catch (const EStartupOneInstanceOnFile& refusal) {
        return refusal.what();
    }
    return {};
}

class SingleInstanceTest : public ::testing::Test {
protected:
    void TearDown() override { ShutdownOneInstanceOnFile(); }

    TSandbox sandbox;
    const std::string lockFile = sandbox.Path("xdg/data/zelkotransfer.lck");
};

}  // namespace

TEST_F(SingleInstanceTest, LockFileNamesUserAndStartAndIsRemovedAtShutdown) {
    StartupOneInstanceOnFile(lockFile, "jdoe");
    EXPECT_TRUE(std::regex_match(TSandbox::ReadFile(lockFile), ContentOf("jdoe")));

    ShutdownOneInstanceOnFile();
    EXPECT_FALSE(std::filesystem::exists(lockFile));
    EXPECT_EQ(StartupRefusal(lockFile, "jdoe"), "") << "the lock can be taken again";
}

TEST_F(SingleInstanceTest, StaleLongerFileIsOverwrittenWithoutTail) {
    sandbox.WriteFile("xdg/data/zelkotransfer.lck",
                      "user:somebody.with.a.much.longer.name started at:2018.08.30 14:05:09 and old bytes");
    StartupOneInstanceOnFile(lockFile, "jdoe");
    EXPECT_TRUE(std::regex_match(TSandbox::ReadFile(lockFile), ContentOf("jdoe")));
}

TEST_F(SingleInstanceTest, MissingDirectoryGivesTheShortMessage) {
    const std::string unusable = sandbox.Path("missing/zelkotransfer.lck");
    EXPECT_EQ(StartupRefusal(unusable, "jdoe"), kShortMessage);
    EXPECT_FALSE(std::filesystem::exists(sandbox.Path("missing")));
}

TEST_F(SingleInstanceTest, SecondCopyIsRefusedWithTheRunningCopysStartData) {
    THelperProcess first(LockHolder(), {lockFile, "alice"});
    ASSERT_EQ(first.ReadLine(), "locked");
    const std::string content = TSandbox::ReadFile(lockFile);
    ASSERT_TRUE(std::regex_match(content, ContentOf("alice")));

    EXPECT_EQ(StartupRefusal(lockFile, "jdoe"), kShortMessage + "\r\n\r\n\r\n" + content + "\t");
    // The refused copy holds nothing, so its shutdown must leave the running copy's file.
    ShutdownOneInstanceOnFile();
    THelperProcess third(LockHolder(), {lockFile, "bob"});
    EXPECT_EQ(third.ReadLine(), "refused");
    EXPECT_EQ(TSandbox::ReadFile(lockFile), content);

    first.CloseInput();
    EXPECT_EQ(first.ReadLine(), "released");
    const int status = first.Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_FALSE(std::filesystem::exists(lockFile));
    EXPECT_EQ(StartupRefusal(lockFile, "jdoe"), "");
}

TEST_F(SingleInstanceTest, FileOfAKilledCopyIsTakenOverByTheNextCopy) {
    THelperProcess killed(LockHolder(), {lockFile, "alice.with.a.longer.user.name"});
    ASSERT_EQ(killed.ReadLine(), "locked");
    killed.Kill(SIGKILL);
    killed.Wait();
    ASSERT_TRUE(std::filesystem::exists(lockFile));

    THelperProcess next(LockHolder(), {lockFile, "bob"});
    EXPECT_EQ(next.ReadLine(), "locked");
    EXPECT_TRUE(std::regex_match(TSandbox::ReadFile(lockFile), ContentOf("bob")));
}

TEST_F(SingleInstanceTest, CopiesStartedTogetherLetExactlyOneRun) {
    std::vector<std::unique_ptr<THelperProcess>> copies;
    for (int i = 0; i < 5; ++i)
        copies.push_back(std::make_unique<THelperProcess>(LockHolder(), std::vector<std::string>{lockFile, "user" + std::to_string(i)}));
    std::vector<std::string> answers;
    for (auto& copy : copies) answers.push_back(copy->ReadLine());
    EXPECT_EQ(std::count(answers.begin(), answers.end(), "locked"), 1);
    EXPECT_EQ(std::count(answers.begin(), answers.end(), "refused"), 4);
}

// The program may start an installer and end without releasing the lock; the installer
// must not keep the lock alive, or the new version could never start.
TEST_F(SingleInstanceTest, ProgramStartedByTheHolderDoesNotKeepTheLock) {
    THelperProcess holder(LockHolder(), {lockFile, "alice", "\"" + LockHolder() + "\" idle"});
    std::vector<std::string> lines{holder.ReadLine(), holder.ReadLine()};  // both print to our pipe
    std::sort(lines.begin(), lines.end());
    ASSERT_EQ(lines, (std::vector<std::string>{"idle", "locked"}));
    holder.Kill(SIGKILL);
    holder.Wait();

    EXPECT_EQ(StartupRefusal(lockFile, "jdoe"), "") << "the started program still runs but holds no lock";
    holder.CloseInput();  // ends the idle program
}
