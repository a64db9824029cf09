#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "config/OConfigurationData.h"
#include "foundation/VeltEnvironment.h"
#include "log/VeltStraightLogData.h"
#include "tests/support/FtpPeer.h"
#include "tests/support/LogLines.h"
#include "tests/support/Ports.h"
#include "tests/support/Sandbox.h"
#include "transfer/OSenderFtp.h"

namespace {

using namespace std::chrono_literals;

// Every byte value, many times over: more than one 64 KiB chunk, nothing text-like.
std::string BinaryContent(std::size_t size) {
    std::string content(size, '\0');
    for (std::size_t i = 0; i < size; ++i) content[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
    return content;
}

std::size_t CountOf(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
}

// The log lines without their stamps ("[ ... ] SENDERFTP " in debug mode).
std::vector<std::string> Messages(const std::vector<std::string>& lines) {
    std::vector<std::string> messages;
    for (const std::string& line : lines) {
        const std::size_t marker = line.find("SENDERFTP ");
        messages.push_back(marker == std::string::npos ? line : line.substr(marker + 10));
    }
    return messages;
}

class SenderFtpTest : public ::testing::Test {
protected:
    SenderFtpTest() { configuration._rData.rSupport.lDebugModeInLog = true; }

    TFtpPeer& StartPeer(TFtpPeerOptions options = {}, const std::string& name = "peer") {
        peers.push_back(std::make_unique<TFtpPeer>(sandbox.Path(name), std::move(options)));
        return *peers.back();
    }
    std::unique_ptr<TSenderFTP> NewSender(int identPort = 0) {
        auto sender = std::make_unique<TSenderFTP>(&configuration, &logData, identPort);
        sender->SetAttemptPause(20ms);
        return sender;
    }
    std::int32_t Check(TSenderFTP& sender, const TFtpPeer& server, bool secure, bool passive = true,
                       bool leaveLogged = true, bool warnUnknown = true, const std::string& ident = "agent",
                       const std::string& password = "secret") {
        return sender.CheckRemoteCertificate(true, leaveLogged, warnUnknown, "agent", ident, password, "127.0.0.1",
                                             server.PortText(), 5, passive, secure);
    }
    // Stores the certificate the server presents as the known one of host 127.0.0.1.
    void Pin(const TFtpPeer& server) {
        auto sender = NewSender();
        ASSERT_EQ(kFtpCheckUnknownCertificate, Check(*sender, server, true, true, false, false));
        AddKnownFtpCertificate(configuration._rData.rFtpTransfer, "127.0.0.1", sender->CertData());
        Log();
    }
    const std::vector<std::string>& Log() {
        for (std::string& line : TakeLogLines(logData)) logLines.push_back(std::move(line));
        return logLines;
    }
    std::vector<std::string> LogMessages() { return Messages(Log()); }

    TSandbox sandbox;
    TEnvironment environment{TEnvironmentOptions{}, sandbox.platform};
    TConfigurationData configuration{environment};
    TLogData logData{32768, 1024, 256, false};
    std::vector<std::string> logLines;
    std::vector<std::unique_ptr<TFtpPeer>> peers;
};

struct TConnectionKind {
    bool lSecure;
    bool lPassive;
};

class SenderFtpUpload : public SenderFtpTest, public ::testing::WithParamInterface<TConnectionKind> {};

TEST_P(SenderFtpUpload, StoresTheFileByteForByteUnderItsOwnName) {
    const auto [secure, passive] = GetParam();
    TFtpPeerOptions options;
    options.lTls = secure;
    options.lRequireTls = secure;
    options.lRequireReuse = secure;
    TFtpPeer& server = StartPeer(options);
    if (secure) Pin(server);
    const std::string content = BinaryContent(200 * 1024 + 17);
    const std::string local = sandbox.WriteFile("deep/folder/a.bin", content);

    auto sender = NewSender();
    ASSERT_EQ(kFtpCheckVerified, Check(*sender, server, secure, passive));
    EXPECT_TRUE(sender->IsLoggedIn());
    ASSERT_TRUE(sender->SendFile(true, local));
    EXPECT_TRUE(sender->DisconnectHost(true));

    EXPECT_EQ(content, server.StoredFile("a.bin"));
    const std::string protection = secure ? "tls=yes reused=yes" : "tls=no reused=-";
    ASSERT_EQ(1u, server.Transfers().size());
    EXPECT_NE(std::string::npos, server.Transfers()[0].find("STOR a.bin " + protection));
    std::vector<std::string> expected;
    if (secure) expected = {"AUTH TLS"};
    for (const char* command : {"USER agent", "PASS ******"}) expected.push_back(command);
    if (secure) expected.insert(expected.end(), {"PBSZ 0", "PROT P"});
    expected.push_back("TYPE I");
    expected.push_back(passive ? "PASV" : "PORT 127,0,0,1,");
    expected.insert(expected.end(), {"STOR a.bin", "QUIT"});
    std::vector<std::string> commands = server.Commands(server.Connections());
    for (std::string& command : commands) {
        if (command.rfind("PORT 127,0,0,1,", 0) == 0) command = "PORT 127,0,0,1,";
    }
    EXPECT_EQ(expected, commands);
    EXPECT_TRUE(AnyLineEndsWith(Log(), "[debug] upload file: " + local));
}

INSTANTIATE_TEST_SUITE_P(Kinds, SenderFtpUpload,
                         ::testing::Values(TConnectionKind{false, true}, TConnectionKind{false, false},
                                           TConnectionKind{true, true}, TConnectionKind{true, false}),
                         [](const auto& kind) {
                             return std::string(kind.param.lSecure ? "Ftps" : "Ftp") +
                                    (kind.param.lPassive ? "Passive" : "Active");
                         });

TEST_F(SenderFtpTest, IPv6DataConnectionsUseTheExtendedCommands) {
    TFtpPeerOptions options;
    options.sHost = "::1";
    options.lTls = options.lRequireReuse = true;
    TFtpPeer& server = StartPeer(options);
    const std::string content = BinaryContent(70 * 1024);
    const std::string local = sandbox.WriteFile("in/six.bin", content);
    auto sender = NewSender();
    for (const bool passive : {true, false}) {
        ASSERT_EQ(kFtpCheckUnknownCertificate,
                  sender->CheckRemoteCertificate(true, true, false, "agent", "agent", "secret", "::1",
                                                 server.PortText(), 5, passive, true));
        ASSERT_TRUE(sender->CertWasRead());
        // Logged out after an unknown certificate; log in again and go on regardless.
        ASSERT_TRUE(sender->Login());
        ASSERT_TRUE(sender->SendFile(true, local));
        EXPECT_EQ(content, server.StoredFile("six.bin"));
        std::filesystem::remove(server.RootDir() + "/six.bin");
    }
    const auto commands = server.Commands();
    EXPECT_EQ(1u, CountOf(commands, "EPSV"));
    EXPECT_EQ(1u, static_cast<std::size_t>(std::count_if(commands.begin(), commands.end(), [](const std::string& c) {
                  return c.rfind("EPRT |2|::1|", 0) == 0;
              })));
    for (const std::string& transfer : server.Transfers()) EXPECT_NE(std::string::npos, transfer.find("reused=yes"));
}

TEST_F(SenderFtpTest, WrongPasswordIsTriedThreeTimesAndLoggedInFull) {
    TFtpPeer& server = StartPeer();
    auto sender = NewSender();
    EXPECT_EQ(kFtpCheckCannotLogin, Check(*sender, server, false, true, true, true, "agent", "wrong"));
    EXPECT_EQ(3u, CountOf(server.Commands(), "USER agent"));
    EXPECT_EQ(0u, CountOf(server.Commands(), "QUIT"));
    std::vector<std::string> expected;
    for (const char* n : {"1", "2", "3"}) {
        expected.insert(expected.end(), {std::string("[debug] login ") + n + " unsuccessful", "[debug] remote response:",
                                         "[debug] 1:530 Authentication failed."});
    }
    expected.insert(expected.end(), {"error- cannot login", "[debug] error code: 530",
                                     "[debug] error string: 530 Authentication failed.",
                                     "debug] detailed error description:", "530 Authentication failed."});
    EXPECT_EQ(expected, LogMessages());
}

TEST_F(SenderFtpTest, ServerThatDoesNotAnswerIsALoginFailureWithoutServerDetails) {
    const std::string port = std::to_string(ClosedPort());
    auto sender = NewSender();
    EXPECT_EQ(kFtpCheckCannotLogin,
              sender->CheckRemoteCertificate(true, true, true, "agent", "agent", "secret", "127.0.0.1", port, 2, true,
                                             false));
    const auto messages = LogMessages();
    EXPECT_EQ(3u, CountOf(messages, "[debug] remote response:"));
    EXPECT_TRUE(AnyLineHolds(messages, "[debug] 1:cannot connect to 127.0.0.1:" + port));
    EXPECT_EQ("error- cannot login", messages.back());
}

TEST_F(SenderFtpTest, CertificateOfEachCheckIsTheOneThatHostPresented) {
    TFtpPeerOptions secure;
    secure.lTls = true;
    TFtpPeer& known = StartPeer(secure, "known");
    TFtpPeer& other = StartPeer(secure, "other");
    Pin(known);
    auto sender = NewSender();

    EXPECT_EQ(kFtpCheckVerified, Check(*sender, known, true, true, false));
    EXPECT_EQ(kFtpCheckUnknownCertificate, Check(*sender, other, true));
    EXPECT_EQ(kFtpCheckVerified, Check(*sender, known, true));
    EXPECT_EQ(1u, CountOf(LogMessages(), "error-unknown remote certificate"));
    // The unknown host's session was closed at once; the known one's without
    // lLeaveLoggedWhenOK too, the last one stays open.
    EXPECT_EQ("QUIT", other.Commands(other.Connections()).back());
    EXPECT_EQ("QUIT", known.Commands(known.Connections() - 1).back());
    EXPECT_NE("QUIT", known.Commands(known.Connections()).back());
    EXPECT_TRUE(sender->IsLoggedIn());

    // Quietly, when the caller shows the certificate itself.
    EXPECT_EQ(kFtpCheckUnknownCertificate, Check(*sender, other, true, true, true, false));
    EXPECT_EQ(1u, CountOf(LogMessages(), "error-unknown remote certificate"));
    // The plain protocol has no certificate to compare.
    TFtpPeer& plain = StartPeer({}, "plain");
    EXPECT_EQ(kFtpCheckVerified, Check(*sender, plain, false));
}

TEST_F(SenderFtpTest, LineBreakInsideACommandIsNeverSent) {
    TFtpPeer& server = StartPeer();
    auto sender = NewSender();
    ASSERT_EQ(kFtpCheckVerified, Check(*sender, server, false));
    EXPECT_EQ(0, sender->FtpCommand("MKD x\r\nDELE secret"));
    EXPECT_FALSE(sender->CreateDir(std::string("y\0z", 3)));
    EXPECT_EQ(257, sender->FtpCommand("MKD fine"));
    const auto commands = server.Commands();
    EXPECT_EQ(0u, CountOf(commands, "DELE secret"));
    EXPECT_EQ(1u, static_cast<std::size_t>(std::count_if(commands.begin(), commands.end(), [](const std::string& c) {
                  return c.rfind("MKD", 0) == 0;
              })));
}

TEST_F(SenderFtpTest, UploadCutOffByTheServerIsResumedWhereItStopped) {
    for (const bool secure : {false, true}) {
        SCOPED_TRACE(secure ? "ftps" : "ftp");
        TFtpPeerOptions options;
        options.lTls = secure;
        TFtpPeer& server = StartPeer(options, secure ? "secure" : "plain");
        configuration._rData.rFtpTransfer = {};
        if (secure) Pin(server);
        server.SetControl(R"({"abort_stor": 1})");
        const std::string content = BinaryContent(300 * 1024);
        const std::string local = sandbox.WriteFile("in/cut.bin", content);

        auto sender = NewSender();
        ASSERT_EQ(kFtpCheckVerified, Check(*sender, server, secure));
        EXPECT_TRUE(sender->SendFile(true, local));
        EXPECT_EQ(content, server.StoredFile("cut.bin"));
        const auto transfers = server.Transfers();
        ASSERT_EQ(2u, transfers.size());
        EXPECT_NE(std::string::npos, transfers[0].find("complete=no"));
        EXPECT_NE(std::string::npos, transfers[1].find("complete=yes"));
        const auto commands = server.Commands();
        EXPECT_TRUE(std::any_of(commands.begin(), commands.end(),
                                [](const std::string& c) { return c.rfind("REST ", 0) == 0 && c != "REST 0"; }));
        EXPECT_TRUE(AnyLineEndsWith(Log(), "[debug] upload 1 unsuccessful"));
    }
}

TEST_F(SenderFtpTest, DroppedConnectionIsNeverLoggedInAgainBehindTheCallersBack) {
    TFtpPeer& server = StartPeer();
    server.SetControl(R"({"drop_stor": true})");
    const std::string local = sandbox.WriteFile("in/drop.bin", BinaryContent(300 * 1024));
    auto sender = NewSender();
    ASSERT_EQ(kFtpCheckVerified, Check(*sender, server, false));
    EXPECT_FALSE(sender->SendFile(true, local));
    EXPECT_FALSE(sender->IsLoggedIn());
    EXPECT_EQ(1, server.Connections());
    EXPECT_EQ(1u, CountOf(server.Commands(), "USER agent"));
    for (const char* line : {"[debug] upload 1 unsuccessful", "[debug] upload 2 unsuccessful",
                             "[debug] upload 3 unsuccessful"}) {
        EXPECT_TRUE(AnyLineEndsWith(Log(), line)) << line;
    }
    EXPECT_FALSE(sender->DisconnectHost(true));
}

// ---- the ident responder during the login ----

class SenderFtpConcurrency : public SenderFtpTest {};

TEST_F(SenderFtpConcurrency, ServerAsksTheIdentResponderDuringLogin) {
    const int identPort = ClosedPort();
    TFtpPeerOptions options;
    options.iIdentPort = identPort;
    options.sIdentUser = "zelko-id";
    TFtpPeer& server = StartPeer(options);
    auto sender = NewSender(identPort);

    EXPECT_EQ(kFtpCheckVerified, Check(*sender, server, false, true, false, true, "  zelko-id "));
    EXPECT_EQ(kFtpCheckCannotLogin, Check(*sender, server, false, true, false, true, "someone-else"));
    const auto queries = server.IdentQueries();
    ASSERT_EQ(4u, queries.size());  // one good login, three refused attempts
    EXPECT_NE(std::string::npos, queries[0].find("USERID : UNIX,ISO-8859-1 : zelko-id' -> ok")) << queries[0];
    EXPECT_NE(std::string::npos, queries[1].find("-> wrong")) << queries[1];
    // The responder lives only while a login runs.
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(identPort));
    EXPECT_NE(0, connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address));
    close(probe);
}

