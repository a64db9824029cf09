#include "foundation/platform/ExclusiveFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "tests/foundation/HelperProcess.h"
#include "tests/support/Sandbox.h"

using platform::TExclusiveFile;
using platform::TExclusiveGuard;
using platform::TExclusiveOpen;

namespace {

std::string Holder() { return std::string(ZELKO_TEST_HELPER_DIR) + "/hold_open_for_write"; }

// Sets the modification time `secondsFromNow` away from now (negative: in the past).
void SetModificationTime(const std::string& path, int secondsFromNow) {
    struct timespec times[2] {};
    clock_gettime(CLOCK_REALTIME, &times[1]);
    times[1].tv_sec += secondsFromNow;
    times[0] = times[1];
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

std::string ReadAll(TExclusiveFile& file) {
    std::string content(static_cast<std::size_t>(file.Size()), '\0');
    EXPECT_EQ(file.Read(content.data(), content.size()), static_cast<std::int64_t>(content.size()));
    return content;
}

}  // namespace

TEST(ExclusiveFileTest, OpensAQuietFileUnderALeaseAndReadsIt) {
    TSandbox sandbox;
    const std::string path = sandbox.WriteFile("data/a.txt", "booking");
    TExclusiveFile file;
    ASSERT_EQ(file.Open(path), TExclusiveOpen::Opened);
    EXPECT_EQ(file.Guard(), TExclusiveGuard::Lease);
    EXPECT_EQ(file.Size(), 7);
    EXPECT_EQ(ReadAll(file), "booking");
    file.Close();
    EXPECT_FALSE(file.IsOpen());
}

TEST(ExclusiveFileTest, AFileAnotherProcessWritesIsBusyUntilItIsClosed) {
    TSandbox sandbox;
    const std::string path = sandbox.WriteFile("data/a.txt", "partial");
    THelperProcess writer(Holder(), {path});
    ASSERT_EQ(writer.ReadLine(), "open");

    TExclusiveFile file;
    EXPECT_EQ(file.Open(path), TExclusiveOpen::Busy);
    EXPECT_FALSE(file.IsOpen());

    writer.CloseInput();
    ASSERT_EQ(writer.ReadLine(), "closed");
    EXPECT_EQ(file.Open(path), TExclusiveOpen::Opened);
}

TEST(ExclusiveFileTest, AWriterArrivingDuringTheReadWaitsForCloseAndTheBreakSignalIsSurvived) {
    TSandbox sandbox;
    const std::string path = sandbox.WriteFile("data/a.txt", "booking");
    TExclusiveFile file;
    ASSERT_EQ(file.Open(path), TExclusiveOpen::Opened);
    ASSERT_EQ(file.Guard(), TExclusiveGuard::Lease);

    // The writer's open breaks the lease (the kernel signals us) and then waits for us.
    THelperProcess writer(Holder(), {path});
    EXPECT_EQ(writer.ReadLine(std::chrono::milliseconds(300)), "");
    EXPECT_EQ(ReadAll(file), "booking");
    file.Close();
    EXPECT_EQ(writer.ReadLine(), "open");
    writer.CloseInput();
    EXPECT_EQ(writer.ReadLine(), "closed");
}

TEST(ExclusiveFileTest, WithoutLeasesAFileChangedWithinTheQuietPeriodOrFlockedIsBusy) {
    TSandbox sandbox;
    const std::string path = sandbox.WriteFile("data/a.txt", "booking");
    TExclusiveFile file;

    EXPECT_EQ(file.Open(path, false), TExclusiveOpen::Busy) << "just written";
    SetModificationTime(path, 60);
    EXPECT_EQ(file.Open(path, false), TExclusiveOpen::Busy) << "time stamp ahead of our clock";

    SetModificationTime(path, -10);
    ASSERT_EQ(file.Open(path, false), TExclusiveOpen::Opened);
    EXPECT_EQ(file.Guard(), TExclusiveGuard::FlockQuietPeriod);
    EXPECT_EQ(ReadAll(file), "booking");
    file.Close();

    THelperProcess writer(Holder(), {path, "flock"});
    ASSERT_EQ(writer.ReadLine(), "open");
    SetModificationTime(path, -10);
    EXPECT_EQ(file.Open(path, false), TExclusiveOpen::Busy);
}

TEST(ExclusiveFileTest, OnlyExistingRegularFilesOpen) {
    TSandbox sandbox;
    const std::string target = sandbox.WriteFile("data/a.txt", "booking");
    std::filesystem::create_symlink(target, sandbox.Path("data/link.txt"));
    std::filesystem::create_directories(sandbox.Path("data/folder"));
    mkfifo(sandbox.Path("data/fifo").c_str(), 0644);

    TExclusiveFile file;
    for (const char* name : {"data/missing.txt", "data/link.txt", "data/folder", "data/fifo"}) {
        EXPECT_EQ(file.Open(sandbox.Path(name)), TExclusiveOpen::Failed) << name;
        EXPECT_FALSE(file.IsOpen()) << name;
    }
}
