// The engine base: transfer names, the copy that never overwrites with its retries, the
// delete helper, and the session contract every engine follows; the platform copy below it.
#include "transfer/OSendEngine.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "foundation/platform/FileCopy.h"
#include "tests/foundation/HelperProcess.h"
#include "tests/transfer/SendTestSupport.h"

using namespace sendtest;
using platform::TCopyResult;

namespace {

// An engine whose job is scripted by the test; it exposes the helpers.
class TScriptedEngine : public TSendEngine {
public:
    TScriptedEngine(const TEnvironment& environment, TConfigurationData* configuration, TLogData* log,
                    TFileQueue* queue, TMessagePoster* poster)
        : TSendEngine("TScriptedEngine", environment, configuration, log, queue, poster) {
        _tsJob = std::make_unique<TTransactionSimple>("JOB", 1);
        _tsJob->DefineProcedure("work", 1, [this] {
            _iFilesProcessed = processed;
            return succeed;
        }, {});
    }
    std::int64_t SendFiles(std::int32_t iFilesNumb) override { return RunSession(iFilesNumb, "scripted session"); }
    using TSendEngine::CopyFileWithRetries;
    using TSendEngine::DeleteFileWithRetries;

    bool succeed = true;
    std::int32_t processed = 0;
};

class SendEngineTest : public TSendTest {
protected:
    SendEngineTest() { engine.SetFilePause(std::chrono::milliseconds(5)); }
    TScriptedEngine engine{environment, &configuration, &logData, queue.get(), &poster};
};

}  // namespace

TEST(SendEngineNames, SuffixGoesBeforeTheLastExtensionBehindTheCode) {
    struct TCase {
        const char* name;
        int row;
        const char* expected;
    };
    const TCase cases[] = {{"PNR0001.txt", 1, "ama_PNR0001_S_.txt"},
                           {"README", 1, "ama_README_S_"},
                           {"a.txt.txt", 1, "ama_a.txt_S_.txt"},
                           {"archive.tar.gz", 16, "sabre_archive.tar_S_.gz"},
                           {".profile", 17, "toma__S_.profile"},
                           {"TOMA.DAT", 18, "toma_TOMA_S_.DAT"}};
    for (const TCase& c : cases) {
        EXPECT_EQ(TSendEngine::MakeTransferFileName(c.name, "_S_", c.row), c.expected) << c.name;
    }
}

TEST_F(SendEngineTest, SessionPostsCountsAndReturnsProcessedAndErrors) {
    engine.processed = 3;
    EXPECT_EQ(engine.SendFiles(5), 3000002);
    EXPECT_EQ(engine.FilesErrors(), 2);
    EXPECT_EQ(Messages(), (std::vector<unsigned>{WM_SENDINGSTARTED, WM_SENDINGDONE}));
    // The job's own debug lines reach the log only while the session runs it.
    EXPECT_TRUE(Logged("JOB transaction end, run total/run done/rollback done:1-1-0"));
    const std::vector<std::string> expectedTail = {"scripted session", "files processed: 3", "end file send session"};
    std::vector<std::string> tail;
    for (const std::string& line : Log()) {
        for (const std::string& text : expectedTail) {
            if (line.ends_with("SEND " + text)) tail.push_back(text);
        }
    }
    EXPECT_EQ(tail, expectedTail);

    engine.succeed = false;
    engine.processed = 0;
    EXPECT_EQ(engine.SendFiles(4), 4);
    EXPECT_EQ(Messages().back(), WM_SENDINGFAILED);

    // Outside debug mode the job's lines are dropped; the session lines stay.
    configuration._rData.rSupport.lDebugModeInLog = false;
    const std::size_t before = Log().size();
    engine.SendFiles(1);
    const std::vector<std::string> after(Log().begin() + static_cast<std::ptrdiff_t>(before), Log().end());
    EXPECT_FALSE(AnyLineHolds(after, "TRANSACTIONSIMPLE"));
    EXPECT_TRUE(AnyLineEndsWith(after, "] files processed: 0"));
}

TEST_F(SendEngineTest, ConstructorNamesTheClassAndTheMissingCollaborator) {
    try {
        TScriptedEngine(environment, &configuration, &logData, nullptr, nullptr);
        FAIL();
    } catch (const ESendEngine& error) {
        EXPECT_STREQ(error.what(), "TScriptedEngine error: cannot create object, file queue not defined");
    }
}

TEST_F(SendEngineTest, CopyOntoAnExistingFileFailsAfterTenAttempts) {
    const std::string source = sandbox.WriteFile("a.txt", "new");
    const std::string target = sandbox.WriteFile("b.txt", "old");
    EXPECT_FALSE(engine.CopyFileWithRetries(source, target));
    EXPECT_EQ(TSandbox::ReadFile(target), "old");
    for (int attempt = 1; attempt <= 10; ++attempt) {
        EXPECT_TRUE(Logged("[debug] copy file " + source + " to " + target + " " + std::to_string(attempt) +
                           " time(s) unsuccessful"));
    }
    EXPECT_EQ(CountLogged("time(s) unsuccessful"), 10u);
}

