// The sender: batch sizing, the session result it reports, and, with the collector and
// the sender running on their threads, the whole road of a file and the promise that no
// input is ever lost: not through an outage, a broken answer, a backup folder that
// cannot be written, nor a process killed in the middle of a session.
#include "transfer/OFileSender.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "collect/OFileCollector.h"
#include "tests/foundation/HelperProcess.h"
#include "tests/support/Ports.h"
#include "tests/support/WaitFor.h"
#include "tests/transfer/SendTestSupport.h"
#include "transfer/OSendEngineFtp.h"
#include "transfer/OSendEngineHttp.h"

using namespace sendtest;
using namespace std::chrono_literals;

namespace {

constexpr std::int32_t kMiB = 1048576;

class FileSenderTest : public TSendTest {
protected:
    FileSenderTest() {
        AddRule("Amadeus", "data");
        sender.SendEngineHTTP().SetFilePause(5ms);
    }
    // The batch sizes of the sessions run so far, from their start lines.
    std::vector<int> SessionSizes() {
        const std::string start = "start file send session, file(s) found: ";
        std::vector<int> sizes;
        for (const std::string& line : Log()) {
            const auto at = line.find(start);
            if (at != std::string::npos) sizes.push_back(std::stoi(line.substr(at + start.size())));
        }
        return sizes;
    }

    TFileSender sender{environment, &configuration, &logData, queue.get(), &poster};
};

class FileSenderConcurrency : public FileSenderTest {
protected:
    ~FileSenderConcurrency() override {
        collector.Stop();
        sender.Stop();
    }
    void WriteInputs(int count, std::size_t size) {
        for (int i = 1; i <= count; ++i) {
            const std::string name = "PNR" + std::to_string(1000 + i) + ".txt";
            // Hex digits of a pseudo-random sequence: text that shrinks only to about half
            // in gzip, so that a large batch makes a request body larger than socket buffers.
            std::string content = name + "\n";
            std::uint32_t state = 2463534242u + static_cast<std::uint32_t>(i);
            char word[16];
            while (content.size() < size) {
                state ^= state << 13;
                state ^= state >> 17;
                state ^= state << 5;
                std::snprintf(word, sizeof word, "%08x ", state);
                content += word;
            }
            sandbox.WriteFile("data/" + name, content);
            inputs[0][name] = content;
        }
    }
    void StartWatching() {
        collector.Start();
        sender.Start();
    }
    bool AllSent() { return NamesIn(DataDir()).empty() && queue->FileCount() == 0 && !sender.NowSending(); }

    TFileCollector collector{&configuration, &logData, queue.get(), &poster};
};

}  // namespace

TEST_F(FileSenderTest, ConstructorNamesTheMissingCollaborator) {
    const std::string prefix = "TFileSender error: cannot create object, ";
    try {
        TFileSender(environment, nullptr, &logData, queue.get());
        ADD_FAILURE();
    } catch (const EFileSender& error) {
        EXPECT_EQ(error.what(), prefix + "configuration data not defined");
    }
    try {
        TFileSender(environment, &configuration, nullptr, queue.get());
        ADD_FAILURE();
    } catch (const EFileSender& error) {
        EXPECT_EQ(error.what(), prefix + "log data not defined");
    }
    try {
        TFileSender(environment, &configuration, &logData, nullptr);
        ADD_FAILURE();
    } catch (const EFileSender& error) {
        EXPECT_EQ(error.what(), prefix + "file queue not defined");
    }
}

TEST_F(FileSenderTest, APassOverAnEmptyQueueWritesAndPostsNothing) {
    sender.SendFiles();
    EXPECT_TRUE(Log().empty());
    EXPECT_TRUE(poster.Posted().empty());
}

// Entries whose files are gone make sessions that end at once, so the sizes show alone.
TEST_F(FileSenderTest, HttpsBatchesHoldAtMostTwoMebibytesAndAtLeastOneFile) {
    struct TCase {
        std::vector<std::int32_t> sizes;
        std::vector<int> sessions;
    };
    const TCase cases[] = {{{kMiB, kMiB, kMiB}, {2, 1}},
                           {{5 * kMiB, 10}, {1, 1}},
                           {{kMiB, kMiB + 1, 10}, {1, 2}},
                           {{100, 200, 300, 400}, {4}}};
    for (const TCase& c : cases) {
        logLines.clear();
        for (std::size_t i = 0; i < c.sizes.size(); ++i) EnqueueMissing(0, "f" + std::to_string(i), c.sizes[i]);
        while (queue->FileCount() > 0 && SessionSizes().size() < 10) sender.SendFiles();
        EXPECT_EQ(SessionSizes(), c.sessions);
    }
}

