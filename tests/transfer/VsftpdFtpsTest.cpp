// The FTPS client against a widely deployed server that insists on TLS for logins and
// data and refuses data connections that do not resume the control connection's session.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>

#include "config/OConfigurationData.h"
#include "foundation/VeltEnvironment.h"
#include "log/VeltStraightLogData.h"
#include "tests/support/FtpPeer.h"
#include "tests/support/LogLines.h"
#include "tests/support/Sandbox.h"
#include "transfer/OSenderFtp.h"

namespace {

std::string BinaryContent(std::size_t size, unsigned seed) {
    std::string content(size, '\0');
    for (std::size_t i = 0; i < size; ++i) content[i] = static_cast<char>((i * seed + i / 251) & 0xFF);
    return content;
}

class VsftpdFtpsTest : public ::testing::Test {
protected:
    void SetUp() override {
        // vsftpd changes root and user for every session: only root may start it.
        if (geteuid() != 0) GTEST_SKIP() << "vsftpd needs root";
        try {
            server = std::make_unique<TVsftpdPeer>(sandbox.Path("vsftpd"));
        } catch (const std::runtime_error& error) {
            FAIL() << error.what();
        }
    }
    std::int32_t Check(TSenderFTP& sender, bool passive, bool warnUnknown = true) {
        // vsftpd's anonymous login takes no password.
        return sender.CheckRemoteCertificate(true, true, warnUnknown, "anonymous", "agent", "", "127.0.0.1",
                                             server->PortText(), 10, passive, true);
    }
    void Pin(const TCertData& cert) { AddKnownFtpCertificate(configuration._rData.rFtpTransfer, "127.0.0.1", cert); }

    TSandbox sandbox;
    TEnvironment environment{TEnvironmentOptions{}, sandbox.platform};
    TConfigurationData configuration{environment};
    TLogData logData{32768, 1024, 256, false};
    std::unique_ptr<TVsftpdPeer> server;
};

TEST_F(VsftpdFtpsTest, UploadsOverDataConnectionsThatResumeTheSession) {
    TSenderFTP sender(&configuration, &logData, 0);
    sender.SetAttemptPause(std::chrono::milliseconds(20));
    ASSERT_EQ(kFtpCheckUnknownCertificate, Check(sender, true, false)) << server->Log();
    ASSERT_TRUE(sender.CertWasRead());
    EXPECT_EQ("/C=DE/O=Zelko Test/CN=127.0.0.1", sender.CertData().sServerSubject);
    Pin(sender.CertData());

    const std::string session = "20260101120000123";
    for (const bool passive : {true, false}) {
        SCOPED_TRACE(passive ? "passive" : "active");
        ASSERT_EQ(kFtpCheckVerified, Check(sender, passive)) << server->Log();
        ASSERT_TRUE(sender.ChangeWorkingDir("upload"));
        if (passive) {
            ASSERT_TRUE(sender.CreateDir(session)) << sender.ResultString();
        }
        ASSERT_TRUE(sender.ChangeWorkingDir(session));
        const std::string name = passive ? "passive.bin" : "active.bin";
        const std::string content = BinaryContent(300 * 1024 + 3, passive ? 7 : 13);
        const std::string local = sandbox.WriteFile("in/" + name, content);
        ASSERT_TRUE(sender.SendFile(true, local)) << sender.ResultString() << "\n" << server->Log();
        EXPECT_EQ(content, ReadWholeFile(server->RootDir() + "/upload/" + session + "/" + name));
        EXPECT_TRUE(sender.ChangeToRootDir());
        EXPECT_TRUE(sender.DisconnectHost(true));
    }
    EXPECT_FALSE(AnyLineHolds(TakeLogLines(logData), "unsuccessful"));
}

}  // namespace
