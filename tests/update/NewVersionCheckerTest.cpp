// The new version checker against the local update site: the user agent and proxy it
// takes from the configuration, the start-up calls with the installer's command line,
// and the background thread with its day and hour window (driven by an injected clock).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "config/OConfigurationData.h"
#include "foundation/MessagePoster.h"
#include "foundation/VeltEnvironment.h"
#include "foundation/platform/Process.h"
#include "log/VeltStraightLogData.h"
#include "tests/support/LogLines.h"
#include "tests/support/FilekeyPeer.h"
#include "tests/support/PeerProcess.h"
#include "tests/support/RecordingPoster.h"
#include "tests/support/Sandbox.h"
#include "tests/support/UpdateSitePeer.h"
#include "tests/support/WaitFor.h"
#include "update/ONewVersionChecker.h"

namespace fs = std::filesystem;

namespace {

const std::string kSitePath = "/zelko";
const std::string kDescriptorPath = kSitePath + "/program_files/new_version/zelkotransfer.nvf";
const std::string kArchivePath = kSitePath + "/program_files/new_version/i_zelkotransfer.zip";
const std::string kInstallerName = "i_zelkotransfer_3_10_0";

// Writes its arguments next to itself, so the test sees that it ran and how.
const std::string kInstallerScript = "#!/bin/sh\nprintf '%s\\n' \"$*\" > \"$(dirname \"$0\")/installer-ran.txt\"\n";

std::tm LocalTime(int isoWeekday, int hour) {
    std::tm time{};
    time.tm_year = 124;
    time.tm_wday = isoWeekday % 7;
    time.tm_hour = hour;
    return time;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

class NewVersionCheckerTest : public ::testing::Test {
protected:
    NewVersionCheckerTest() {
        configuration._rData.rProgram.rNewVersion.sSiteCheck = site.Url(kSitePath);
        configuration._rData.rProgram.rNewVersion.sLimitedCheckDays = "12345";
        configuration._rData.rProgram.rNewVersion.sLimitedCheckHours = "9-15";
    }

    std::unique_ptr<TNewVersionChecker> NewChecker(std::tm now = LocalTime(3, 10)) {
        return std::make_unique<TNewVersionChecker>(
            environment, &configuration, &logData,
            [this] {
                ++allowedCalls;
                return lookAllowed.load();
            },
            &poster, [now] { return now; });
    }
    void Publish(const std::string& major, const std::string& minor, const std::string& release) {
        site.PutFile(kDescriptorPath, MakeDescriptor(major, minor, release));
    }
    void PublishArchive(const std::vector<TZipEntry>& entries) { site.PutFile(kArchivePath, MakeZipArchive(entries)); }
    void PublishInstaller() { PublishArchive({{"setup/", "", {}}, {"setup/" + kInstallerName, kInstallerScript, 0100644}}); }

    // Log lines written since the last call.
    std::vector<std::string> TakeLog() { return TakeLogLines(logData); }
    // The messages of the checker's own lines, stamp removed; reports of the lower layer as they are.
    std::vector<std::string> TakeMessages() {
        std::vector<std::string> messages;
        for (const std::string& line : TakeLog()) {
            messages.push_back(line.rfind("[ ", 0) == 0 ? line.substr(line.find(" ] ") + 3) : line);
        }
        return messages;
    }

    std::string StoreDir() const { return sandbox.CacheHome() + "/Temp/ZELKO KMR Transfer/ZELKO KMR Transfer"; }
    std::string ExpectedCommand() const {
        return "\"" + StoreDir() + "/" + kInstallerName + "\" /verysilent /nocancel /components=\"program\" /dir=\"" +
               sandbox.Path("bin") + "/\"";
    }

    TSandbox sandbox;
    TEnvironment environment{TEnvironmentOptions{false, false, false, true}, sandbox.platform};
    TConfigurationData configuration{environment};
    TLogData logData{4096, 1024, 256, false};
    TUpdateSitePeer site{sandbox.Path("site")};
    TRecordingPoster poster;
    std::atomic<int> allowedCalls{0};
    std::atomic<bool> lookAllowed{true};
};

TEST_F(NewVersionCheckerTest, ConstructorNamesTheMissingCollaborator) {
    try {
        TNewVersionChecker(environment, nullptr, &logData, {});
        FAIL();
    } catch (const ENewVersionChecker& error) {
        EXPECT_STREQ(error.what(), "TNewVersionChecker error: cannot create object, configuration data not defined");
    }
    try {
        TNewVersionChecker(environment, &configuration, nullptr, {});
        FAIL();
    } catch (const ENewVersionChecker& error) {
        EXPECT_STREQ(error.what(), "TNewVersionChecker error: cannot create object, log data not defined");
    }
}

TEST_F(NewVersionCheckerTest, UserAgentNamesProgramMachineAndLogin) {
    const std::string common = "Mozilla/4.0 (compatible; Synapse) ( zelkotransfer " +
                               environment.ProgramData().sProgramVersion + " ) ( 192.168.10.20 " +
                               environment.ProgramData().sProgramLicence + " ) ";
    const struct {
        TProtocolType ptProtocol;
        std::string sHttpLogin, sFtpLogin, sEnd;
    } cases[] = {
        {tptHttp, "agent", "ftpuser", "( https agent )"},
        {tptHttp, "", "ftpuser", ""},
        {tptFtp, "agent", "ftpuser", "( ftp/ftps ftpuser )"},
        {tptFtp, "agent", "", ""},
    };
    for (const auto& c : cases) {
        configuration._rData.ptUploadProtocol = c.ptProtocol;
        configuration._rData.rHttpTransfer.rBase.sLogin = c.sHttpLogin;
        configuration._rData.rFtpTransfer.sLogin = c.sFtpLogin;
        const auto checker = NewChecker();
        EXPECT_EQ(checker->HttpAgentName(), common + c.sEnd);
        // Fixed at construction: later changes do not reach it.
        configuration._rData.rFtpTransfer.sLogin = "changed";
        configuration._rData.rHttpTransfer.rBase.sLogin = "changed";
        EXPECT_EQ(checker->HttpAgentName(), common + c.sEnd);
        if (c.sEnd == "( https agent )") {
            Publish("3", "9", "28");
            checker->IsNewVersion();
            EXPECT_EQ(site.Requests().back(), "GET " + kDescriptorPath + " | ua: " + common + c.sEnd);
        }
    }
}

TEST_F(NewVersionCheckerTest, ProxyChoiceOfTheConfiguration) {
    const std::string record = sandbox.Path("proxy.log");
    TPeerProcess proxy(TPeerProcess::PythonPeer("connect_proxy.py", {"--record", record}));
    Publish("3", "9", "28");
    auto& settings = configuration._rData.rProgram.rNewVersion;
    settings.sProxyHost = "127.0.0.1";
    settings.sProxyPort = std::to_string(proxy.Port());
    settings.sProxyLogin = "pxuser";
    settings.sProxyPassword = "pxpass";
    sandbox.platform.rProxy.sHttps = proxy.HostAndPort();
    const std::string viaProxy = "GET " + site.Url(kDescriptorPath) + " HTTP/1.1 | auth: ";
    const auto checker = NewChecker();

    settings.lProxyActive = false;
    checker->IsNewVersion();
    EXPECT_EQ(site.Requests().size(), 1u);
    EXPECT_TRUE(ReadLines(record).empty());

    settings.lProxyActive = true;
    checker->IsNewVersion();
    ASSERT_EQ(ReadLines(record).size(), 1u);
    EXPECT_EQ(ReadLines(record).back(), viaProxy + "pxuser:pxpass");

    // The system's proxy, never with the configured login.
    settings.lProxyIEType = true;
    checker->IsNewVersion();
    ASSERT_EQ(ReadLines(record).size(), 2u);
    EXPECT_EQ(ReadLines(record).back(), viaProxy + "-");
    EXPECT_EQ(site.Requests().size(), 1u);
}

TEST_F(NewVersionCheckerTest, IsNewVersionLogsItsVerdict) {
    const auto checker = NewChecker();
    Publish("3", "9", "28");
    EXPECT_FALSE(checker->IsNewVersion());
    EXPECT_EQ(TakeMessages(), (std::vector<std::string>{"checking for new version...", "no new version or check impossible..."}));
    Publish("3", "10", "0");
    EXPECT_TRUE(checker->IsNewVersion());
    EXPECT_EQ(TakeMessages(), (std::vector<std::string>{"checking for new version...", "new version information found..."}));
    site.SetRule(kDescriptorPath, R"({"status": 404})");
    EXPECT_FALSE(checker->IsNewVersion());
    EXPECT_EQ(TakeMessages(),
              (std::vector<std::string>{"checking for new version...",
                                        "unexpected error (#02) while checking for new version\r\n>>error code:404\r\n"
                                        ">>error string:Not Found",
                                        "no new version or check impossible..."}));
}

TEST_F(NewVersionCheckerTest, PreparedInstallerIsStartedByItsCommandLine) {
    Publish("3", "10", "0");
    PublishInstaller();
    const auto checker = NewChecker();
    ASSERT_TRUE(checker->IsNewVersion());
    TakeLog();
    std::vector<std::string> downloadProgress, unpackProgress;
    const std::string command = checker->PrepareNewVersion(
        [&](const std::string& text) { downloadProgress.push_back(text); },
        [&](const std::string& text) { unpackProgress.push_back(text); });

    EXPECT_EQ(command, ExpectedCommand());
    EXPECT_EQ(TakeMessages(), (std::vector<std::string>{"downloading new version...", "new version downloaded, unpacking...",
                                                        "new version unpacked"}));
    EXPECT_EQ(downloadProgress.back(), "ready");
    EXPECT_EQ(unpackProgress.back(), "ready");
    EXPECT_FALSE(fs::exists(StoreDir() + "/i_zelkotransfer.zip"));
    const std::string installer = StoreDir() + "/" + kInstallerName;
    EXPECT_EQ(platform::SplitCommandLine(command),
              (std::vector<std::string>{installer, "/verysilent", "/nocancel", "/components=program",
                                        "/dir=" + sandbox.Path("bin") + "/"}));

    // Stored without execute bit, yet it runs.
    ASSERT_EQ(platform::StartDetachedProcess(command), 0);
    const std::string ran = StoreDir() + "/installer-ran.txt";
    ASSERT_TRUE(waitFor([&] { return EndsWith(TSandbox::ReadFile(ran), "\n"); }));
    EXPECT_EQ(TSandbox::ReadFile(ran), "/verysilent /nocancel /components=program /dir=" + sandbox.Path("bin") + "/\n");
}

TEST_F(NewVersionCheckerTest, FailedPreparationGivesAnEmptyCommand) {
    const std::string installer = StoreDir() + "/" + kInstallerName;
    const struct {
        std::string sArchive;  // empty: the site has none
        std::vector<std::string> aMessages;
    } cases[] = {
        {"",
         {"downloading new version...",
          "unexpected (#02) error while downloading new version\r\n>>error code:404\r\n>>error string:Not Found",
          "error-new version not downloaded"}},
        {"not a zip file",
         {"downloading new version...", "new version downloaded, unpacking...",
          "error-while unpacking new version\r\n>>error message:Not a zip archive", "error-new version not unpacked"}},
        {MakeZipArchive({{"setup/i_zelkotransfer_3_9_99", kInstallerScript, 0100755}}),
         {"downloading new version...", "new version downloaded, unpacking...", "new version unpacked",
          "error-new version installation file not found (" + installer + ")"}},
    };
    Publish("3", "10", "0");
    const auto checker = NewChecker();
    ASSERT_TRUE(checker->IsNewVersion());
    for (const auto& c : cases) {
        if (c.sArchive.empty()) {
            site.SetRule(kArchivePath, R"({"status": 404})");
        } else {
            site.ClearRules();
            site.PutFile(kArchivePath, c.sArchive);
        }
        TakeLog();
        EXPECT_EQ(checker->PrepareNewVersion({}, {}), "");
        EXPECT_EQ(TakeMessages(), c.aMessages);
    }
}

// ---- the background thread -------------------------------------------------------------

class NewVersionCheckerConcurrencyTest : public NewVersionCheckerTest {};

TEST_F(NewVersionCheckerConcurrencyTest, OutsideTheWindowNothingIsRequested) {
    Publish("3", "10", "0");
    PublishInstaller();
    const struct {
        const char* sWhy;
        bool lAllowed;
        std::tm tNow;
    } cases[] = {
        {"Saturday with days 12345", true, LocalTime(6, 10)},
        {"after the hours", true, LocalTime(3, 16)},
        {"not allowed, in the configuration state", false, LocalTime(3, 10)},
    };
    for (const auto& c : cases) {
        lookAllowed = c.lAllowed;
        allowedCalls = 0;
        const auto checker = NewChecker(c.tNow);
        checker->SetNapsBetweenChecks(1);
        checker->Start();
        ASSERT_TRUE(waitFor([&] { return allowedCalls >= 3; })) << c.sWhy;
        checker->Stop();
        EXPECT_TRUE(site.Requests().empty()) << c.sWhy;
        EXPECT_FALSE(checker->ThereIsNewVersion());
        EXPECT_EQ(checker->UpdateCommand(), "");
    }
    EXPECT_EQ(poster.Count(WM_NEWVERSIONFOUND), 0u);
    EXPECT_TRUE(TakeLog().empty());
}

TEST_F(NewVersionCheckerConcurrencyTest, MalformedWindowIsLoggedAndTheThreadGoesOn) {
    configuration._rData.rProgram.rNewVersion.sLimitedCheckHours = "9-x";
    Publish("3", "10", "0");
    const auto checker = NewChecker();
    checker->SetNapsBetweenChecks(1);
    checker->Start();
    ASSERT_TRUE(waitFor([&] { return allowedCalls >= 3; }));
    checker->Stop();
    const std::vector<std::string> messages = TakeMessages();
    ASSERT_GE(messages.size(), 2u);
    for (const std::string& message : messages) {
        EXPECT_EQ(message, "error-new version check skipped, bad check days or hours (12345 / 9-x)");
    }
    EXPECT_TRUE(site.Requests().empty());
}

TEST_F(NewVersionCheckerConcurrencyTest, FoundVersionIsPreparedPostedOnceAndKept) {
    Publish("3", "10", "0");
    PublishInstaller();
    const auto checker = NewChecker(LocalTime(3, 10));
    checker->SetNapsBetweenChecks(1);
    checker->Start();
    ASSERT_TRUE(waitFor([&] { return poster.Count(WM_NEWVERSIONFOUND) == 1; }));
    EXPECT_TRUE(checker->ThereIsNewVersion());
    EXPECT_EQ(checker->UpdateCommand(), ExpectedCommand());
    const auto posted = poster.Posted();
    EXPECT_EQ(posted[0].wParam, 0);
    EXPECT_EQ(posted[0].lParam, 0);

    // Later rounds still ask, but look no further.
    const int rounds = allowedCalls;
    ASSERT_TRUE(waitFor([&] { return allowedCalls >= rounds + 3; }));
    checker->Stop();
    EXPECT_EQ(site.Requests().size(), 2u);
    EXPECT_EQ(poster.Count(WM_NEWVERSIONFOUND), 1u);
    EXPECT_EQ(checker->UpdateCommand(), ExpectedCommand());
}

TEST_F(NewVersionCheckerConcurrencyTest, StopEndsAThreadBetweenChecksPromptly) {
    lookAllowed = false;
    auto checker = NewChecker();
    checker->Start();  // five minutes between checks
    ASSERT_TRUE(waitFor([&] { return allowedCalls >= 1; }));
    const auto started = std::chrono::steady_clock::now();
    checker.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_EQ(allowedCalls, 1);
}

}  // namespace
