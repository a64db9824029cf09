// The FTP send engine against the local FTP server: what crosses the wire, what lands
// on the server and in the backup directory, the host loop, and how each kind of
// failure leaves the files.
#include "transfer/OSendEngineFtp.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/FtpPeer.h"
#include "tests/support/Ports.h"
#include "tests/transfer/SendTestSupport.h"

using namespace sendtest;

namespace {

constexpr std::int64_t kMillion = 1000000;

// Stamps computed here with the libraries directly, apart from the program's own.
std::string Crc32Of(const std::string& content) {
    const uLong crc = crc32(0L, reinterpret_cast<const Bytef*>(content.data()), static_cast<uInt>(content.size()));
    char text[9];
    std::snprintf(text, sizeof text, "%08lX", crc);
    return text;
}

std::string DigestOf(const std::string& content, const EVP_MD* type) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(content.data(), content.size(), digest, &length, type, nullptr);
    std::string text;
    char hex[3];
    for (unsigned int i = 0; i < length; ++i) {
        std::snprintf(hex, sizeof hex, "%02x", digest[i]);
        text += hex;
    }
    return text;
}

std::string BinaryContent(std::size_t size, unsigned seed) {
    std::string content(size, '\0');
    for (std::size_t i = 0; i < size; ++i) content[i] = static_cast<char>((i * seed + i / 253) & 0xFF);
    return content;
}

std::vector<std::string> SplitCrLf(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
        lines.push_back(text.substr(start, end - start));
    }
    if (start != text.size()) lines.push_back(text.substr(start));  // an unterminated rest
    return lines;
}

// The message of a log line: what follows the stamp (and the marker in debug mode).
std::string MessageOf(const std::string& line) {
    std::size_t start = line.find("] ");
    start = start == std::string::npos ? 0 : start + 2;
    for (const char* marker : {"SENDERFTP ", "SEND ", "TRANSACTIONSIMPLE "}) {
        if (line.compare(start, std::strlen(marker), marker) == 0) return line.substr(start + std::strlen(marker));
    }
    return line.substr(start);
}

std::size_t CountOf(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
}

class SendEngineFtpTest : public TSendTest {
protected:
    SendEngineFtpTest() {
        AddRule("Amadeus", "data");
        UseFtp();
        configuration._rData.rFtpTransfer.lPassive = true;
        engine.SetFilePause(std::chrono::milliseconds(5));
    }

    // Starts a server and appends it to the host list.
    TFtpPeer& AddServer(const std::string& name, TFtpPeerOptions options = {}) {
        servers.push_back(std::make_unique<TFtpPeer>(sandbox.Path(name), std::move(options)));
        AddHost("127.0.0.1", servers.back()->Port());
        return *servers.back();
    }
    void AddHost(const std::string& host, int port) {
        configuration._rData.rFtpTransfer.slHostNames.push_back(host);
        configuration._rData.rFtpTransfer.slHostPorts.push_back(std::to_string(port));
    }
    // Stores the certificate the server presents as the known one of the host name.
    void Pin(const TFtpPeer& server, const std::string& host = "127.0.0.1") {
        TSenderFTP probe(&configuration, &logData, 0);
        ASSERT_EQ(kFtpCheckUnknownCertificate,
                  probe.CheckRemoteCertificate(false, false, false, "agent", "agent", "secret", host,
                                               server.PortText(), 5, true, true));
        AddKnownFtpCertificate(configuration._rData.rFtpTransfer, host, probe.CertData());
        TakeLogLines(logData);
    }
    std::string Transfer(const std::string& stem, const std::string& extension = ".txt") const {
        return "ama_" + stem + engine.RemoteDir() + extension;
    }
    std::vector<std::string> LogMessages() {
        std::vector<std::string> messages;
        for (const std::string& line : Log()) messages.push_back(MessageOf(line));
        return messages;
    }
    std::string Host(const TFtpPeer& server) const { return "127.0.0.1:" + server.PortText(); }

