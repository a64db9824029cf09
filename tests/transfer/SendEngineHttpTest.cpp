// The HTTPS send engine against the local filekey server: what crosses the wire, where
// every file of a batch ends up, and how each kind of failure leaves the files.
#include "transfer/OSendEngineHttp.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <pugixml.hpp>

#include "foundation/VeltIPCMutex.h"
#include "tests/foundation/HelperProcess.h"
#include "tests/support/TestCertificate.h"
#include "tests/support/WaitFor.h"
#include "tests/transfer/SendTestSupport.h"

using namespace sendtest;

namespace {

constexpr std::int64_t kMillion = 1000000;

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

// The "FileKey" elements of a recorded upload request.
std::vector<pugi::xml_node> FileKeysOf(pugi::xml_document& document, const std::string& body) {
    EXPECT_TRUE(document.load_buffer(body.data(), body.size()));
    std::vector<pugi::xml_node> keys;
    for (const pugi::xml_node& key : document.document_element().children("FileKey")) keys.push_back(key);
    return keys;
}

std::size_t CountRequests(const TFilekeyPeer& peer, const std::string& script) {
    std::size_t n = 0;
    for (const std::string& line : peer.Requests()) n += line.find(script) != std::string::npos;
    return n;
}

class SendEngineHttpTest : public TSendTest {
protected:
    SendEngineHttpTest() {
        AddRule("Amadeus", "data");
        engine.SetFilePause(std::chrono::milliseconds(5));
        engine.SetAwayPause(std::chrono::milliseconds(50));
    }
    std::string Transfer(const std::string& stem, const std::string& extension = ".txt") {
        return "ama_" + stem + engine.Timesig() + extension;
    }

    TSendEngineHTTP engine{environment, &configuration, &logData, queue.get(), &poster};
};

class SendEngineHttpConcurrency : public SendEngineHttpTest {};

}  // namespace

TEST_F(SendEngineHttpTest, FilesTravelGzippedAndEndInTheBackupDirectory) {
    StartPeer();
    const std::string text = "PNR0001 MUC-JFK 12MAR \xC3\xA4\n" + std::string(5000, 'x');
    Enqueue(0, "PNR0001.txt", text);
    Enqueue(0, "ONE", "1");

    EXPECT_EQ(engine.SendFiles(2), 2 * kMillion);

    const std::string first = Transfer("PNR0001"), second = Transfer("ONE", "");
    EXPECT_TRUE(FilesIn(DataDir()).empty());
    EXPECT_EQ(FilesIn(BakDir()), (std::map<std::string, std::string>{{first, text}, {second, "1"}}));
    EXPECT_EQ(FilesIn(peer->StoreDir()), FilesIn(BakDir()));
    EXPECT_TRUE(FilesIn(TempDir()).empty());
    EXPECT_EQ(queue->FileCount(), 0);
    EXPECT_EQ(Messages(), (std::vector<unsigned>{WM_SENDINGSTARTED, WM_SENDINGDONE}));
    EXPECT_EQ(peer->Problems(), "");

    ASSERT_EQ(peer->Requests().size(), 1u);  // the certificate check is off: no verify request
    pugi::xml_document document;
    const auto keys = FileKeysOf(document, peer->RequestBody(1));
    ASSERT_EQ(keys.size(), 2u);
    std::vector<std::string> children;
    for (const pugi::xml_node& child : keys[0].children()) children.push_back(child.name());
    EXPECT_EQ(children, (std::vector<std::string>{"Name", "KmrCode", "KmrEncoding", "ContentType", "Content", "SHA1"}));
    EXPECT_STREQ(keys[0].child_value("Name"), first.c_str());
    EXPECT_STREQ(keys[0].child_value("KmrCode"), "ama");
    EXPECT_STREQ(keys[0].child_value("KmrEncoding"), "iso-8859-1");
    EXPECT_STREQ(keys[0].child_value("ContentType"), "gzip/base64");
    EXPECT_EQ(keys[0].child_value("SHA1"), StampSha1(text));
    const std::string oneByte = Base64Decode(keys[1].child_value("Content"));
    EXPECT_EQ(oneByte.size(), 21u);
    EXPECT_EQ(oneByte.substr(0, 10), std::string("\x1F\x8B\x08\0\0\0\0\0\0\0", 10));

    for (const char* line : {"start file send session, file(s) found: 2", "files uploaded correctly: 2",
                             "files processed: 2", "end file send session",
                             "JOB transaction end, run total/run done/rollback done:6-6-0"}) {
        EXPECT_TRUE(Logged(line)) << line;
    }
    EXPECT_TRUE(Logged("session id: " + engine.Timesig()));
}

