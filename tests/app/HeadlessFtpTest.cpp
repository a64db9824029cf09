// The real program, headless, uploading over FTP to the local FTP server: each batch in
// its session directory with its SFV file, the inputs backed up and removed.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "config/OConfigurationData.h"
#include "config/OConfigurationDocument.h"
#include "foundation/VeltEnvironment.h"
#include "tests/app/AgentProcess.h"
#include "tests/support/FtpPeer.h"
#include "tests/support/Ports.h"
#include "tests/support/Sandbox.h"
#include "tests/support/WaitFor.h"

namespace fs = std::filesystem;

namespace {

std::string Dir(const TSandbox& sandbox, const std::string& relative) {
    fs::create_directories(sandbox.Path(relative));
    return sandbox.Path(relative);
}

std::vector<std::string> StoredFilesBelow(const std::string& root) {
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file()) names.push_back(fs::relative(entry.path(), root).string());
    }
    return names;
}

}  // namespace

TEST(HeadlessFtpTest, WatchesTwoRulesAndUploadsOverFtp) {
    TSandbox sandbox;
    TAgentHome home(sandbox);
    TFtpPeer server(sandbox.Path("ftp"));
    {
        const TEnvironment environment({}, sandbox.platform);
        TConfigurationData data(environment);
        TConfigurationDataRecord& d = data._rData;
        d.ptUploadProtocol = tptFtp;
        d.rFtpTransfer.sLogin = "agent";
        d.rFtpTransfer.sIdent = "agentident";
        d.rFtpTransfer.sPassword = "secret";
        d.rFtpTransfer.lSecure = false;
        d.rFtpTransfer.slHostNames = {"127.0.0.1"};
        d.rFtpTransfer.slHostPorts = {server.PortText()};
        d.rWatchingRules.slCRSTypes = {"Amadeus", "Galileo"};
        d.rWatchingRules.slDataDirs = {Dir(sandbox, "data/ama"), Dir(sandbox, "data/gali")};
        d.rWatchingRules.slBakDirs = {Dir(sandbox, "bak/ama"), Dir(sandbox, "bak/gali")};
        d.rWatchingRules.slDataFileMask = {".*", ".*"};
        d.rWatchingRules.iCollectorInterval = 1;
        d.rProgram.rNewVersion.sSiteCheck = "http://127.0.0.1:" + std::to_string(ClosedPort());
        ASSERT_EQ(ImportWithDefaultPassword(sandbox, ComposeConfigurationDocument(data)), 0);
    }
    TAgentProcess agent(sandbox, {"/headless", "start_watch"}, "ftp");
    ASSERT_TRUE(waitFor([&] { return home.LogHolds("] start watching\r\n"); }, std::chrono::seconds(30)))
        << agent.Errors();
    sandbox.WriteFile("data/ama/PNR0001.txt", "amadeus");
    sandbox.WriteFile("data/gali/G0001.txt", "galileo");

    const auto backedUp = [&] {
        return !fs::is_empty(sandbox.Path("bak/ama")) && !fs::is_empty(sandbox.Path("bak/gali")) &&
               fs::is_empty(sandbox.Path("data/ama")) && fs::is_empty(sandbox.Path("data/gali"));
    };
    ASSERT_TRUE(waitFor(backedUp, std::chrono::seconds(30))) << home.Log();
    agent.Signal(SIGTERM);
    EXPECT_EQ(agent.Wait(), 0);

    std::string stored;
    for (const std::string& name : StoredFilesBelow(server.RootDir())) stored += name + "\n";
    EXPECT_NE(stored.find("/ama_PNR0001"), std::string::npos) << stored;
    EXPECT_NE(stored.find("/gali_G0001"), std::string::npos) << stored;
    EXPECT_NE(stored.find(".sfv"), std::string::npos) << stored;
    EXPECT_TRUE(home.LogHolds("] program stop (from watch)\r\n"));
}
