// The program body with a scripted front end: what it does after the message loop,
// by the state the loop left behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "config/OConfigurationData.h"
#include "config/OConfigurator.h"
#include "foundation/MessagePoster.h"
#include "foundation/VeltEnvironment.h"
#include "shell/MainWindowRole.h"
#include "shell/OController.h"
#include "shell/ProgramBody.h"
#include "tests/support/Ports.h"
#include "tests/support/RecordingPoster.h"
#include "tests/support/Sandbox.h"
#include "tests/support/ScriptedUserInterface.h"

namespace fs = std::filesystem;

namespace {

// The main window's part is played by a function of the test.
class TScriptedFrontEnd : public TFrontEnd {
public:
    using TLoop = std::function<int(TMainWindowRole&, TController&)>;
    explicit TScriptedFrontEnd(TLoop loop) : _fLoop(std::move(loop)) {}

    TUserInterface& UserInterface() override { return ui; }
    TMessagePoster* Poster() override { return &poster; }
    void CreateWindows(TController& controller) override {
        _oController = &controller;
        _ocMainWindow = std::make_unique<TMainWindowRole>(controller, &poster, std::vector<std::string>{});
        _ocMainWindow->Create();
        ++iWindowsCreated;
    }
    int RunMessageLoop() override { return _fLoop(*_ocMainWindow, *_oController); }

    TScriptedUserInterface ui;
    TRecordingPoster poster;
    int iWindowsCreated = 0;

private:
    TLoop _fLoop;
    TController* _oController = nullptr;
    std::unique_ptr<TMainWindowRole> _ocMainWindow;
};

class ProgramBodyTest : public ::testing::Test {
protected:
    ProgramBodyTest() { sandbox.platform.lRunningElevated = true; }

    std::string AppDir() const { return sandbox.DataHome() + "/ZELKO KMR Transfer/ZELKO KMR Transfer/"; }
    std::string Log() const { return TSandbox::ReadFile(AppDir() + "zelkotransfer.log"); }
    void StoreConfiguration() {
        TEnvironmentOptions options;
        options.lCreateCommonApplicationDataPath = true;
        const TEnvironment environment(options, sandbox.platform);
        TConfigurator configurator(environment, nullptr, nullptr);
        TConfigurationDataRecord& data = configurator.ConfigurationData()._rData;
        fs::create_directories(sandbox.Path("data"));
        fs::create_directories(sandbox.Path("bak"));
        data.rWatchingRules.slCRSTypes = {"Amadeus"};
        data.rWatchingRules.slDataDirs = {sandbox.Path("data")};
        data.rWatchingRules.slBakDirs = {sandbox.Path("bak")};
        data.rWatchingRules.slDataFileMask = {".*"};
        data.rProgram.rNewVersion.sSiteCheck = "http://127.0.0.1:" + std::to_string(ClosedPort());
        configurator.WriteConfiguration();
    }

    TSandbox sandbox;
};

bool Holds(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST_F(ProgramBodyTest, EndSequenceFollowsTheFinalState) {
    StoreConfiguration();
    const struct {
        std::string sName;
        TScriptedFrontEnd::TLoop loop;
        std::string sLine;  // logged after the loop
        bool lErrorBox;
    } cases[] = {
        {"new version found while idle",
         [](TMainWindowRole& window, TController&) {
             EXPECT_TRUE(window.HandleMessage(WM_NEWVERSIONFOUND, 0, 0));
             return kExitNormal;
         },
         "] installing new version from idle...\r\n", true},
        {"session ends while idle",
         [](TMainWindowRole& window, TController&) {
             EXPECT_TRUE(window.EndSession());
             return kExitNormal;
         },
         "] program stop before user logs off from idle...\r\n", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sName);
        fs::remove(AppDir() + "zelkotransfer.log");
        TScriptedFrontEnd frontEnd(c.loop);
        EXPECT_EQ(RunProgramBody(frontEnd, sandbox.platform), kExitNormal);
        EXPECT_EQ(frontEnd.iWindowsCreated, 1);
        EXPECT_EQ(frontEnd.ui.aSplashTexts,
                  (std::vector<std::string>{"Initializing...", "Checking for new version...", "Initializing..."}));
        EXPECT_FALSE(fs::exists(AppDir() + "zelkotransfer.lck"));
        const std::string log = Log();
        EXPECT_TRUE(Holds(log, c.sLine)) << log;
        if (c.lErrorBox) {
            // Nothing was prepared, so there is no installer to start.
            ASSERT_EQ(frontEnd.ui.aBoxes.size(), 1u);
            EXPECT_EQ(frontEnd.ui.aBoxes[0].sText,
                      "Error while installing new program version from idle\t\r\n\r\n( new version not installed )\t");
            EXPECT_EQ(frontEnd.ui.aBoxes[0].kind, TMessageKind::Error);
            EXPECT_TRUE(Holds(log, "] error-executing new version installation file\r\n"));
            EXPECT_TRUE(Holds(log, "] command: \r\n"));
        } else {
            EXPECT_TRUE(frontEnd.ui.aBoxes.empty());
        }
    }
}

TEST_F(ProgramBodyTest, DeclinedConfigurationEndsBeforeAnyWindow) {
    TScriptedFrontEnd frontEnd([](TMainWindowRole&, TController&) {
        ADD_FAILURE() << "no message loop expected";
        return kExitNormal;
    });
    frontEnd.ui.aAnswers = {mbCancel};
    EXPECT_EQ(RunProgramBody(frontEnd, sandbox.platform), kExitNeedsConfigurationWindow);
    EXPECT_EQ(frontEnd.iWindowsCreated, 0);
    EXPECT_EQ(frontEnd.ui.aSplashTexts, (std::vector<std::string>{"Initializing...", "Finalizing..."}));
    EXPECT_FALSE(fs::exists(AppDir() + "zelkotransfer.lck"));
    EXPECT_FALSE(Holds(Log(), "checking for new version"));
}