TEST_F(SendEngineHttpTest, ARefusedFileStaysAndTheBatchLeavesTheQueue) {
    StartPeer().SetControl(R"({"upload": {"file_status": ["0", "1", "0"]}})");
    for (const char* name : {"a.txt", "b.txt", "c.txt"}) Enqueue(0, name, std::string("content of ") + name);

    EXPECT_EQ(engine.SendFiles(3), 2 * kMillion + 1);

    EXPECT_EQ(FilesIn(DataDir()), (std::map<std::string, std::string>{{"b.txt", "content of b.txt"}}));
    EXPECT_EQ(FilesIn(BakDir()).size(), 2u);
    EXPECT_TRUE(NothingLostOfRule());
    EXPECT_EQ(queue->FileCount(), 0);  // the collector queues the refused file again
    EXPECT_TRUE(FilesIn(TempDir()).empty());
    EXPECT_TRUE(Logged("warning-some files uploaded with errors to remote, they will be repeated"));
    EXPECT_TRUE(Logged("[debug] file not uploaded:" + Transfer("b") + ", filekey server explanation: file stored"));
    EXPECT_TRUE(Logged("files processed: 2"));
}

TEST_F(SendEngineHttpTest, TooFewFileKeysFailTheJobAndTheSameBatchGoesNextTime) {
    StartPeer().SetControl(R"({"upload": {"filekeys": 2}})");
    for (const char* name : {"a.txt", "b.txt", "c.txt"}) Enqueue(0, name, name);

    EXPECT_EQ(engine.SendFiles(3), 3);
    EXPECT_TRUE(Logged("[debug] bad response data-not all filekeys reported ( 3, 2 )"));
    EXPECT_EQ(FilesIn(DataDir()).size(), 3u);
    EXPECT_TRUE(FilesIn(BakDir()).empty());
    EXPECT_TRUE(FilesIn(TempDir()).empty());
    EXPECT_EQ(QueuedNames(), (std::set<std::string>{"a.txt", "b.txt", "c.txt"}));
    EXPECT_EQ(Messages(), (std::vector<unsigned>{WM_SENDINGSTARTED, WM_SENDINGFAILED}));

    peer->SetControl("{}");
    EXPECT_EQ(engine.SendFiles(3), 3 * kMillion);
    EXPECT_TRUE(FilesIn(DataDir()).empty());
    EXPECT_TRUE(NothingLostOfRule());
}

TEST_F(SendEngineHttpTest, EveryBadAnswerFailsTheJobAndKeepsTheFiles) {
    struct TCase {
        const char* control;
        const char* line;
    };
    const TCase cases[] = {
        {R"({"upload": {"body": "<html>busy</html"}})", "[debug] <html>busy</html"},
        {R"({"upload": {"root": "ZelkoVerifyResult"}})", "[debug] bad response data-invalid root node"},
        {R"({"upload": {"drop": ["Password"]}})", "[debug] bad response data-no pwd data"},
        {R"({"upload": {"drop": ["Status"]}})", "[debug] bad response data-no verify status data"},
        {R"({"upload": {"password": "c2Vj*"}})", "[debug] bad response data-cannot decode data"},
        {R"({"upload": {"user_name": "intruder"}})", "[debug] bad response data-invalid user/password data"},
        {R"({"upload": {"status": "zero"}})", "[debug] bad response data-unknown status:zero"},
        {R"({"upload": {"status": "3", "description": "quota exceeded"}})",
         "error-status:3, filekey server explanation:quota exceeded"},
        {R"({"upload": {"file_status": ["7"]}})", "[debug] bad response data-too less file stauses ( 1, 0 )"},
        {R"({"upload": {"drop_file_elements": ["Description"]}})",
         "[debug] bad response data-too less file descriptions ( 1, 0 )"},
        {R"({"upload": {"drop_file_elements": ["Name"]}})", "[debug] bad response data-too less file names ( 1, 0 )"},
    };
    StartPeer();
    Enqueue(0, "PNR0001.txt", "booking");
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.control);
        peer->SetControl(c.control);
        EXPECT_EQ(engine.SendFiles(1), 1);
        EXPECT_TRUE(Logged(c.line));
        EXPECT_EQ(QueuedNames(), std::set<std::string>{"PNR0001.txt"});
        EXPECT_TRUE(FilesIn(BakDir()).empty());
        EXPECT_TRUE(FilesIn(TempDir()).empty());
        EXPECT_TRUE(NothingLostOfRule());
    }
    peer->SetControl("{}");
    EXPECT_EQ(engine.SendFiles(1), kMillion);
    EXPECT_TRUE(NothingLostOfRule());
    EXPECT_TRUE(FilesIn(DataDir()).empty());
}