    // Every input is still in its data directory, or on one of the servers and in the
    // backup directory under its transfer name, with the same bytes everywhere.
    ::testing::AssertionResult NothingLost() {
        const auto data = FilesIn(DataDir());
        const auto bak = FilesIn(BakDir());
        for (const auto& [name, content] : inputs[0]) {
            if (const auto at = data.find(name); at != data.end()) {
                if (at->second != content) return ::testing::AssertionFailure() << name << " changed in place";
                continue;
            }
            bool found = false;
            for (const auto& [transferName, copy] : bak) {
                if (copy != content || transferName.rfind("ama_", 0) != 0) continue;
                for (const auto& server : servers) {
                    for (const auto& entry : fs::recursive_directory_iterator(server->RootDir())) {
                        if (entry.path().filename() == transferName &&
                            TSandbox::ReadFile(entry.path().string()) == content) {
                            found = true;
                        }
                    }
                }
            }
            if (!found) return ::testing::AssertionFailure() << name << " is lost";
        }
        return ::testing::AssertionSuccess();
    }

    TSendEngineFTP engine{environment, &configuration, &logData, queue.get(), &poster,
                          TSendEngineFtpOptions{0, std::chrono::milliseconds(20)}};
    std::vector<std::unique_ptr<TFtpPeer>> servers;
};

struct TConnectionKind {
    bool lSecure;
    bool lPassive;
};

class SendEngineFtpKinds : public SendEngineFtpTest, public ::testing::WithParamInterface<TConnectionKind> {};

}  // namespace

TEST_P(SendEngineFtpKinds, BatchLandsInItsSessionDirectoryWithAMatchingSfvFile) {
    const auto [secure, passive] = GetParam();
    TFtpPeerOptions options;
    options.lTls = options.lRequireTls = options.lRequireReuse = secure;
    TFtpPeer& server = AddServer("server", options);
    configuration._rData.rFtpTransfer.lSecure = secure;
    configuration._rData.rFtpTransfer.lPassive = passive;
    if (secure) Pin(server);
    const std::vector<std::pair<std::string, std::string>> files = {
        {"PNR0001.txt", BinaryContent(150 * 1024, 7)}, {"README", "no extension\r\n"}, {"b.txt", "b"}};
    for (const auto& [name, content] : files) Enqueue(0, name, content);

    EXPECT_EQ(3 * kMillion, engine.SendFiles(3));

    const std::string id = engine.RemoteDir();
    ASSERT_EQ(17u, id.size());
    const std::vector<std::string> transferNames = {Transfer("PNR0001"), Transfer("README", ""), Transfer("b")};
    std::vector<std::string> expectedNames = transferNames;
    expectedNames.push_back("Files_" + id + ".sfv");
    std::sort(expectedNames.begin(), expectedNames.end());
    EXPECT_EQ(expectedNames, server.StoredNames(id));
    const std::vector<std::string> sfv = SplitCrLf(server.StoredFile(id + "/Files_" + id + ".sfv"));
    ASSERT_EQ(10u, sfv.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        const auto& [name, content] = files[i];
        const std::string& transfer = transferNames[i];
        EXPECT_EQ(content, server.StoredFile(id + "/" + transfer)) << name;
        EXPECT_EQ(content, TSandbox::ReadFile(BakDir() + "/" + transfer)) << name;
        EXPECT_EQ(transfer + " " + Crc32Of(content), sfv[1 + 3 * i]);
        EXPECT_EQ("# MD5: " + transfer + " " + DigestOf(content, EVP_md5()), sfv[2 + 3 * i]);
        EXPECT_EQ("# SHA1: " + transfer + " " + DigestOf(content, EVP_sha1()), sfv[3 + 3 * i]);
    }
    for (const std::string& transfer : server.Transfers()) {
        EXPECT_NE(std::string::npos, transfer.find(secure ? "tls=yes reused=yes" : "tls=no")) << transfer;
    }
    EXPECT_TRUE(FilesIn(DataDir()).empty());
    EXPECT_TRUE(FilesIn(TempDir()).empty());
    EXPECT_EQ(0, queue->FileCount());
    EXPECT_EQ((std::vector<unsigned>{WM_SENDINGSTARTED, WM_SENDINGDONE}), Messages());
    EXPECT_TRUE(Logged(passive ? "[debug] ftp client in passive mode" : "[debug] ftp client in active mode"));
}

