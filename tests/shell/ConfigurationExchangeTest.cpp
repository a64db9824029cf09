// Export and import of the configuration document: who may, with which password, and
// that a refused or failed import leaves the stored configuration exactly as it was.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

#include "config/OConfigurationData.h"
#include "config/OConfigurationDocument.h"
#include "config/OConfigurator.h"
#include "foundation/VeltDigitalStamps.h"
#include "foundation/VeltEnvironment.h"
#include "foundation/VeltStartupOneInstanceOnFile.h"
#include "shell/ConfigurationExchange.h"
#include "tests/support/Sandbox.h"

namespace fs = std::filesystem;

namespace {

const std::string kDefaultPassword = "opalgrey";

class ConfigurationExchangeTest : public ::testing::Test {
protected:
    ConfigurationExchangeTest() {
        sandbox.platform.lRunningElevated = true;
        TEnvironmentOptions options;
        options.lCreateCommonApplicationDataPath = true;
        environment = std::make_unique<TEnvironment>(options, sandbox.platform);
    }

    std::string ConfigurationFile() const { return environment->Paths().sCommonApplicationData + "zelkotransfer.cfg"; }
    std::string StoredBytes() const {
        return fs::exists(ConfigurationFile()) ? TSandbox::ReadFile(ConfigurationFile()) : "";
    }

    // A document with one rule whose directories exist, and its own administration password.
    std::string Document(const std::string& password, const std::string& dataDir = "") const {
        TConfigurationData data(*environment);
        data._rData.sSetupAuthorization = StampMd5(password);
        data._rData.rHttpTransfer.rBase = {"https://filekey.test", "", "agent", "secret", ""};
        fs::create_directories(sandbox.Path("data"));
        fs::create_directories(sandbox.Path("bak"));
        data._rData.rWatchingRules.slCRSTypes = {"Amadeus"};
        data._rData.rWatchingRules.slDataDirs = {dataDir.empty() ? sandbox.Path("data") : dataDir};
        data._rData.rWatchingRules.slBakDirs = {sandbox.Path("bak")};
        data._rData.rWatchingRules.slDataFileMask = {".*"};
        return ComposeConfigurationDocument(data);
    }
    int Import(const std::string& fileName, std::optional<std::string> password) {
        out.str("");
        err.str("");
        return ImportConfiguration(
            *environment, fileName, [&] { return password; }, out, err);
    }
    int Export(const std::string& fileName, std::optional<std::string> password) {
        out.str("");
        err.str("");
        return ExportConfiguration(
            *environment, fileName, [&] { return password; }, out, err);
    }
    std::string StoredLogin() const {
        TConfigurator configurator(*environment, nullptr, nullptr);
        configurator.ReadConfiguration();
        return configurator.ConfigurationData()._rData.rHttpTransfer.rBase.sLogin;
    }

    TSandbox sandbox;
    std::unique_ptr<TEnvironment> environment;
    std::ostringstream out, err;
};

}  // namespace

TEST_F(ConfigurationExchangeTest, ImportChecksPasswordAndDocumentAndKeepsTheStoredOneOnFailure) {
    const std::string first = sandbox.WriteFile("first.xml", Document("first-password"));

    // Without a configuration only the default password opens the door.
    EXPECT_EQ(Import(first, "first-password"), 2);
    EXPECT_EQ(err.str(), "zelkotransfer: bad administration password\n");
    EXPECT_FALSE(fs::exists(ConfigurationFile()));
    EXPECT_EQ(Import(first, "  " + kDefaultPassword + "\n"), 0);
    EXPECT_EQ(out.str(), "zelkotransfer: configuration imported from " + first + "\n");
    EXPECT_EQ(StoredLogin(), "agent");
    const std::string stored = StoredBytes();

    // From now on the stored configuration's password counts.
    const struct {
        std::string sName;
        std::string sFile;
        std::optional<std::string> sPassword;
        std::string sError;  // the start of the message
    } refused[] = {
        {"default password", first, kDefaultPassword, "zelkotransfer: bad administration password"},
        {"no password", first, std::nullopt, "zelkotransfer: no administration password given"},
        {"missing file", sandbox.Path("none.xml"), "first-password",
         "zelkotransfer: cannot read " + sandbox.Path("none.xml")},
        {"not a document", sandbox.WriteFile("bad.xml", "<configuration program=\"OTHER\"/>"), "first-password",
         "zelkotransfer: bad configuration document: "},
        {"data directory missing", sandbox.WriteFile("gone.xml", Document("x", sandbox.Path("gone"))), "first-password",
         "zelkotransfer: configuration not imported: for CRS type: Amadeus no read/write permission in data "
         "directory: " +
             sandbox.Path("gone")},
    };
    for (const auto& r : refused) {
        SCOPED_TRACE(r.sName);
        EXPECT_EQ(Import(r.sFile, r.sPassword), 2);
        EXPECT_EQ(err.str().rfind(r.sError, 0), 0u) << err.str();
        EXPECT_EQ(StoredBytes(), stored);
    }

    const std::string second = sandbox.WriteFile("second.xml", Document("second-password"));
    EXPECT_EQ(Import(second, "first-password"), 0);
    EXPECT_NE(StoredBytes(), stored);
}

TEST_F(ConfigurationExchangeTest, ImportRefusedWhileAnotherCopyRunsOrWithoutElevation) {
    const std::string document = sandbox.WriteFile("c.xml", Document("pw1234"));
    StartupOneInstanceOnFile(environment->Paths().sCommonApplicationData + "zelkotransfer.lck", "jdoe");
    EXPECT_EQ(Import(document, kDefaultPassword), 1);
    EXPECT_NE(err.str().find("Program is already running !"), std::string::npos) << err.str();
    ShutdownOneInstanceOnFile();

    sandbox.platform.lRunningElevated = false;
    EXPECT_EQ(Import(document, kDefaultPassword), 2);
    EXPECT_NE(err.str().find("needs an elevated user"), std::string::npos);
    EXPECT_EQ(Export(sandbox.Path("out.xml"), kDefaultPassword), 2);
    EXPECT_FALSE(fs::exists(ConfigurationFile()));
    EXPECT_FALSE(fs::exists(sandbox.Path("out.xml")));
}

TEST_F(ConfigurationExchangeTest, ExportWritesAPrivateDocumentThatImportsAgain) {
    const std::string target = sandbox.Path("exported.xml");
    EXPECT_EQ(Export(target, kDefaultPassword), 2);  // nothing stored yet
    EXPECT_FALSE(fs::exists(target));

    ASSERT_EQ(Import(sandbox.WriteFile("c.xml", Document("pw1234")), kDefaultPassword), 0);
    EXPECT_EQ(Export(target, kDefaultPassword), 2);
    EXPECT_FALSE(fs::exists(target));
    ASSERT_EQ(Export(target, "pw1234"), 0);
    struct stat status {};
    ASSERT_EQ(stat(target.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    EXPECT_EQ(TSandbox::ReadFile(target), Document("pw1234"));

    EXPECT_EQ(Import(target, "pw1234"), 0);
    EXPECT_EQ(StoredLogin(), "agent");
}