TEST_F(SendEngineHttpTest, AFileStillBeingWrittenIsLeftOutAndTheOthersAreSent) {
    StartPeer();
    Enqueue(0, "a.txt", "a");
    const std::string busy = Enqueue(0, "b.txt", "b");
    Enqueue(0, "c.txt", "c");
    THelperProcess writer(HelperProgram("hold_open_for_write"), {busy});
    ASSERT_EQ(writer.ReadLine(), "open");

    EXPECT_EQ(engine.SendFiles(3), 2 * kMillion + 1);
    EXPECT_EQ(CountLogged("time(s) unsuccessful"), 10u);
    EXPECT_TRUE(Logged("warning-file " + busy + " not prepared"));
    pugi::xml_document document;
    EXPECT_EQ(FileKeysOf(document, peer->RequestBody(1)).size(), 2u);
    EXPECT_EQ(FilesIn(DataDir()), (std::map<std::string, std::string>{{"b.txt", "b"}}));
    EXPECT_EQ(queue->FileCount(), 0);

    // Alone in its batch it fails before any request and leaves the queue head free.
    Enqueue(0, "b.txt", "b");
    EXPECT_EQ(engine.SendFiles(1), 1);
    EXPECT_EQ(peer->Requests().size(), 1u);
    EXPECT_TRUE(Logged("warning-no file of the batch prepared-1 file(s) removed from queue"));
    EXPECT_EQ(queue->FileCount(), 0);
    EXPECT_TRUE(FilesIn(TempDir()).empty());
    EXPECT_TRUE(NothingLostOfRule());

    writer.CloseInput();
    EXPECT_EQ(writer.ReadLine(), "closed");
    Enqueue(0, "b.txt", "b");
    EXPECT_EQ(engine.SendFiles(1), kMillion);
    EXPECT_TRUE(NothingLostOfRule());
}

TEST_F(SendEngineHttpTest, EntriesWhoseInputVanishedAreDroppedWithoutWaiting) {
    StartPeer();
    EnqueueMissing(0, "gone.txt", 10);
    Enqueue(0, "here.txt", "here");

    EXPECT_EQ(engine.SendFiles(2), kMillion + 1);
    EXPECT_EQ(CountLogged("time(s) unsuccessful"), 1u);  // no retries for a file that is gone
    EXPECT_TRUE(Logged("warning-file " + DataDir() + "/gone.txt no longer in its data directory-queue entry dropped"));
    EXPECT_EQ(queue->FileCount(), 0);

    EnqueueMissing(0, "gone.txt", 10);
    EXPECT_EQ(engine.SendFiles(1), 1);
    EXPECT_EQ(peer->Requests().size(), 1u);
    EXPECT_EQ(queue->FileCount(), 0);
    EXPECT_EQ(Messages().back(), WM_SENDINGFAILED);
    EXPECT_TRUE(NothingLostOfRule());
}