INSTANTIATE_TEST_SUITE_P(Kinds, SendEngineFtpKinds,
                         ::testing::Values(TConnectionKind{false, true}, TConnectionKind{false, false},
                                           TConnectionKind{true, true}, TConnectionKind{true, false}),
                         [](const auto& kind) {
                             return std::string(kind.param.lSecure ? "Ftps" : "Ftp") +
                                    (kind.param.lPassive ? "Passive" : "Active");
                         });

TEST_F(SendEngineFtpTest, SessionLogAndSfvFileLineByLine) {
    configuration._rData.rSupport.lDebugModeInLog = false;
    TFtpPeer& server = AddServer("server");
    server.SetControl(R"({"uniquetime": "42"})");
    Enqueue(0, "a.txt", "alpha");
    Enqueue(0, "NOEXT", "no extension");

    EXPECT_EQ(2 * kMillion, engine.SendFiles(2));

    const std::string data = DataDir() + "/";
    const std::string bak = BakDir() + "/";
    EXPECT_EQ((std::vector<std::string>{"start file send session to remote host " + Host(server) + ", files found: 2",
                                        "checking certificate of remote host " + Host(server),
                                        "setting session",
                                        "session id: 42",
                                        "creating CRC integrity checksum file",
                                        "sending CRC data to remote",
                                        "sending file " + data + "a.txt to remote",
                                        "copying file to backup file " + bak + "ama_a42.txt",
                                        "removing file " + data + "a.txt from input",
                                        "sending file " + data + "NOEXT to remote",
                                        "copying file to backup file " + bak + "ama_NOEXT42",
                                        "removing file " + data + "NOEXT from input",
                                        "files processed: 2",
                                        "end file send session"}),
              LogMessages());
    const TEnvironmentProgramData& program = environment.ProgramData();
    EXPECT_EQ("# [" + program.sProgramLicence + "]ZELKOTRANSFER " + program.sProgramVersion + " ( agent )\r\n" +
                  "ama_a42.txt " + Crc32Of("alpha") + "\r\n" +
                  "# MD5: ama_a42.txt " + DigestOf("alpha", EVP_md5()) + "\r\n" +
                  "# SHA1: ama_a42.txt " + DigestOf("alpha", EVP_sha1()) + "\r\n" +
                  "ama_NOEXT42 " + Crc32Of("no extension") + "\r\n" +
                  "# MD5: ama_NOEXT42 " + DigestOf("no extension", EVP_md5()) + "\r\n" +
                  "# SHA1: ama_NOEXT42 " + DigestOf("no extension", EVP_sha1()) + "\r\n",
              server.StoredFile("42/Files_42.sfv"));
    const std::vector<std::string> commands = server.Commands();
    EXPECT_EQ((std::vector<std::string>{"site uniquetime", "MKD 42", "CWD 42"}),
              std::vector<std::string>(commands.begin() + 3, commands.begin() + 6));
    // The job leaves the session open; the next one logs in afresh.
    EXPECT_EQ(0u, CountOf(commands, "QUIT"));
}