TEST_F(SendEngineTest, CopyRetriesUntilTheWriterLetsGo) {
    const std::string source = sandbox.WriteFile("a.txt", "booking");
    THelperProcess writer(HelperProgram("hold_open_for_write"), {source});
    ASSERT_EQ(writer.ReadLine(), "open");
    engine.SetFilePause(std::chrono::milliseconds(200));
    // The writer finishes while the copy is still retrying (ten attempts span two seconds).
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        writer.CloseInput();
    });
    EXPECT_TRUE(engine.CopyFileWithRetries(source, sandbox.Path("copy.txt")));
    closer.join();
    EXPECT_EQ(TSandbox::ReadFile(sandbox.Path("copy.txt")), "booking");
    EXPECT_GE(CountLogged("time(s) unsuccessful"), 1u);
}

TEST_F(SendEngineTest, DeleteRemovesAFileAndGivesUpAtOnceOnAMissingOne) {
    const std::string path = sandbox.WriteFile("a.txt", "x");
    EXPECT_TRUE(engine.DeleteFileWithRetries(path));
    EXPECT_FALSE(fs::exists(path));
    EXPECT_FALSE(engine.DeleteFileWithRetries(path));
    EXPECT_EQ(CountLogged("[debug] delete file " + path + " 1 time(s) unsuccessful"), 1u);
    EXPECT_EQ(CountLogged("time(s) unsuccessful"), 1u);
}

// ---- the platform copy ----

TEST(FileCopyTest, CopyKeepsBytesAndModificationTimeAndReportsTheSourceState) {
    TSandbox sandbox;
    std::string content(300000, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
    const std::string source = sandbox.WriteFile("in/a.bin", content);
    const struct timespec times[2] = {{1000000000, 123456789}, {1200000000, 987654321}};
    ASSERT_EQ(utimensat(AT_FDCWD, source.c_str(), times, 0), 0);

    platform::TFileState state;
    ASSERT_EQ(platform::CopyFileNoOverwrite(source, sandbox.Path("a.bin"), &state), TCopyResult::Copied);
    EXPECT_EQ(TSandbox::ReadFile(sandbox.Path("a.bin")), content);
    const platform::TFileState copy = platform::FileStateOf(sandbox.Path("a.bin"));
    EXPECT_EQ(copy.iModifiedSeconds, 1200000000);
    EXPECT_EQ(copy.iModifiedNanoseconds, 987654321);
    EXPECT_EQ(state, platform::FileStateOf(source));
    EXPECT_NE(state, copy);  // another inode
}

TEST(FileCopyTest, FailuresLeaveNoTargetAndNeverTouchAnExistingOne) {
    TSandbox sandbox;
    const std::string source = sandbox.WriteFile("a.txt", "new");
    const std::string existing = sandbox.WriteFile("b.txt", "old");
    EXPECT_EQ(platform::CopyFileNoOverwrite(source, existing), TCopyResult::TargetExists);
    EXPECT_EQ(TSandbox::ReadFile(existing), "old");
    EXPECT_EQ(platform::CopyFileNoOverwrite(sandbox.Path("none.txt"), sandbox.Path("c.txt")),
              TCopyResult::SourceFailed);
    EXPECT_EQ(platform::CopyFileNoOverwrite(source, sandbox.Path("no/such/dir/c.txt")), TCopyResult::TargetFailed);
    EXPECT_EQ(platform::CopyFileNoOverwrite(sandbox.Path(""), sandbox.Path("d.txt")), TCopyResult::SourceFailed);
    {
        THelperProcess writer(HelperProgram("hold_open_for_write"), {source});
        ASSERT_EQ(writer.ReadLine(), "open");
        EXPECT_EQ(platform::CopyFileNoOverwrite(source, sandbox.Path("e.txt")), TCopyResult::SourceBusy);
    }
    for (const char* name : {"c.txt", "d.txt", "e.txt"}) EXPECT_FALSE(fs::exists(sandbox.Path(name))) << name;

    EXPECT_FALSE(platform::RemoveFile(sandbox.Path("in")));
    EXPECT_TRUE(platform::RemoveFile(source));
    EXPECT_FALSE(platform::FileExists(source));
}

TEST(FileCopyTest, ACopyThatBreaksOffRemovesThePartialTarget) {
    TSandbox sandbox;
    const std::string source = sandbox.WriteFile("a.txt", std::string(100000, 'x'));
    // A file size limit makes the write fail part-way, as a full disk would.
    struct rlimit previous {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &previous), 0);
    const auto previousHandler = signal(SIGXFSZ, SIG_IGN);
    struct rlimit limited = previous;
    limited.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    const TCopyResult result = platform::CopyFileNoOverwrite(source, sandbox.Path("b.txt"));
    setrlimit(RLIMIT_FSIZE, &previous);
    signal(SIGXFSZ, previousHandler);

    EXPECT_EQ(result, TCopyResult::WriteFailed);
    EXPECT_FALSE(fs::exists(sandbox.Path("b.txt")));
}