TEST_F(SendEngineHttpTest, CertificateCheckOffOnPinnedAndChanged) {
    StartPeer();
    Enqueue(0, "a.txt", "a");
    configuration._rData.rHttpTransfer.rCheck.lValidCertOnWatchAndUpload = true;

    // Nothing pinned yet: the unknown certificate stops the job before any upload.
    EXPECT_EQ(engine.SendFiles(1), 1);
    EXPECT_TRUE(Logged("error-while checking remote host certificate-rollback"));
    EXPECT_EQ(CountRequests(*peer, "upload.php"), 0u);
    EXPECT_EQ(queue->FileCount(), 1);

    // Pinned as the configuration screen pins it: the job checks, then uploads.
    TSenderHTTP sender(environment, &configuration, &logData);
    const auto& http = configuration._rData.rHttpTransfer;
    ASSERT_EQ(sender.CheckRemoteCertificate(false, false, http.rBase, http.rProxy, http.rCert),
              kCheckUnknownCertificate);
    const TCertData& cert = sender.CertData();
    configuration._rData.rHttpTransfer.rCert = {"127.0.0.1", cert.sCert, cert.sFinger, cert.sFingerSha1,
                                                cert.sServerSubject, cert.sServerIssuer};
    EXPECT_EQ(engine.SendFiles(1), kMillion);
    const auto requests = peer->Requests();
    ASSERT_GE(requests.size(), 2u);
    EXPECT_NE(requests[requests.size() - 2].find("/filekey/verify.php"), std::string::npos);
    EXPECT_NE(requests.back().find("/filekey/upload.php"), std::string::npos);

    // A renewed certificate is refused again.
    peer->Restart(MakeSelfSignedCertificate(sandbox.Path("peer"), "renewed"));
    PointAt(*peer);
    Enqueue(0, "b.txt", "b");
    EXPECT_EQ(engine.SendFiles(1), 1);
    EXPECT_EQ(CountRequests(*peer, "upload.php"), 0u);
    EXPECT_EQ(queue->FileCount(), 1);
    EXPECT_TRUE(NothingLostOfRule());

    configuration._rData.rHttpTransfer.rCheck.lValidCertOnWatchAndUpload = false;
    EXPECT_EQ(engine.SendFiles(1), kMillion);
    EXPECT_EQ(CountRequests(*peer, "verify.php"), 1u);  // only the one the check above made
}

TEST_F(SendEngineHttpTest, RowsSharingACodeSendTheEncodingOfTheFirstRow) {
    StartPeer();
    AddRule("Toma", "toma");
    AddRule("TomaIrisPlus", "tomairis");
    asCRSTypeEncodings[17] = "iso-8859-2";
    asCRSTypeEncodings[18] = "utf8";
    Enqueue(1, "t1.txt", "one");
    Enqueue(2, "t2.txt", "two");

    EXPECT_EQ(engine.SendFiles(2), 2 * kMillion);
    pugi::xml_document document;
    const auto keys = FileKeysOf(document, peer->RequestBody(1));
    ASSERT_EQ(keys.size(), 2u);
    for (const pugi::xml_node& key : keys) {
        EXPECT_STREQ(key.child_value("KmrCode"), "toma");
        EXPECT_STREQ(key.child_value("KmrEncoding"), "iso-8859-2");
    }
    EXPECT_EQ(FilesIn(BakDir(1)), (std::map<std::string, std::string>{{"toma_t1" + engine.Timesig() + ".txt", "one"}}));
    EXPECT_EQ(FilesIn(BakDir(2)), (std::map<std::string, std::string>{{"toma_t2" + engine.Timesig() + ".txt", "two"}}));
}

TEST_F(SendEngineHttpTest, ABackupThatCannotBeWrittenKeepsTheInput) {
    StartPeer();
    fs::remove(BakDir());
    sandbox.WriteFile("data-bak", "a file where the backup folder should be");
    const std::string input = Enqueue(0, "a.txt", "a");

    EXPECT_EQ(engine.SendFiles(1), 1);
    EXPECT_TRUE(Logged("error-creating backup file for " + input + ", rollback"));
    EXPECT_EQ(FilesIn(DataDir()), (std::map<std::string, std::string>{{"a.txt", "a"}}));
    EXPECT_EQ(queue->FileCount(), 0);  // collected again later
    EXPECT_TRUE(FilesIn(TempDir()).empty());
    EXPECT_TRUE(NothingLostOfRule());
}