TEST_F(SendEngineFtpTest, FileThatCannotBeCopiedIsAnErrorAndStaysWhileTheOthersGo) {
    AddServer("server").SetControl(R"({"uniquetime": "42"})");
    Enqueue(0, "a.txt", "a");
    Enqueue(0, "b.txt", "b");
    Enqueue(0, "c.txt", "c");
    // The temporary copy's name is taken: a copy never overwrites.
    sandbox.WriteFile(fs::relative(TempDir() + "ama_b42.txt", sandbox.Root()).string(), "in the way");

    EXPECT_EQ(2 * kMillion + 1, engine.SendFiles(3));

    EXPECT_EQ(0, queue->FileCount());
    EXPECT_EQ((std::map<std::string, std::string>{{"b.txt", "b"}}), FilesIn(DataDir()));
    EXPECT_EQ((std::vector<std::string>{"Files_42.sfv", "ama_a42.txt", "ama_c42.txt"}), servers[0]->StoredNames("42"));
    EXPECT_TRUE(NothingLost());
    EXPECT_TRUE(Logged("[debug] upload result:no"));
    EXPECT_EQ((std::vector<unsigned>{WM_SENDINGSTARTED, WM_SENDINGDONE}), Messages());
}

TEST_F(SendEngineFtpTest, HostThatRefusesASessionIdHandsTheJobToTheNext) {
    TFtpPeer& refusing = AddServer("refusing");
    refusing.SetControl(R"({"refuse_uniquetime": true})");
    TFtpPeer& good = AddServer("good");
    Enqueue(0, "a.txt", "a");

    EXPECT_EQ(1 * kMillion, engine.SendFiles(1));

    EXPECT_EQ(1, engine.CurrentHost());
    const std::vector<std::string> refused = refusing.Commands();
    ASSERT_LE(4u, refused.size());
    EXPECT_EQ((std::vector<std::string>{"site uniquetime", "site uniquetime", "site uniquetime", "QUIT"}),
              std::vector<std::string>(refused.end() - 4, refused.end()));
    const auto messages = LogMessages();
    EXPECT_EQ(3u, CountOf(messages, "[debug] 1:550 Refused on purpose."));
    EXPECT_EQ(1u, CountOf(messages, "[debug] get timestamp 3 time(s) unsuccessful"));
    EXPECT_EQ(1u, CountOf(messages, "rollback-disconnect from remote host"));
    EXPECT_EQ(1u, CountOf(messages, "taking next remote host " + Host(good)));
    EXPECT_EQ("a", good.StoredFile(engine.RemoteDir() + "/" + Transfer("a")));
    EXPECT_TRUE(NothingLost());
}

TEST_F(SendEngineFtpTest, HostPresentingAnotherCertificateHandsTheJobToTheNext) {
    configuration._rData.rFtpTransfer.lSecure = true;
    TFtpPeerOptions secure;
    secure.lTls = true;
    // Pinned under another name: the first host (named "localhost") is unknown.
    servers.push_back(std::make_unique<TFtpPeer>(sandbox.Path("stranger"), secure));
    AddHost("localhost", servers.back()->Port());
    TFtpPeer& known = AddServer("known", secure);
    Pin(known);
    Enqueue(0, "a.txt", "a");

    EXPECT_EQ(1 * kMillion, engine.SendFiles(1));

    std::vector<std::string> messages;
    for (const std::string& message : LogMessages()) {
        if (message.rfind("[debug] ", 0) != 0) messages.push_back(message);
    }
    const auto unknown = std::find(messages.begin(), messages.end(), "error-unknown remote certificate");
    ASSERT_NE(messages.end(), unknown);
    EXPECT_EQ("error-while checking remote host certificate-rollback", *(unknown + 1));
    EXPECT_EQ("taking next remote host " + Host(known), *(unknown + 2));
    EXPECT_EQ("QUIT", servers[0]->Commands().back());
    EXPECT_EQ(1, engine.CurrentHost());
    EXPECT_TRUE(NothingLost());
}