TEST_F(FileSenderTest, FtpBatchesHoldAtMostSixteenFiles) {
    configuration._rData.ptUploadProtocol = tptFtp;
    for (int i = 0; i < 40; ++i) EnqueueMissing(0, "f" + std::to_string(i), 10);
    // Without a host every FTP job fails at once: the batch stays and counts as errors.
    sender.SendFiles();
    EXPECT_EQ(queue->FileCount(), 40);
    while (queue->FileCount() > 5) queue->AwayFiles(1);
    sender.SendFiles();
    std::vector<std::intptr_t> errors;
    for (const TPostedMessage& posted : poster.Posted()) {
        if (posted.message == WM_FILESPROCESSED) errors.push_back(posted.lParam);
    }
    EXPECT_EQ(errors, (std::vector<std::intptr_t>{16, 5}));
}

TEST_F(FileSenderTest, ProcessedFilesAndErrorsArePostedApart) {
    StartPeer().SetControl(R"({"upload": {"refuse_files": ["ama_bad*"]}})");
    for (const char* name : {"ok1.txt", "bad1.txt", "ok2.txt", "bad2.txt", "ok3.txt"}) Enqueue(0, name, name);
    sender.SendFiles();
    const std::vector<TPostedMessage> posted = poster.Posted();
    ASSERT_FALSE(posted.empty());
    EXPECT_EQ(posted.back().message, WM_FILESPROCESSED);
    EXPECT_EQ(posted.back().wParam, 3);
    EXPECT_EQ(posted.back().lParam, 2);
    EXPECT_TRUE(NothingLostOfRule());
}

TEST_F(FileSenderConcurrency, AFileTravelsFromItsFolderToTheServerAndTheBackup) {
    StartPeer();
    WriteInputs(1, 3000);
    StartWatching();
    ASSERT_TRUE(waitFor([&] { return AllSent() && poster.Count(WM_FILESPROCESSED) == 1; }, 30s));
    collector.Stop();
    sender.Stop();

    std::vector<unsigned> messages = Messages();
    EXPECT_EQ(messages, (std::vector<unsigned>{WM_FILEQUEUED, WM_SENDINGSTARTED, WM_SENDINGDONE, WM_FILESPROCESSED}));
    EXPECT_EQ(poster.Posted().back().wParam, 1);
    EXPECT_EQ(poster.Posted().back().lParam, 0);
    EXPECT_EQ(FilesIn(BakDir()).size(), 1u);
    EXPECT_EQ(FilesIn(peer->StoreDir()), FilesIn(BakDir()));
    EXPECT_TRUE(NothingLostOfRule());
    EXPECT_FALSE(sender.Started());
}

TEST_F(FileSenderConcurrency, StopWaitsForThePassInProgress) {
    StartPeer().SetControl(R"({"upload": {"delay": 1}})");
    WriteInputs(2, 100);
    StartWatching();
    ASSERT_TRUE(waitFor([&] { return fs::exists(peer->RecordDir() + "/0001-upload.body"); }, 30s));
    EXPECT_TRUE(sender.NowSending());
    collector.Stop();
    sender.Stop();
    EXPECT_FALSE(sender.NowSending());
    EXPECT_TRUE(FilesIn(DataDir()).empty());
    EXPECT_EQ(poster.Count(WM_FILESPROCESSED), 1u);
    EXPECT_TRUE(NothingLostOfRule());
}

// ---- faults: every input stays in its folder or reaches both the server and the backup ----

enum class TFault { Unreachable, ClosedMidRequest, Garbage, BackupNotWritable };

class FileSenderFaultConcurrency : public FileSenderConcurrency, public ::testing::WithParamInterface<TFault> {
protected:
    // Starts the fault; returns the line each failed session writes.
    std::string StartFault() {
        switch (GetParam()) {
            case TFault::Unreachable:
                peer->Pause();
                return "error-sending files to remote, rollback";
            case TFault::ClosedMidRequest:
                peer->SetControl(R"({"upload": {"cut_body": true}})");
                return "error-sending files to remote, rollback";
            case TFault::Garbage:
                peer->SetControl(R"({"upload": {"body": "Fatal error: Allowed memory size exhausted"}})");
                return "[debug] Fatal error: Allowed memory size exhausted";
            case TFault::BackupNotWritable:
                fs::remove(BakDir());
                sandbox.WriteFile("data-bak", "not a folder");
                return "error-creating backup file for " + DataDir() + "/PNR1001.txt, rollback";
        }
        return {};
    }
    void EndFault() {
        switch (GetParam()) {
            case TFault::Unreachable: peer->Resume(); break;
            case TFault::ClosedMidRequest:
            case TFault::Garbage: peer->SetControl("{}"); break;
            case TFault::BackupNotWritable:
                fs::remove(BakDir());
                fs::create_directories(BakDir());
                break;
        }
    }
};