TEST_F(SendEngineHttpTest, AnInputRewrittenDuringTheUploadIsNotDeleted) {
    StartPeer().SetControl(R"({"upload": {"delay": 1}})");
    const std::string input = Enqueue(0, "a.txt", "first version");
    auto job = std::async(std::launch::async, [&] { return engine.SendFiles(1); });
    ASSERT_TRUE(waitFor([&] { return fs::exists(peer->RecordDir() + "/0001-upload.body"); }));
    sandbox.WriteFile("data/a.txt", "second version, longer");

    EXPECT_EQ(job.get(), 1);
    EXPECT_TRUE(Logged("[debug] file " + input + " changed since it was copied"));
    EXPECT_TRUE(Logged("error-deleting file " + input + " from input, rollback"));
    EXPECT_EQ(FilesIn(DataDir()), (std::map<std::string, std::string>{{"a.txt", "second version, longer"}}));
    EXPECT_TRUE(FilesIn(BakDir()).empty());
    EXPECT_EQ(queue->FileCount(), 0);
}

// A killed run leaves its temporary copies; a session started again in the same second
// would meet them under its own names.
TEST_F(SendEngineHttpTest, AStartingEngineRemovesTemporaryCopiesOfAnEarlierRun) {
    const std::vector<std::string> leftovers = {"ama_PNR000120240102030405.txt", "toma_README20240102030405",
                                                "sabre_a.txt20240102030405.txt"};
    const std::vector<std::string> others = {"i_zelkotransfer.zip", "ama_notes.txt", "xyz_PNR20240102030405.txt",
                                             "ama_short2024.txt"};
    for (const auto& name : leftovers) WriteFile(TempDir() + name, "x");
    for (const auto& name : others) WriteFile(TempDir() + name, "x");

    TSendEngineHTTP restarted(environment, &configuration, &logData, queue.get());
    std::set<std::string> expected(others.begin(), others.end());
    EXPECT_EQ(NamesIn(TempDir()), expected);
}

TEST_F(SendEngineHttpTest, ConstructorNamesTheMissingCollaborator) {
    struct TCase {
        TConfigurationData* configuration;
        TLogData* log;
        TFileQueue* queue;
        const char* message;
    };
    const TCase cases[] = {
        {nullptr, &logData, queue.get(), "TSendEngineHTTP error: cannot create object, configuration data not defined"},
        {&configuration, nullptr, queue.get(), "TSendEngineHTTP error: cannot create object, log data not defined"},
        {&configuration, &logData, nullptr, "TSendEngineHTTP error: cannot create object, file queue not defined"}};
    for (const TCase& c : cases) {
        try {
            TSendEngineHTTP(environment, c.configuration, c.log, c.queue);
            ADD_FAILURE() << c.message;
        } catch (const ESendEngine& error) {
            EXPECT_STREQ(error.what(), c.message);
        }
    }
}

// A collector holding the queue's mutex must not make a finished job roll back.
TEST_F(SendEngineHttpConcurrency, RemovingTheBatchWaitsForTheQueueMutex) {
    StartPeer();
    Enqueue(0, "a.txt", "a");
    std::promise<void> release;
    std::promise<void> held;
    std::thread holder([&] {
        TMutex mutex(mutexName);
        const bool owned = mutex.Get(1000);
        EXPECT_TRUE(owned);
        held.set_value();
        release.get_future().wait();
        if (owned) mutex.Release();
    });
    held.get_future().wait();
    auto job = std::async(std::launch::async, [&] { return engine.SendFiles(1); });
    ASSERT_TRUE(waitFor([&] { return !NamesIn(BakDir()).empty(); }));
    // Long enough for a few attempts to fail, well inside the ten the engine makes.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    release.set_value();
    holder.join();

    EXPECT_EQ(job.get(), kMillion);
    EXPECT_TRUE(Logged("[debug] away files 1 time(s) unsuccessful"));
    EXPECT_EQ(queue->FileCount(), 0);
    EXPECT_TRUE(NothingLostOfRule());
}