TEST_F(SendEngineFtpTest, SingleHostThatIsDownKeepsEverything) {
    AddHost("127.0.0.1", ClosedPort());
    Enqueue(0, "a.txt", "a");
    Enqueue(0, "b.txt", "b");

    EXPECT_EQ(2, engine.SendFiles(2));

    const auto messages = LogMessages();
    EXPECT_EQ(1u, CountOf(messages, "warning-cannot take next remote host-no more hosts-all defined were tried"));
    EXPECT_FALSE(AnyLineHolds(messages, "taking next remote host"));
    EXPECT_EQ(1u, CountOf(messages, "error- cannot login"));
    EXPECT_EQ(0, engine.CurrentHost());
    EXPECT_EQ(2, queue->FileCount());
    EXPECT_EQ((std::map<std::string, std::string>{{"a.txt", "a"}, {"b.txt", "b"}}), FilesIn(DataDir()));
    EXPECT_TRUE(FilesIn(BakDir()).empty());
    EXPECT_EQ((std::vector<unsigned>{WM_SENDINGSTARTED, WM_SENDINGFAILED}), Messages());
}

TEST_F(SendEngineFtpTest, HostLoopTriesEachHostOnceAndKeepsTheOneThatWorked) {
    const int portA = ClosedPort();
    const int portB = ClosedPort();
    AddHost("127.0.0.1", portA);
    AddHost("127.0.0.1", portB);
    TFtpPeer& c = AddServer("c");
    const std::string hostA = "127.0.0.1:" + std::to_string(portA);
    const std::string hostB = "127.0.0.1:" + std::to_string(portB);
    Enqueue(0, "a.txt", "a");

    // Everything fails: A, B and C once each, and A is current again.
    c.SetControl(R"({"refuse_login": true})");
    EXPECT_EQ(1, engine.SendFiles(1));
    std::vector<std::string> tried;
    for (const std::string& message : LogMessages()) {
        if (message.rfind("checking certificate of remote host ", 0) == 0 || message.rfind("taking next", 0) == 0 ||
            message.rfind("warning-", 0) == 0) {
            tried.push_back(message);
        }
    }
    EXPECT_EQ((std::vector<std::string>{"checking certificate of remote host " + hostA,
                                        "taking next remote host " + hostB,
                                        "checking certificate of remote host " + hostB,
                                        "taking next remote host " + Host(c),
                                        "checking certificate of remote host " + Host(c),
                                        "warning-cannot take next remote host-no more hosts-all defined were tried"}),
              tried);
    EXPECT_EQ(0, engine.CurrentHost());
    EXPECT_EQ(3u, CountOf(c.Commands(), "USER agent"));

    // A and B fail, C takes the batch and stays current for the next session.
    c.SetControl("{}");
    EXPECT_EQ(1 * kMillion, engine.SendFiles(1));
    EXPECT_EQ(2, engine.CurrentHost());
    Enqueue(0, "b.txt", "b");
    logLines.clear();
    TakeLogLines(logData);
    EXPECT_EQ(1 * kMillion, engine.SendFiles(1));
    EXPECT_EQ("start file send session to remote host " + Host(c) + ", files found: 1", LogMessages().front());

    // A host list shortened below the current index starts over at its first host.
    configuration._rData.rFtpTransfer.slHostNames = {"127.0.0.1"};
    configuration._rData.rFtpTransfer.slHostPorts = {c.PortText()};
    Enqueue(0, "c.txt", "c");
    logLines.clear();
    EXPECT_EQ(1 * kMillion, engine.SendFiles(1));
    EXPECT_EQ("start file send session to remote host " + Host(c) + ", files found: 1", LogMessages().front());
    EXPECT_EQ(0, engine.CurrentHost());
    EXPECT_TRUE(NothingLost());
    EXPECT_TRUE(FilesIn(DataDir()).empty());
}

// ---- nothing is lost, whatever breaks ----