TEST_F(SenderFtpConcurrency, ResponderThatCannotBeHadStopsTheCheckBeforeAnyConnection) {
    TFtpPeer& server = StartPeer();
    auto sender = NewSender(ClosedPort());
    EXPECT_EQ(kFtpCheckIdentNotCreated, Check(*sender, server, false, true, true, true, " \t "));

    const int holder = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(0, bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address));
    ASSERT_EQ(0, listen(holder, 1));
    socklen_t length = sizeof address;
    getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length);
    auto blocked = NewSender(ntohs(address.sin_port));
    EXPECT_EQ(kFtpCheckIdentNotStarted, Check(*blocked, server, false));
    close(holder);

    EXPECT_EQ((std::vector<std::string>{"error-unable to create ident server", "error- unable to start ident server"}),
              LogMessages());
    EXPECT_EQ(0, server.Connections());
}

TEST_F(SenderFtpConcurrency, PrivilegedIdentPortOnlyWarnsAndTheLoginGoesOn) {
    std::ifstream limit("/proc/sys/net/ipv4/ip_unprivileged_port_start");
    int firstUnprivileged = 1024;
    limit >> firstUnprivileged;
    if (firstUnprivileged <= TIdentServer::kDefaultPort) GTEST_SKIP() << "anyone may listen on port 113 here";
    TFtpPeer& server = StartPeer();
    // The helper gives up root (when it has it) and logs in with the responder on 113.
    const std::string command = std::string(ZELKO_TEST_HELPER_DIR) + "/ftp_login_unprivileged " + server.PortText();
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(nullptr, pipe);
    std::string output;
    char chunk[512];
    for (std::size_t got; (got = fread(chunk, 1, sizeof chunk, pipe)) > 0;) output.append(chunk, got);
    ASSERT_EQ(0, pclose(pipe)) << output;
    if (output.find("cannot drop privileges") != std::string::npos) GTEST_SKIP() << output;
    EXPECT_NE(std::string::npos, output.find("warning-ident server not started ( no permission for port 113 )\n"))
        << output;
    EXPECT_NE(std::string::npos, output.find("result 0\n")) << output;
    EXPECT_EQ(1u, CountOf(server.Commands(), "USER agent"));
}

}  // namespace