TEST_P(FileSenderFaultConcurrency, NothingIsLostWhileTheFaultLastsAndAllIsSentAfterIt) {
    StartPeer();
    configuration._rData.rWatchingRules.iCollectorPackageMaxSize = 2048;  // all five in one pass and batch
    WriteInputs(5, 400000);
    const std::string failure = StartFault();
    StartWatching();
    // Two failed sessions: the batch is tried again, not given up.
    ASSERT_TRUE(waitFor([&] { return CountLogged(failure) >= 2; }, 60s)) << failure;
    EXPECT_TRUE(NothingLostOfRule());
    EXPECT_EQ(FilesIn(DataDir()).size(), 5u);

    EndFault();
    ASSERT_TRUE(waitFor([&] { return AllSent(); }, 60s));
    collector.Stop();
    sender.Stop();
    EXPECT_TRUE(NothingLostOfRule());
    EXPECT_EQ(FilesIn(BakDir()).size(), 5u);
    EXPECT_TRUE(FilesIn(TempDir()).empty());
}

INSTANTIATE_TEST_SUITE_P(Faults, FileSenderFaultConcurrency,
                         ::testing::Values(TFault::Unreachable, TFault::ClosedMidRequest, TFault::Garbage,
                                           TFault::BackupNotWritable),
                         [](const ::testing::TestParamInfo<TFault>& param) {
                             switch (param.param) {
                                 case TFault::Unreachable: return std::string("ServerUnreachable");
                                 case TFault::ClosedMidRequest: return std::string("ConnectionClosedMidRequest");
                                 case TFault::Garbage: return std::string("GarbageAnswer");
                                 case TFault::BackupNotWritable: return std::string("BackupNotWritable");
                             }
                             return std::string();
                         });

// A process running the collector and the sender is killed mid-session twice, once while
// it completes files and once while its request is on the wire; a third run finishes.
TEST_F(FileSenderConcurrency, NothingIsLostWhenTheProcessIsKilledMidSession) {
    StartPeer().SetControl(R"({"upload": {"delay": 0.3}})");
    WriteInputs(40, 32 * 1024);
    const auto& base = configuration._rData.rHttpTransfer.rBase;
    const std::string log = sandbox.Path("driver.log");
    auto driver = [&] {
        return std::make_unique<THelperProcess>(
            HelperProgram("send_driver"), std::vector<std::string>{DataDir(), BakDir(), base.sUrl, base.sPort,
                                                                  mutexName, sandbox.Root().string(), log});
    };
    const auto uploads = [&] {
        std::size_t n = 0;
        for (const std::string& name : NamesIn(peer->RecordDir())) n += name.ends_with("-upload.body");
        return n;
    };
    const auto withLog = [&] { return "driver log:\n" + TSandbox::ReadFile(log); };

    auto first = driver();
    ASSERT_EQ(first->ReadLine(), "running");
    ASSERT_TRUE(waitFor([&] { return !NamesIn(BakDir()).empty(); }, 60s)) << withLog();
    first->Kill();
    first->Wait();
    EXPECT_TRUE(NothingLostOfRule()) << withLog();
    EXPECT_FALSE(FilesIn(DataDir()).empty()) << "killed too late to be mid-session";

    auto second = driver();
    ASSERT_EQ(second->ReadLine(), "running");
    const std::size_t before = uploads();
    ASSERT_TRUE(waitFor([&] { return uploads() > before; }, 60s)) << withLog();
    second->Kill();
    second->Wait();
    EXPECT_TRUE(NothingLostOfRule()) << withLog();

    auto third = driver();
    ASSERT_EQ(third->ReadLine(), "running");
    ASSERT_TRUE(waitFor([&] { return NamesIn(DataDir()).empty(); }, 120s)) << withLog();
    third->CloseInput();
    EXPECT_EQ(third->ReadLine(30s), "stopped");
    EXPECT_TRUE(NothingLostOfRule()) << withLog();
    EXPECT_EQ(peer->Problems(), "");
}