TEST_F(SendEngineFtpTest, ConnectionDroppedDuringAnUploadLosesNothing) {
    TFtpPeer& server = AddServer("server");
    server.SetControl(R"({"drop_stor": {"match": "ama_b*", "times": 1}})");
    Enqueue(0, "a.txt", BinaryContent(100 * 1024, 3));
    Enqueue(0, "b.txt", BinaryContent(300 * 1024, 5));
    Enqueue(0, "c.txt", BinaryContent(10 * 1024, 11));

    // a goes; b breaks off and c finds the connection gone: both stay, and the batch
    // leaves the queue for the collector to offer them again.
    EXPECT_EQ(1 * kMillion + 2, engine.SendFiles(3));
    EXPECT_TRUE(NothingLost());
    EXPECT_EQ(0, queue->FileCount());
    EXPECT_EQ(2u, FilesIn(DataDir()).size());
    EXPECT_TRUE(FilesIn(TempDir()).empty());
    EXPECT_EQ(1, server.Connections());

    for (const char* name : {"b.txt", "c.txt"}) {
        const std::string content = inputs[0][name];
        ASSERT_TRUE(queue->PutFile(kAmadeus, 0, static_cast<std::int32_t>(content.size()), name, StampCrc32(content),
                                   StampMd5(content), StampSha1(content)));
    }
    EXPECT_EQ(2 * kMillion, engine.SendFiles(2));
    EXPECT_TRUE(FilesIn(DataDir()).empty());
    EXPECT_TRUE(NothingLost());
}

TEST_F(SendEngineFtpTest, RollbackStopsWhereTheServerRefusesToRemoveTheSessionDirectory) {
    TFtpPeer& server = AddServer("server");
    server.SetControl(R"({"uniquetime": "42", "refuse_stor": "Files_*", "refuse_rmd": true})");
    Enqueue(0, "a.txt", "a");

    EXPECT_EQ(1, engine.SendFiles(1));

    const std::vector<std::string> commands = server.Commands();
    EXPECT_EQ(3u, CountOf(commands, "RMD 42"));
    EXPECT_EQ("RMD 42", commands.back()) << "the unwinding went on after the refused RMD";
    EXPECT_EQ(1u, CountOf(commands, "CWD /"));
    const auto messages = LogMessages();
    EXPECT_EQ(1u, CountOf(messages, "error-sending CRC data to remote-rollback"));
    EXPECT_EQ(1u, CountOf(messages, "[debug] rollback-remove CRC file"));
    EXPECT_EQ(1u, CountOf(messages, "[debug] remove remote dir 3 time(s) unsuccessful"));
    EXPECT_EQ(0u, CountOf(messages, "rollback-disconnect from remote host"));
    EXPECT_TRUE(FilesIn(TempDir()).empty());
    EXPECT_EQ(1, queue->FileCount());
    EXPECT_EQ((std::map<std::string, std::string>{{"a.txt", "a"}}), FilesIn(DataDir()));
    EXPECT_EQ((std::vector<unsigned>{WM_SENDINGSTARTED, WM_SENDINGFAILED}), Messages());
}

TEST_F(SendEngineFtpTest, SessionIdThatNamesAnotherPlaceIsRefused) {
    TFtpPeer& server = AddServer("server");
    server.SetControl(R"({"uniquetime": "../../escape"})");
    Enqueue(0, "a.txt", "a");

    EXPECT_EQ(1, engine.SendFiles(1));

    EXPECT_EQ(0u, CountOf(server.Commands(), "MKD ../../escape"));
    EXPECT_FALSE(fs::exists(TempDir() + "../../Files_escape.sfv"));
    EXPECT_EQ(1, queue->FileCount());
}

TEST(SendEngineFtpUnit, SessionIdAndSfvName) {
    EXPECT_EQ("20180830141500123", TSendEngineFTP::SessionIdOfReply("200-20180830141500123"));
    EXPECT_EQ("42", TSendEngineFTP::SessionIdOfReply("200- 42 "));
    EXPECT_EQ("a-b", TSendEngineFTP::SessionIdOfReply("200-a-b"));
    EXPECT_EQ("200 OK", TSendEngineFTP::SessionIdOfReply(" 200 OK "));
    EXPECT_EQ("Files_42.sfv", TSendEngineFTP::SfvFileName("42"));
}
