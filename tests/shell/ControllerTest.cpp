// The controller on a real configuration file in a sandbox, with a scripted person: what
// it builds, the dialog after a failed read, the transitions with their questions, and
// the checks before watching starts (against the local filekey server where one is needed).
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "collect/OFileCollector.h"
#include "config/OConfigurationData.h"
#include "config/OConfigurationDocument.h"
#include "config/OConfigurationFile.h"
#include "config/OConfigurator.h"
#include "foundation/MessagePoster.h"
#include "foundation/VeltEnvironment.h"
#include "shell/MainWindowRole.h"
#include "shell/OController.h"
#include "shell/VeltStateManagerForProgram.h"
#include "tests/support/FilekeyPeer.h"
#include "tests/support/Ports.h"
#include "tests/support/RecordingPoster.h"
#include "tests/support/Sandbox.h"
#include "tests/support/ScriptedUserInterface.h"
#include "tests/support/WaitFor.h"
#include "transfer/OFileSender.h"

namespace fs = std::filesystem;

namespace {

const std::string kQuestionExit = "Are you sure you want to exit ?\t\r\n\r\n( program will not longer run )\t";
const std::string kRerunAsAdministrator = "Please rerun program as administrator to enter program setup\t";
const std::string kKey32 = "0123456789abcdef0123456789ABCDEF";

class ControllerTest : public ::testing::Test {
protected:
    ControllerTest() {
        sandbox.platform.lRunningElevated = true;
        TEnvironmentOptions options;
        options.lCreateCommonApplicationDataPath = true;
        options.lCreateUserLocalTempPath = true;
        environment = std::make_unique<TEnvironment>(options, sandbox.platform);
    }
    ~ControllerTest() override { controller.reset(); }

    std::string AppDir() const { return environment->Paths().sCommonApplicationData; }
    std::string LogFile() const { return AppDir() + "zelkotransfer.log"; }
    std::string ConfigurationFile() const { return AppDir() + "zelkotransfer.cfg"; }
    std::string Dir(const std::string& relative) const {
        fs::create_directories(sandbox.Path(relative));
        return sandbox.Path(relative);
    }

    // An HTTPS configuration with one rule whose servers answer nowhere, changed by edit.
    void StoreConfiguration(const std::function<void(TConfigurationDataRecord&)>& edit = {}) {
        TConfigurator configurator(*environment, nullptr, nullptr);
        TConfigurationDataRecord& data = configurator.ConfigurationData()._rData;
        const std::string nowhere = "http://127.0.0.1:" + std::to_string(ClosedPort());
        data.ptUploadProtocol = tptHttp;
        data.rHttpTransfer.rBase = {nowhere, "", "agent", "secret", ""};
        data.rFtpTransfer.sLogin = "ftpuser";
        data.rWatchingRules.slCRSTypes = {"Amadeus"};
        data.rWatchingRules.slDataDirs = {Dir("data/ama")};
        data.rWatchingRules.slBakDirs = {Dir("bak/ama")};
        data.rWatchingRules.slDataFileMask = {".*"};
        data.rProgram.rNewVersion.sSiteCheck = nowhere;
        if (edit) edit(data);
        configurator.WriteConfiguration();
    }
    void StoreDocument(const std::string& document) {
        TConfigurationFile file(ConfigurationFile(), "zelkotransfer", environment->ProgramData().sProgramLicenceb);
        file.XMLStream() = document;
        file.Write(true);
    }

    TController& NewController() {
        controller.reset();
        TControllerOptions options;
        options.sFileQueueMutexName = "ZELKOTEST_CONTROLLER_" + std::to_string(getpid());
        controller = std::make_unique<TController>(*environment, ui, &poster, options);
        return *controller;
    }
    // Ends the controller, so that its writer has put every line into the file.
    std::string FinalLog() {
        controller.reset();
        return TSandbox::ReadFile(LogFile());
    }

