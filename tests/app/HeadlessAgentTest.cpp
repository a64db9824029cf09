// The real program, headless, with its XDG homes in a sandbox: how it starts and ends
// (second copy, missing configuration, installers at start, SIGTERM, SIGHUP) and its
// main job end to end against the local filekey server.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "config/OConfigurationData.h"
#include "config/OConfigurationDocument.h"
#include "foundation/VeltEnvironment.h"
#include "tests/app/AgentProcess.h"
#include "tests/support/FilekeyPeer.h"
#include "tests/support/Ports.h"
#include "tests/support/Sandbox.h"
#include "tests/support/UpdateSitePeer.h"
#include "tests/support/WaitFor.h"

namespace fs = std::filesystem;

namespace {

const auto kLongWait = std::chrono::seconds(30);

class HeadlessAgentTest : public ::testing::Test {
protected:
    // An HTTPS configuration with two rules of two CRS types; servers answer nowhere
    // unless edit says otherwise.
    std::string Document(const std::function<void(TConfigurationDataRecord&)>& edit = {}) const {
        const TEnvironment environment({}, sandbox.platform);
        TConfigurationData data(environment);
        TConfigurationDataRecord& d = data._rData;
        const std::string nowhere = "http://127.0.0.1:" + std::to_string(ClosedPort());
        d.rHttpTransfer.rBase = {nowhere, "", "agent", "secret", ""};
        d.rWatchingRules.slCRSTypes = {"Amadeus", "Sabre"};
        d.rWatchingRules.slDataDirs = {Dir("data/ama"), Dir("data/sabre")};
        d.rWatchingRules.slBakDirs = {Dir("bak/ama"), Dir("bak/sabre")};
        d.rWatchingRules.slDataFileMask = {R"(.*\.txt$)", R"(.*\.txt$)"};
        d.rWatchingRules.iCollectorInterval = 1;
        d.rProgram.rNewVersion.sSiteCheck = nowhere;
        if (edit) edit(d);
        return ComposeConfigurationDocument(data);
    }
    std::string Dir(const std::string& relative) const {
        fs::create_directories(sandbox.Path(relative));
        return sandbox.Path(relative);
    }
    void Import(const std::function<void(TConfigurationDataRecord&)>& edit = {}) {
        ASSERT_EQ(ImportWithDefaultPassword(sandbox, Document(edit)), 0);
    }
    bool WaitForLog(const std::string& text, std::chrono::milliseconds timeout = kLongWait) const {
        return waitFor([&] { return home.LogHolds(text); }, timeout);
    }
    static std::size_t FileCount(const std::string& directory) {
        std::size_t count = 0;
        for (const auto& entry : fs::directory_iterator(directory)) count += entry.is_regular_file();
        return count;
    }

