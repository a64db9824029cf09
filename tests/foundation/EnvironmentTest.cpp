#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "foundation/VeltDigitalStamps.h"
#include "foundation/VeltEnvironment.h"
#include "tests/support/Sandbox.h"

namespace fs = std::filesystem;

TEST(Environment, PathsAreTheProgramFoldersInTheXdgHomes) {
    TSandbox sandbox;
    TEnvironmentOptions options;
    options.lCreateCommonApplicationDataPath = true;
    options.lCreateUserLocalTempPath = true;
    const TEnvironment environment(options, sandbox.platform);
    const TEnvironmentPaths& paths = environment.Paths();

    EXPECT_EQ(paths.sCommonApplicationData, sandbox.DataHome() + "/ZELKO KMR Transfer/ZELKO KMR Transfer/");
    EXPECT_EQ(paths.sUserApplicationData, sandbox.ConfigHome() + "/ZELKO KMR Transfer/ZELKO KMR Transfer/");
    EXPECT_EQ(paths.sUserLocalApplicationData, sandbox.CacheHome() + "/ZELKO KMR Transfer/ZELKO KMR Transfer/");
    EXPECT_EQ(paths.sUserLocalTemp, sandbox.CacheHome() + "/Temp/ZELKO KMR Transfer/ZELKO KMR Transfer/");
    EXPECT_EQ(paths.sCommonFilesDir, sandbox.Path("common-files") + "/ZELKO KMR Transfer/");
    // The program body's flags create the common data and temporary folders, nothing else.
    EXPECT_TRUE(fs::is_directory(paths.sCommonApplicationData));
    EXPECT_TRUE(fs::is_directory(paths.sUserLocalTemp));
    EXPECT_FALSE(fs::exists(paths.sUserApplicationData));
    EXPECT_FALSE(fs::exists(paths.sUserLocalApplicationData));
    EXPECT_FALSE(fs::exists(paths.sCommonFilesDir));
}

TEST(Environment, MissingHomesFallBackToTheProgramDirectory) {
    TSandbox sandbox;
    sandbox.platform.sCommonAppDataBase.reset();
    sandbox.platform.sUserLocalAppDataBase.reset();
    sandbox.platform.sCommonFilesBase.reset();
    const TEnvironment environment({}, sandbox.platform);
    const std::string programDirectory = sandbox.Path("bin") + "/";
    EXPECT_EQ(environment.Paths().sCommonApplicationData, programDirectory);
    EXPECT_EQ(environment.Paths().sUserLocalTemp, programDirectory);
    EXPECT_EQ(environment.Paths().sCommonFilesDir, programDirectory);
}

TEST(Environment, ProgramNamesAndVersion) {
    struct Case { std::string programFile, fullName, baseName; };
    const Case cases[] = {
        {"/opt/zelko/zelkotransfer", "/opt/zelko/zelkotransfer", "zelkotransfer"},
        {"/opt/apps/Agent.exe", "/opt/apps/Agent", "Agent"},
        {"/opt/x.exe/Agent.exe", "/opt/x/Agent", "Agent"},  // every occurrence of the extension goes
        {"/opt/a.b/c.b", "/opt/a/c", "c"},
    };
    for (const auto& c : cases) {
        TFakePlatform platform;
        platform.sProgramFile = c.programFile;
        const TEnvironment environment({}, platform);
        EXPECT_EQ(environment.ProgramData().sProgramFullName, c.fullName);
        EXPECT_EQ(environment.ProgramData().sProgramBaseName, c.baseName);
    }
    TFakePlatform platform;
    const TEnvironment environment({}, platform);
    EXPECT_TRUE(std::regex_match(environment.ProgramData().sProgramVersion, std::regex(R"(\d+\.\d+\.\d+)")));
    EXPECT_FALSE(environment.ProgramData().sProgramAuthor.empty());
}

TEST(Environment, MachineIdentifierFollowsTheVolumeSerial) {
    TFakePlatform platform;
    platform.iVolumeSerial = 0x1234ABCDu;
    const TEnvironment first({}, platform);
    const std::string digest = StampMd5("1234ABCD");
    EXPECT_EQ(first.ProgramData().sProgramLicenceb, digest);
    const std::string& licence = first.ProgramData().sProgramLicence;
    EXPECT_TRUE(std::regex_match(licence, std::regex("[0-9A-F]{8}(-[0-9A-F]{8}){3}"))) << licence;
    std::string joined = licence;
    std::erase(joined, '-');
    for (char& c : joined) c = static_cast<char>(std::tolower(c));
    EXPECT_EQ(joined, digest);

    platform.sLogonUserName = "someone-else";
    EXPECT_EQ(TEnvironment({}, platform).ProgramData().sProgramLicence, licence);  // same machine, other user
    platform.iVolumeSerial = 0x1234ABCEu;
    EXPECT_NE(TEnvironment({}, platform).ProgramData().sProgramLicence, licence);  // another drive
    platform.iVolumeSerial.reset();
    EXPECT_EQ(TEnvironment({}, platform).ProgramData().sProgramLicenceb, StampMd5("00000000"));
}