    TSandbox sandbox;
    std::unique_ptr<TEnvironment> environment;
    TScriptedUserInterface ui;
    TRecordingPoster poster;
    std::unique_ptr<TController> controller;
};

bool Holds(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST_F(ControllerTest, ReadConfigurationReachesIdleWithEveryWorkerNoneRunning) {
    StoreConfiguration();
    TController& c = NewController();
    EXPECT_EQ(c.CurrentState(), stIdle);
    EXPECT_TRUE(ui.aBoxes.empty());
    ASSERT_NE(c.FileQueue(), nullptr);
    ASSERT_NE(c.FileCollector(), nullptr);
    ASSERT_NE(c.FileSender(), nullptr);
    ASSERT_NE(c.NewVersionChecker(), nullptr);
    EXPECT_FALSE(c.FileCollector()->Started());
    EXPECT_FALSE(c.FileSender()->Started());
    EXPECT_EQ(c.LogWriteDriverStringListId(), 0);
    EXPECT_TRUE(fs::exists(LogFile()));
}

TEST_F(ControllerTest, FailedReadAsksWhetherToConfigure) {
    const std::string noFileText = "No or bad configuration file found ( " + ConfigurationFile() +
                                   " )\t\r\n\r\nSetup configuration will start now\t";
    const struct {
        std::string sName;
        std::function<void()> store;
        TMessageButton answer;  // mbNone: the default button
        std::int32_t iState;
        std::string sText;  // empty: the no-file text
    } cases[] = {
        {"no file, default answer", [] {}, mbNone, stFinishing, ""},
        {"no file, cancelled", [] {}, mbCancel, stFinishing, ""},
        {"no file, accepted", [] {}, mbOK, stStart, ""},
        {"unknown protocol code",
         [&] {
             TConfigurationData data(*environment);
             std::string document = ComposeConfigurationDocument(data);
             const std::string attribute = "upload_protocol=\"2\"";
             document.replace(document.find(attribute), attribute.size(), "upload_protocol=\"7\"");
             StoreDocument(document);
         },
         mbCancel, stFinishing, ""},
        {"data directory missing",
         [&] {
             StoreConfiguration(
                 [&](TConfigurationDataRecord& d) { d.rWatchingRules.slDataDirs = {sandbox.Path("gone")}; });
         },
         mbCancel, stFinishing,
         "Configuration problem for current user\r\n\r\n( for CRS type: Amadeus no read/write permission in data "
         "directory: " +
             sandbox.Path("gone") + " )\t\r\n\r\nSetup configuration will start now\t"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sName);
        controller.reset();
        fs::remove(ConfigurationFile());
        c.store();
        ui = TScriptedUserInterface();
        if (c.answer != mbNone) ui.aAnswers = {c.answer};
        TController& made = NewController();

        EXPECT_EQ(made.CurrentState(), c.iState);
        ASSERT_EQ(ui.aBoxes.size(), 1u);
        const TMessageBoxRequest& box = ui.aBoxes[0];
        EXPECT_EQ(box.sText, c.sText.empty() ? noFileText : c.sText);
        EXPECT_EQ(box.kind, TMessageKind::Warning);
        EXPECT_EQ(box.buttons, mbOK | mbCancel | mbHelp);
        EXPECT_EQ(box.defaultButton, mbHelp);
        EXPECT_EQ(box.iHelpContext, 110000);
        EXPECT_EQ(ui.aHelpFiles, (std::vector<std::string>{sandbox.Path("bin/zelkotransfer") + "_en.html", ""}));
        // Ending right away: nothing is built that would have to be torn down.
        const bool workers = c.iState != stFinishing;
        EXPECT_EQ(made.FileQueue() != nullptr, workers);
        EXPECT_EQ(made.FileCollector() != nullptr, workers);
        EXPECT_EQ(made.FileSender() != nullptr, workers);
        EXPECT_EQ(made.NewVersionChecker() != nullptr, workers);
    }
}

TEST_F(ControllerTest, StartWatchingChecksInOrder) {
    TFilekeyPeer server(sandbox.Path("server"), {.lPlain = true});
    const struct {
        std::string sName;
        std::function<void(TConfigurationDataRecord&)> edit;
        std::string sFailure;  // empty: watching starts
        bool lOneLineWindow;   // "connecting to filekey host..." shown
    } cases[] = {
        {"another machine's address", [](auto& d) { d.rProgram.sPermittedIP = "192.168.10.21"; },
         "cannot start watching-this machine has not permitted IP, please check configuration", false},
        {"this machine's address, key of 32",
         [&](auto& d) {
             d.rProgram.sPermittedIP = "192.168.10.20";
             d.rHttpTransfer.rBase.sEncryptionKey = kKey32;
         },
         "", true},
        {"key of 31", [](auto& d) { d.rHttpTransfer.rBase.sEncryptionKey = kKey32.substr(1); },
         "cannot start watching-encryption key not set, please configure program", false},
        {"key of 33", [](auto& d) { d.rHttpTransfer.rBase.sEncryptionKey = kKey32 + "x"; },
         "cannot start watching-encryption key not set, please configure program", false},
        {"server checked and verified", [](auto& d) { d.rHttpTransfer.rCheck.lValidCertOnWatchAndUpload = true; }, "",
         true},
        {"server refuses the login",
         [](auto& d) {
             d.rHttpTransfer.rCheck.lValidCertOnWatchAndUpload = true;
             d.rHttpTransfer.rBase.sPassword = "wrong";
         },
         "cannot start watching-bad configuration ( bad user or password ), please check configuration", false},
        {"FTP still checks the HTTPS host",
         [](auto& d) {
             d.ptUploadProtocol = tptFtp;
             d.rHttpTransfer.rCheck.lValidCertOnWatchAndUpload = true;
             d.rHttpTransfer.rBase.sUrl = "http://127.0.0.1:" + std::to_string(ClosedPort());
         },
         "cannot start watching-bad configuration ( unable to connect ), please check configuration", false},
        {"FTP without the check asks no server",
         [](auto& d) {
             d.ptUploadProtocol = tptFtp;
             d.rHttpTransfer.rBase.sUrl = "http://127.0.0.1:" + std::to_string(ClosedPort());
         },
         "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sName);
        controller.reset();
        fs::remove(LogFile());
        StoreConfiguration([&](TConfigurationDataRecord& d) {
            d.rHttpTransfer.rBase.sUrl = server.Url();
            c.edit(d);
        });
        ui = TScriptedUserInterface();
        TController& made = NewController();
        ASSERT_EQ(made.CurrentState(), stIdle);
        // The document keeps only the section of the protocol in use: what FTP does with the
        // HTTPS settings shows with the data in memory.
        c.edit(made.ConfigurationData()._rData);
        made.RunChangeState("003-001", stWatching, true);

        const bool started = c.sFailure.empty();
        EXPECT_EQ(made.CurrentState(), started ? stWatching : stIdle);
        EXPECT_EQ(made.FileCollector()->Started(), started);
        EXPECT_EQ(made.FileSender()->Started(), started);
        EXPECT_EQ(ui.aAnnounced, started ? std::vector<std::int32_t>{stWatching} : std::vector<std::int32_t>{});
        EXPECT_EQ(ui.aOneLineTexts, c.lOneLineWindow ? std::vector<std::string>{"connecting to filekey host..."}
                                                     : std::vector<std::string>{});
        EXPECT_TRUE(ui.aBoxes.empty());
        if (started) {
            // Nothing is being sent: stopping asks no question.
            made.RunChangeState("004-001", stIdle, true);
            EXPECT_EQ(made.CurrentState(), stIdle);
            EXPECT_FALSE(made.FileCollector()->Started());
            EXPECT_FALSE(made.FileSender()->Started());
            EXPECT_TRUE(ui.aBoxes.empty());
            EXPECT_EQ(ui.aOneLineTexts.back(), "stopping on user request...");
        }
        const std::string log = FinalLog();
        if (started) {
            EXPECT_TRUE(Holds(log, "] start watching\r\n"));
            EXPECT_TRUE(Holds(log, "] stop watching, now idle\r\n"));
        } else {
            EXPECT_TRUE(Holds(log, "] " + c.sFailure + "\r\n")) << log;
            EXPECT_FALSE(Holds(log, "start watching\r\n"));
        }
    }
}

TEST_F(ControllerTest, SetupFromIdleNeedsElevation) {
    StoreConfiguration();
    const struct {
        std::string sName;
        bool lElevated;
        int iScreenAnswer;
        std::vector<std::string> aLines;  // in the log, in this order
    } cases[] = {
        {"not elevated", false, TConfigurationScreenPort::kSaved, {}},
        {"elevated, cancelled", true, TConfigurationScreenPort::kCancelled, {"] entering configuration"}},
        {"elevated, saved",
         true,
         TConfigurationScreenPort::kSaved,
         {"] entering configuration", "] saving configuration"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sName);
        sandbox.platform.lRunningElevated = c.lElevated;
        ui = TScriptedUserInterface();
        ui.oScreen.iAnswer = c.iScreenAnswer;
        controller.reset();
        fs::remove(LogFile());
        NewController().RunChangeState("005-001", stConfiguration, true);

        EXPECT_EQ(controller->CurrentState(), stIdle);
        EXPECT_EQ(ui.oScreen.iShown, c.lElevated ? 1 : 0);
        if (c.lElevated) {
            EXPECT_TRUE(ui.aBoxes.empty());
        } else {
            ASSERT_EQ(ui.aBoxes.size(), 1u);
            EXPECT_EQ(ui.aBoxes[0].sText, kRerunAsAdministrator);
            EXPECT_EQ(ui.aBoxes[0].kind, TMessageKind::Information);
            EXPECT_EQ(ui.aBoxes[0].buttons, mbOK);
        }
        // The nested step back to idle is announced, and so is the outer one.
        EXPECT_EQ(ui.aAnnounced, (std::vector<std::int32_t>{stIdle, stIdle}));
        const std::string log = FinalLog();
        std::size_t at = 0;
        for (const std::string& line : c.aLines) {
            at = log.find(line, at);
            EXPECT_NE(at, std::string::npos) << line;
        }
        if (c.aLines.empty()) {
            EXPECT_FALSE(Holds(log, "entering configuration"));
        }
    }
}

TEST_F(ControllerTest, FirstStartConfigurationEndsConfiguredOrNotConfigured) {
    const struct {
        std::string sName;
        bool lElevated;
        int iScreenAnswer;
        std::int32_t iState;
        std::size_t iBoxes;  // the configuration error box, then the elevation info box
    } cases[] = {
        {"saved", true, TConfigurationScreenPort::kSaved, stIdle, 1},
        {"cancelled", true, TConfigurationScreenPort::kCancelled, stNotConfigured, 1},
        {"not elevated", false, TConfigurationScreenPort::kSaved, stNotConfigured, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sName);
        sandbox.platform.lRunningElevated = c.lElevated;
        controller.reset();
        fs::remove(ConfigurationFile());
        ui = TScriptedUserInterface();
        ui.aAnswers = {mbOK};
        ui.oScreen.iAnswer = c.iScreenAnswer;
        TController& made = NewController();
        ASSERT_EQ(made.CurrentState(), stStart);
        made.RunChangeState("001-001", stConfiguration, true);
        EXPECT_EQ(made.CurrentState(), c.iState);
        EXPECT_EQ(ui.aBoxes.size(), c.iBoxes);
        EXPECT_EQ(ui.aAnnounced.front(), c.iState);
    }
    // From "not configured", Setup without elevation stays there.
    ui.aAnnounced.clear();
    controller->RunChangeState("005-001", stConfiguration, true);
    EXPECT_EQ(controller->CurrentState(), stNotConfigured);
    EXPECT_EQ(ui.aBoxes.back().sText, kRerunAsAdministrator);
}

TEST_F(ControllerTest, ExitFromIdleIsConfirmed) {
    StoreConfiguration();
    TController& c = NewController();
    TMainWindowRole mainWindow(c, &poster, {});
    mainWindow.Create();
    ui.aAnswers = {mbNo};
    EXPECT_FALSE(mainWindow.RequestClose());
    EXPECT_EQ(c.CurrentState(), stIdle);
    ASSERT_EQ(ui.aBoxes.size(), 1u);
    EXPECT_EQ(ui.aBoxes[0].sText, kQuestionExit);
    EXPECT_EQ(ui.aBoxes[0].buttons, mbYes | mbNo);

    EXPECT_TRUE(mainWindow.RequestClose());
    EXPECT_EQ(c.CurrentState(), stFinishing);
    const std::string log = FinalLog();
    EXPECT_TRUE(
        Holds(log, "] program start ( ZELKO KMR Transfer " + environment->ProgramData().sProgramVersion + " )"));
    EXPECT_TRUE(Holds(log, "] program stop (from idle)\r\n"));
}

TEST_F(ControllerTest, MainWindowRoleCountsAndReportsRefusedRequests) {
    StoreConfiguration();
    TController& c = NewController();
    TMainWindowRole mainWindow(c, &poster, {});
    mainWindow.Create();
    EXPECT_EQ(ui.aLogins, std::vector<std::string>{"agent"});
    EXPECT_EQ(ui.sHelpFile, sandbox.Path("bin/zelkotransfer") + "_en.html");
    EXPECT_NE(c.LogWriteDriverStringListId(), 0);

    mainWindow.HandleMessage(WM_FILEQUEUED, 0, 0);
    mainWindow.HandleMessage(WM_FILEQUEUED, 0, 0);
    mainWindow.HandleMessage(WM_FILESPROCESSED, 3, 1);
    EXPECT_EQ(mainWindow.Counters().iFilesQueue, 2);
    EXPECT_EQ(mainWindow.Counters().iFilesProcessed, 3);
    EXPECT_EQ(mainWindow.Counters().iFilesErrors, 1);

    // Stop while idle: refused by the state manager, told to the person, the program goes on.
    mainWindow.Stop();
    EXPECT_EQ(c.CurrentState(), stIdle);
    ASSERT_EQ(ui.aBoxes.size(), 1u);
    EXPECT_EQ(ui.aBoxes[0].kind, TMessageKind::Error);
    EXPECT_EQ(ui.aBoxes[0].sText, "TProgramStateManager error: [004-001] cannot run action-same states ( 4 )");

    // The session ends while idle: no question, the log says why the program stopped.
    EXPECT_TRUE(mainWindow.EndSession());
    EXPECT_EQ(c.CurrentState(), stLogOffFromIdle);
    const std::string log = FinalLog();
    EXPECT_TRUE(Holds(log, "error-[004-001] cannot run action-same states ( 4 )\r\n"));
    EXPECT_TRUE(Holds(log, "] program stop (user logs off from idle)\r\n"));
}

TEST_F(ControllerTest, NewVersionMessageWhileNotConfiguredOnlyCloses) {
    ui.aAnswers = {mbOK};
    TController& c = NewController();
    TMainWindowRole mainWindow(c, &poster, {});
    mainWindow.Create();
    mainWindow.Activate();  // the first-start configuration, cancelled
    ASSERT_EQ(c.CurrentState(), stNotConfigured);
    EXPECT_TRUE(mainWindow.HandleMessage(WM_NEWVERSIONFOUND, 0, 0));
    EXPECT_EQ(c.CurrentState(), stFinishing);
    EXPECT_EQ(ui.aBoxes.size(), 1u);  // the configuration error only: no exit question here
}

TEST_F(ControllerTest, LeavingWatchingDuringTransmissionIsConfirmed) {
    TFilekeyPeer server(sandbox.Path("server"), {.lPlain = true});
    server.SetControl(R"({"upload": {"delay": 2}})");
    StoreConfiguration([&](TConfigurationDataRecord& d) {
        d.rHttpTransfer.rBase.sUrl = server.Url();
        d.rWatchingRules.iCollectorInterval = 1;
    });
    TController& c = NewController();
    c.RunChangeState("003-001", stWatching, true);
    ASSERT_EQ(c.CurrentState(), stWatching);
    sandbox.WriteFile("data/ama/PNR0001.txt", "booking");
    ASSERT_TRUE(waitFor([&] { return c.FileSender()->NowSending(); }, std::chrono::seconds(20)));

    ui.aAnswers = {mbNo, mbNo};
    c.RunChangeState("004-001", stIdle, true);
    c.RunChangeState("002-001", stFinishing, false);
    EXPECT_EQ(c.CurrentState(), stWatching);
    EXPECT_TRUE(c.FileCollector()->Started());
    EXPECT_EQ(ui.iProcessMessagesCalls, 2);
    ASSERT_EQ(ui.aBoxes.size(), 2u);
    EXPECT_EQ(
        ui.aBoxes[0].sText,
        "Are you sure you want stop watching now ?\t\r\n\r\n( transmission in progress, confirmation required )\t");
    EXPECT_EQ(ui.aBoxes[1].sText,
              "Are you sure you want to exit ?\t\r\n\r\n( program will not longer run and now transmission is in "
              "progress )\t");

    // Yes: the pass in progress ends first, so the file arrives before the program stops.
    c.RunChangeState("002-001", stFinishing, false);
    EXPECT_EQ(c.CurrentState(), stFinishing);
    EXPECT_FALSE(c.FileSender()->Started());
    EXPECT_EQ(ui.aOneLineTexts.back(), "stopping...");
    EXPECT_EQ(server.Files().size(), 1u);
    const std::string log = FinalLog();
    const std::size_t stop = log.find("] stop watching, exiting program\r\n");
    ASSERT_NE(stop, std::string::npos);
    EXPECT_NE(log.find("] program stop (from watch)\r\n", stop), std::string::npos);
}