    TSandbox sandbox;
    TAgentHome home{sandbox};
};

bool Holds(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST_F(HeadlessAgentTest, WithoutConfigurationItEndsWithStatusTwo) {
    TAgentProcess agent(sandbox, {"/headless"});
    ASSERT_EQ(agent.Wait(), 2);
    const std::string errors = agent.Errors();
    EXPECT_TRUE(Holds(errors, "No or bad configuration file found ( " + home.ConfigurationFile() +
                                  " )\n\n"
                                  "Setup configuration will start now\n(answered: help)"))
        << errors;
    const std::string log = home.Log();
    EXPECT_TRUE(Holds(log, "headless message box ( warning ): No or bad configuration file found"));
    EXPECT_FALSE(Holds(log, "checking for new version"));
    EXPECT_FALSE(fs::exists(home.LockFile()));
}

TEST_F(HeadlessAgentTest, SecondCopyIsRefusedAndTheFirstKeepsItsLock) {
    Import();
    // The server answers nowhere: watching does not start, the program stays idle.
    TAgentProcess first(sandbox, {"/headless", "start_watch"}, "first");
    ASSERT_TRUE(WaitForLog("] cannot start watching-error setting CRS encodings\r\n"));
    ASSERT_TRUE(waitFor([&] { return Holds(first.Errors(), "watching did not start"); }));
    const std::string lock = TSandbox::ReadFile(home.LockFile());
    ASSERT_TRUE(Holds(lock, "user:")) << lock;

    TAgentProcess second(sandbox, {"/headless"}, "second");
    EXPECT_EQ(second.Wait(), 1);
    const std::string refusal = second.Errors();
    EXPECT_TRUE(Holds(refusal, "Program is already running !")) << refusal;
    EXPECT_TRUE(Holds(refusal, lock)) << refusal;
    EXPECT_EQ(TSandbox::ReadFile(home.LockFile()), lock);

    // SIGTERM is the Exit button, and the question is answered Yes.
    first.Signal(SIGTERM);
    EXPECT_EQ(first.Wait(), 0);
    EXPECT_TRUE(home.LogHolds("] program stop (from idle)\r\n"));
    EXPECT_TRUE(Holds(first.Errors(), "Are you sure you want to exit ?"));
    EXPECT_FALSE(fs::exists(home.LockFile()));
}

TEST_F(HeadlessAgentTest, InstallerFoundAtStart) {
    TUpdateSitePeer site(sandbox.Path("site"));
    const std::string archivePath = "/zelko/program_files/new_version/i_zelkotransfer.zip";
    site.PutFile("/zelko/program_files/new_version/zelkotransfer.nvf", MakeDescriptor("3", "10", "0"));
    Import([&](TConfigurationDataRecord& d) { d.rProgram.rNewVersion.sSiteCheck = site.Url("/zelko"); });
    const std::string installer = home.sTempDir + "i_zelkotransfer_3_10_0";
    const std::string marker = sandbox.Path("installer-ran");

    // An installer that cannot start: the error box, three log lines, and the program goes on.
    site.PutFile(archivePath, MakeZipArchive({{"i_zelkotransfer_3_10_0", "#!/nonexistent/interpreter\n", 0100755}}));
    {
        TAgentProcess agent(sandbox, {"/headless"}, "broken");
        ASSERT_TRUE(WaitForLog("] program start ( ZELKO KMR Transfer "));
        agent.Signal(SIGTERM);
        EXPECT_EQ(agent.Wait(), 0);
        EXPECT_TRUE(Holds(agent.Errors(),
                          "Error while installing new program version on startup\n\n"
                          "( new version not installed )"));
        const std::string log = home.Log();
        const std::string command = "\"" + installer + "\" /verysilent /nocancel /components=\"program\" /dir=\"" +
                                    fs::path(ZELKO_BINARY).parent_path().string() + "/\"";
        const std::size_t error = log.find("] installing new version on startup...\r\n");
        ASSERT_NE(error, std::string::npos) << log;
        EXPECT_NE(log.find("] error-executing new version installation file\r\n", error), std::string::npos) << log;
        EXPECT_NE(log.find("] command: " + command + "\r\n", error), std::string::npos) << log;
        EXPECT_NE(log.find("] error message: failed to execute:" + command + ", error code:2\r\n", error),
                  std::string::npos)
            << log;
        EXPECT_TRUE(Holds(log, "] program stop (from idle)\r\n"));
    }

    // An installer that starts: the program ends at once and leaves its lock file.
    fs::remove(home.LogFile());
    site.PutFile(archivePath,
                 MakeZipArchive({{"i_zelkotransfer_3_10_0", "#!/bin/sh\necho \"$@\" > '" + marker + "'\n", 0100755}}));
    TAgentProcess agent(sandbox, {"/headless", "start_watch"}, "installing");
    EXPECT_EQ(agent.Wait(), 0);
    EXPECT_TRUE(fs::exists(home.LockFile()));
    ASSERT_TRUE(waitFor([&] { return Holds(TSandbox::ReadFile(marker), "/verysilent"); }));
    const std::string log = home.Log();
    EXPECT_TRUE(Holds(log, "] installing new version on startup...\r\n"));
    EXPECT_TRUE(Holds(log, "] stop current version\r\n"));
    EXPECT_FALSE(Holds(log, "program start"));
    EXPECT_FALSE(Holds(log, "start watching"));

    // The next start takes the lock file over.
    site.PutFile("/zelko/program_files/new_version/zelkotransfer.nvf", MakeDescriptor("3", "9", "28"));
    TAgentProcess next(sandbox, {"/headless"}, "next");
    ASSERT_TRUE(WaitForLog("] program start ( ZELKO KMR Transfer "));
    next.Signal(SIGINT);
    EXPECT_EQ(next.Wait(), 0);
    EXPECT_FALSE(fs::exists(home.LockFile()));
}

TEST_F(HeadlessAgentTest, WatchesTwoRulesSendsBacksUpAndStopsOnSignals) {
    TFilekeyPeer server(sandbox.Path("server"), {.lPlain = true});
    Import([&](TConfigurationDataRecord& d) { d.rHttpTransfer.rBase.sUrl = server.Url(); });
    TAgentProcess agent(sandbox, {"/headless", "start_watch"}, "watch");
    ASSERT_TRUE(WaitForLog("] start watching\r\n")) << agent.Errors();
    sandbox.WriteFile("data/ama/PNR0001.txt", "amadeus booking\r\n");
    sandbox.WriteFile("data/sabre/S0001.txt", "sabre booking\r\n");
    sandbox.WriteFile("data/sabre/notes.doc", "not a booking");

    ASSERT_TRUE(waitFor([&] { return server.Files().size() == 2; }, kLongWait));
    ASSERT_TRUE(
        waitFor([&] { return FileCount(sandbox.Path("bak/ama")) == 1 && FileCount(sandbox.Path("bak/sabre")) == 1; },
                kLongWait));
    // Inputs go once they are backed up; the mask leaves one file out.
    EXPECT_TRUE(waitFor(
        [&] { return FileCount(sandbox.Path("data/ama")) == 0 && FileCount(sandbox.Path("data/sabre")) == 1; }));
    const std::vector<std::string> files = server.Files();
    EXPECT_TRUE(Holds(files[0] + files[1], " ama_PNR0001")) << files[0] << files[1];
    EXPECT_TRUE(Holds(files[0] + files[1], " sabre_S0001")) << files[0] << files[1];

    agent.Signal(SIGTERM);
    EXPECT_EQ(agent.Wait(), 0);
    const std::string log = home.Log();
    const char* lines[] = {"] start watching\r\n", "] end file send session\r\n",
                           "] stop watching, exiting program\r\n", "] program stop (from watch)\r\n"};
    std::size_t at = 0;
    for (const char* line : lines) {
        at = log.find(line, at);
        EXPECT_NE(at, std::string::npos) << line << "\n" << log;
    }
    // The log lines the main window would show went to standard output, its counters to
    // standard error at the end.
    EXPECT_TRUE(Holds(agent.Output(), "] start watching"));
    EXPECT_TRUE(Holds(agent.Errors(), "ZELKO KMR Transfer: queued 2, processed 2, errors 0\n")) << agent.Errors();
    EXPECT_FALSE(fs::exists(home.LockFile()));

    // SIGHUP: the session ends while watching.
    fs::remove(home.LogFile());
    TAgentProcess again(sandbox, {"/headless", "start_watch"}, "again");
    ASSERT_TRUE(WaitForLog("] start watching\r\n"));
    again.Signal(SIGHUP);
    EXPECT_EQ(again.Wait(), 0);
    const std::string logOff = home.Log();
    EXPECT_TRUE(Holds(logOff, "] program stop (user logs off from watch)\r\n")) << logOff;
    EXPECT_TRUE(Holds(logOff, "] program stop before logs off from watch...\r\n")) << logOff;
    EXPECT_TRUE(Holds(again.Errors(), "stopping, user logs off detected..."));
}