TEST(Environment, CommandLineIsNormalised) {
    TFakePlatform platform;
    platform.aArguments = {"/NoSplash", "START_WATCH", "/importconfig=/Tmp/File.xml", "x="};
    const TEnvironment environment({}, platform);
    const std::vector<std::string> expected = {"/nosplash=", "start_watch=", "/importconfig=/tmp/file.xml", "x="};
    EXPECT_EQ(environment.CmdLineArgs().slList, expected);
    EXPECT_TRUE(environment.FindCmdLineArg("/NOSPLASH"));
    EXPECT_FALSE(environment.FindCmdLineArg("/nosplas"));
    EXPECT_EQ(environment.GetCmdLineArgValue("/importconfig"), "/tmp/file.xml");
    EXPECT_EQ(environment.GetCmdLineArgValue("start_watch"), "");
    try {
        environment.GetCmdLineArgValue("/Missing");
        FAIL();
    } catch (const EEnvironment& e) {
        EXPECT_STREQ(e.what(), "TEnvironment error: command line argument /missing does not exist");
    }
}

TEST(Environment, LogStamps) {
    TFakePlatform platform;
    platform.iPerformanceCounter = 1000;
    const TEnvironment environment({}, platform);
    EXPECT_EQ(environment.PreciseTextTimeStampRelative(), "0000 0000 0000 0000");
    platform.iPerformanceCounter = 1000 + 123456;
    EXPECT_EQ(environment.PreciseTextTimeStampRelative(), "0000 0000 0012 3456");

    const std::string T = R"(\d{4}\.\d{2}\.\d{2} \d{2}:\d{2}:\d{2})";
    const std::string P = "0000 0000 0012 3456";
    struct Case { std::string got, pattern; };
    const Case cases[] = {
        {environment.GetLogDataStamp(false, "lib.programstatemanager"), R"(\[ )" + T + R"( \] lib\.programstatemanager )"},
        {environment.GetLogDataStamp(false, "   "), R"(\[ )" + T + R"( \] )"},
        {environment.GetLogDataStamp(true, " SEND "), R"(\[ )" + T + " - " + P + R"( \] SEND )"},
        {environment.GetLogDataStamp(true, ""), R"(\[ )" + T + " - " + P + R"( \] )"},
        {environment.GetLogDebugDataStamp(true, "X"), R"(\[ )" + T + " - " + P + R"( \] X \[debug\] )"},
        {environment.GetLogDebugDataStamp(false, "X"), R"(\[ )" + T + R"( \] X )"},
    };
    for (const auto& c : cases) EXPECT_TRUE(std::regex_match(c.got, std::regex(c.pattern))) << "'" << c.got << "'";
}

TEST(Environment, LiveQuestionsAskThePlatform) {
    TFakePlatform platform;
    platform.rProxy.sHttp = "proxy:3128";
    platform.rTimeZone = {true, -120, true};
    platform.iMemoryLoad = 250;
    const TEnvironment environment({}, platform);
    EXPECT_TRUE(environment.IEProxyActive());
    EXPECT_EQ(environment.IEProxyHttpsHost(), "proxy");
    EXPECT_EQ(environment.IEProxyHttpsPort(), "3128");
    EXPECT_EQ(environment.TimeShiftUTC(), -120);
    EXPECT_TRUE(environment.DaylightTime());
    EXPECT_EQ(environment.MemoryLoad(), 100);
    EXPECT_EQ(environment.LocalIP(), "192.168.10.20");
    EXPECT_EQ(environment.HttpPostBoundary(),
              "_http_post_boundary_ZELKOTRANSFER_" + environment.ProgramData().sProgramLicence + "_");
    platform.rTimeZone = {false, -120, false};
    EXPECT_FALSE(environment.LocalTimeSettingsValid());
    EXPECT_EQ(environment.TimeShiftUTC(), 0);
}

TEST(Environment, RealPlatformAnswers) {
    const TPlatform& platform = SystemPlatform();
    EXPECT_TRUE(fs::exists(platform.ProgramFile()));
    EXPECT_FALSE(platform.LogonUserName().empty());
    const int load = platform.MemoryLoad();
    EXPECT_GE(load, 0);
    EXPECT_LE(load, 100);
    const std::string address = platform.LocalIPv4Address();
    EXPECT_NE(address.rfind("127.", 0), 0u) << address;  // never the loopback answer
    EXPECT_GT(platform.PerformanceCounter(), 0);
}
