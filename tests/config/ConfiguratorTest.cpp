#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>

#include <pugixml.hpp>

#include "config/OConfigurationDocument.h"
#include "config/OConfigurator.h"
#include "foundation/VeltDigitalStamps.h"
#include "foundation/VeltEnvironment.h"
#include "tests/support/Sandbox.h"

namespace fs = std::filesystem;

namespace {

const std::string kAnyName = R"(^[^\.][a-z0-9_\x20\-\.]*)";

class ScriptedScreen : public TConfigurationScreenPort {
public:
    ScriptedScreen(int answer, std::function<void(TConfigurationData&)> edit) : _answer(answer), _edit(std::move(edit)) {}
    int Show(TConfigurationData& data) override {
        ++shown;
        if (_edit) _edit(data);
        return _answer;
    }
    int shown = 0;

private:
    int _answer;
    std::function<void(TConfigurationData&)> _edit;
};

class Configurator : public ::testing::Test {
protected:
    Configurator() : environment(MakeEnvironment()) {}

    std::unique_ptr<TEnvironment> MakeEnvironment() {
        TEnvironmentOptions options;
        options.lCreateCommonApplicationDataPath = true;
        return std::make_unique<TEnvironment>(options, sandbox.platform);
    }
    std::string ConfigurationFileName() const {
        return environment->Paths().sCommonApplicationData + "zelkotransfer.cfg";
    }
    // A fixture document with its directories made in the sandbox.
    std::string Fixture(const std::string& name) const {
        std::string text = TSandbox::ReadFile(std::string(ZELKO_SOURCE_DIR) + "/tests/config/fixtures/" + name);
        EXPECT_FALSE(text.empty()) << name;
        for (const char* dir : {"data/ama", "bak/ama", "data/Säbre", "bak/Säbre", "data/gali", "bak/gali"}) {
            fs::create_directories(sandbox.Path(dir));
        }
        for (std::size_t at; (at = text.find("@SANDBOX@")) != std::string::npos;) {
            text.replace(at, 9, sandbox.Root().string());
        }
        return text;
    }
    void Store(const std::string& document) const {
        TConfigurationFile file(ConfigurationFileName(), "zelkotransfer", environment->ProgramData().sProgramLicenceb);
        file.XMLStream() = document;
        file.Write(true);
    }
    std::unique_ptr<TConfigurator> Read() const {
        auto configurator = std::make_unique<TConfigurator>(*environment, nullptr, nullptr);
        configurator->ReadConfiguration();
        return configurator;
    }
    std::string Dir(const std::string& relative) const {
        fs::create_directories(sandbox.Path(relative));
        return sandbox.Path(relative);
    }

    // Every HTTPS field away from its default, with text outside ASCII where text may be.
    void FillHttps(TConfigurationDataRecord& data) const {
        data.sSetupAuthorization = StampMd5("neues Passwort");
        data.ptUploadProtocol = tptHttp;
        data.rHttpTransfer.rBase = {"https://filekey.test/kmr", "8443", "agence-été", "pa<ss>&wörd\r\n\t ",
                                    "0123456789abcdef0123456789ABCDEF"};
        data.rHttpTransfer.rProxy = {true, false, "proxy.test", "3128", "pröxy", "  "};
        data.rHttpTransfer.rCert = {"filekey.test/kmr", "Zertifikat für Köln €\r\n😀\x01", "\xC2\x8A\x01\xC3\xBF",
                                    "sha1 ü", "/C=DE/O=Zelko/CN=filekey.test", "/C=DE/O=Zelko Prüfstelle/CN=Root"};
        data.rHttpTransfer.rCheck.lValidCertOnWatchAndUpload = true;
        FillCommon(data);
    }
    void FillFtp(TConfigurationDataRecord& data) const {
        data.ptUploadProtocol = tptFtp;
        auto& ftp = data.rFtpTransfer;
        ftp.sLogin = "ftpüser";
        ftp.sIdent = "ident";
        ftp.sPassword = "geheim €";
        ftp.iConnTimeout = 25;
        ftp.lPassive = false;
        ftp.lSecure = true;
        ftp.slHostNames = {"ftp1.test", "ftp2.test", "10.0.0.3"};
        ftp.slHostPorts = {"21", "2121", "990"};
        ftp.slKnownNames = {"ftp1.test", "ftp9.test"};
        ftp.slKnownCerts = {"Zertifikat Köln\r\n", ""};
        ftp.slKnownFingers = {"\xC2\x8A\x01", "f2"};
        ftp.slKnownFingersSha1 = {"s1", "s2"};
        ftp.slKnownServerSubjects = {"/CN=ftp1 ä", "/CN=ftp9"};
        ftp.slKnownServerIssuers = {"/CN=Root", "/CN=Root 2"};
        FillCommon(data);
        // More rules than the screen shows: the mask bits grow with them.
        auto& rules = data.rWatchingRules;
        for (int i = 0; i < 105; ++i) {
            rules.slCRSTypes.push_back("Toma");
            rules.slDataDirs.push_back(Dir("data/toma"));
            rules.slBakDirs.push_back(Dir("bak/toma"));
            rules.slDataFileMask.push_back("^t" + std::to_string(i));
        }
        rules.biDataFileMaskIncl.SetBit(107, false);
    }
    void FillCommon(TConfigurationDataRecord& data) const {
        auto& rules = data.rWatchingRules;
        rules.slCRSTypes = {"Amadeus", "Sabre", "Galileo"};
        rules.slDataDirs = {Dir("data/ama"), Dir("data/Säbre"), Dir("data/gali")};
        rules.slBakDirs = {Dir("bak/ama"), Dir("bak/Säbre"), Dir("bak/gali")};
        rules.slDataFileMask = {R"(^ama.*\.txt$)", "", "^[äö]+"};
        rules.biDataFileMaskIncl.SetBit(1, false);
        rules.iCollectorInterval = 45;
        rules.iCollectorPackageMaxSize = 2048;
        auto& program = data.rProgram;
        program.lWinstartRun = true;
        program.lStartWithWatch = true;
        program.lStartInTray = true;
        program.sPermittedIP = "192.168.10.20";
        program.iLogMaxSize = 25;
        program.iHelpLanguageId = 1;
        program.rNewVersion = {"https://updates.test/zelkotransfer", true, false, "nvproxy", "8080", "nvuser", "nvpass",
                               true, "135", "8-12,13-18"};
        data.rSupport.lDebugModeInLog = true;
    }

    TSandbox sandbox;
    std::unique_ptr<TEnvironment> environment;
};

template <typename Exception>
std::string MessageOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const Exception& e) {
        return e.what();
    }
    return "(nothing raised)";
}

}  // namespace

TEST_F(Configurator, ReadsAHandWrittenHttpsDocument) {
    Store(Fixture("https.xml"));
    const auto configurator = Read();
    const TConfigurationDataRecord& data = configurator->ConfigurationData()._rData;
    const std::string root = sandbox.Root().string();

    EXPECT_EQ(data.sSetupAuthorization, "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(data.ptUploadProtocol, tptHttp);
    const auto& http = data.rHttpTransfer;
    EXPECT_EQ(http.rBase.sUrl, "https://filekey.test/kmr");
    EXPECT_EQ(http.rBase.sPort, "8443");
    EXPECT_EQ(http.rBase.sLogin, "agency7");
    EXPECT_EQ(http.rBase.sPassword, "s3cret & <more> ü");
    EXPECT_EQ(http.rBase.sEncryptionKey, "0123456789abcdef0123456789ABCDEF");
    EXPECT_EQ(http.rCert.sKnownUrl, "filekey.test/kmr");
    EXPECT_EQ(http.rCert.sKnownCert, "-----BEGIN CERT-----\r\nMIIB Zertifikat für Köln €\r\n");
    EXPECT_EQ(http.rCert.sKnownFinger, "\u008a\u0001\u00ff\u0010");
    EXPECT_EQ(http.rCert.sKnownFingerSha1, "sha1:é😀");
    EXPECT_EQ(http.rCert.sKnownServerSubject, "/C=DE/O=Zelko/CN=filekey.test");
    EXPECT_EQ(http.rCert.sKnownServerIssuer, "/C=DE/O=Zelko Prüfstelle/CN=Root");
    EXPECT_TRUE(http.rCheck.lValidCertOnWatchAndUpload);
    const TConfigurationDataHttpTransferProxy proxy{true, false, "proxy.test", "3128", "proxyuser", "proxypass"};
    EXPECT_EQ(http.rProxy, proxy);

    const auto& rules = data.rWatchingRules;
    EXPECT_EQ(rules.slCRSTypes, (TStringList{"Amadeus", "Sabre"}));
    EXPECT_EQ(rules.slDataDirs, (TStringList{root + "/data/ama", root + "/data/Säbre"}));
    EXPECT_EQ(rules.slBakDirs, (TStringList{root + "/bak/ama", root + "/bak/Säbre"}));
    EXPECT_EQ(rules.slDataFileMask, (TStringList{R"(^ama.*\.txt$)", R"(\.tmp$)"}));
    EXPECT_TRUE(rules.biDataFileMaskIncl.Bit(0));
    EXPECT_FALSE(rules.biDataFileMaskIncl.Bit(1));
    EXPECT_TRUE(rules.biDataFileMaskIncl.Bit(2));
    EXPECT_EQ(rules.iCollectorInterval, 45);
    EXPECT_EQ(rules.iCollectorPackageMaxSize, 1024);

    const auto& program = data.rProgram;
    EXPECT_TRUE(program.lWinstartRun);
    EXPECT_TRUE(program.lStartWithWatch);
    EXPECT_TRUE(program.lStartInTray);
    EXPECT_EQ(program.sPermittedIP, "192.168.10.20");
    EXPECT_EQ(program.iLogMaxSize, 25);
    EXPECT_EQ(program.iHelpLanguageId, 1);
    EXPECT_EQ(program.rNewVersion.sSiteCheck, "https://updates.test/zelkotransfer");
    EXPECT_TRUE(program.rNewVersion.lProxyActive);
    EXPECT_TRUE(program.rNewVersion.lProxyIEType);
    EXPECT_TRUE(program.rNewVersion.lLimitCheck);
    EXPECT_EQ(program.rNewVersion.sLimitedCheckDays, "135");
    EXPECT_EQ(program.rNewVersion.sLimitedCheckHours, "8-12,13-18");
    EXPECT_TRUE(data.rSupport.lDebugModeInLog);
    // The protocol not in use keeps its defaults.
    EXPECT_EQ(data.rFtpTransfer, TConfigurationDataFtpTransfer{});
}

TEST_F(Configurator, ReadsAHandWrittenFtpDocument) {
    Store(Fixture("ftp.xml"));
    const auto configurator = Read();
    const TConfigurationDataRecord& data = configurator->ConfigurationData()._rData;

    EXPECT_EQ(data.ptUploadProtocol, tptFtp);
    const auto& ftp = data.rFtpTransfer;
    EXPECT_EQ(ftp.sLogin, "ftpuser");
    EXPECT_EQ(ftp.sIdent, "identuser");
    EXPECT_EQ(ftp.sPassword, "ftp pass");
    EXPECT_EQ(ftp.iConnTimeout, 25);
    EXPECT_FALSE(ftp.lPassive);
    EXPECT_TRUE(ftp.lSecure);
    EXPECT_EQ(ftp.slHostNames, (TStringList{"ftp1.test", "ftp2.test"}));
    EXPECT_EQ(ftp.slHostPorts, (TStringList{"21", "2121"}));
    EXPECT_EQ(ftp.slKnownNames, TStringList{"ftp1.test"});
    EXPECT_EQ(ftp.slKnownCerts, TStringList{"C"});
    EXPECT_EQ(ftp.slKnownFingers, TStringList{"\u008a\u0001\u00ff\u0010"});
    EXPECT_EQ(ftp.slKnownFingersSha1, TStringList{"1"});
    EXPECT_EQ(ftp.slKnownServerSubjects, TStringList{"S"});
    EXPECT_EQ(ftp.slKnownServerIssuers, TStringList{"I"});
    EXPECT_EQ(data.rHttpTransfer, TConfigurationDataHttpTransfer{});

    // A rule without a mask takes the collecting rules' default, included.
    EXPECT_EQ(data.rWatchingRules.slDataFileMask, TStringList{kAnyName + "(txt)$"});
    EXPECT_TRUE(data.rWatchingRules.biDataFileMaskIncl.Bit(0));
    EXPECT_EQ(data.rWatchingRules.iCollectorInterval, 10);
    EXPECT_EQ(data.rWatchingRules.iCollectorPackageMaxSize, 512);  // 100 is out of range
    EXPECT_FALSE(data.rProgram.lStartWithWatch);
    EXPECT_EQ(data.rProgram.sPermittedIP, "");
    EXPECT_EQ(data.rProgram.iHelpLanguageId, 0);
    EXPECT_FALSE(data.rProgram.rNewVersion.lProxyActive);
    EXPECT_FALSE(data.rProgram.rNewVersion.lLimitCheck);
    EXPECT_EQ(data.rProgram.rNewVersion.sLimitedCheckDays, "");
    EXPECT_EQ(data.rProgram.rNewVersion.sLimitedCheckHours, "");
}

TEST_F(Configurator, WriteThenReadKeepsEveryStoredField) {
    for (const TProtocolType protocol : {tptHttp, tptFtp}) {
        SCOPED_TRACE(protocol == tptHttp ? "https" : "ftp");
        TConfigurator writer(*environment, nullptr, nullptr);
        TConfigurationDataRecord& written = writer.ConfigurationData()._rData;
        protocol == tptHttp ? FillHttps(written) : FillFtp(written);
        writer.WriteConfiguration();
        EXPECT_TRUE(writer.ConfigurationFile().XMLStream().empty());

        const auto reader = Read();
        const TConfigurationDataRecord& read = reader->ConfigurationData()._rData;
        EXPECT_EQ(read.sSetupAuthorization, written.sSetupAuthorization);
        EXPECT_EQ(read.ptUploadProtocol, written.ptUploadProtocol);
        EXPECT_TRUE(read.rFtpTransfer == written.rFtpTransfer);
        EXPECT_TRUE(read.rHttpTransfer == written.rHttpTransfer);
        EXPECT_EQ(read.rWatchingRules.slDataFileMask, written.rWatchingRules.slDataFileMask);
        EXPECT_TRUE(read.rWatchingRules == written.rWatchingRules);
        EXPECT_TRUE(read.rProgram == written.rProgram);
        EXPECT_TRUE(read.rSupport == written.rSupport);
    }
}

TEST_F(Configurator, WhatIsNotStoredReadsAsDefault) {
    TConfigurator writer(*environment, nullptr, nullptr);
    TConfigurationDataRecord& data = writer.ConfigurationData()._rData;
    FillHttps(data);
    data.rFtpTransfer.sLogin = "not stored";
    data.rFtpTransfer.slHostNames = {"ftp.test"};
    data.rHttpTransfer.rProxy = {false, true, "host", "1", "user", "pass"};
    data.rProgram.rNewVersion.lProxyIEType = true;  // IE type: the proxy fields are not stored
    data.rProgram.lStartWithWatch = false;
    data.rProgram.lStartInTray = true;
    data.rProgram.rNewVersion.lLimitCheck = false;

    for (const auto& [size, expected] : std::vector<std::pair<int, int>>{{100, 512}, {255, 512}, {256, 256}, {2048, 2048},
                                                                          {2049, 512}, {-1, 512}}) {
        data.rWatchingRules.iCollectorPackageMaxSize = size;
        writer.WriteConfiguration();
        const auto reader = Read();
        const TConfigurationDataRecord& read = reader->ConfigurationData()._rData;
        EXPECT_EQ(read.rWatchingRules.iCollectorPackageMaxSize, expected) << size;
        EXPECT_EQ(read.rFtpTransfer, TConfigurationDataFtpTransfer{});
        EXPECT_EQ(read.rHttpTransfer.rProxy, TConfigurationDataHttpTransferProxy{});
        EXPECT_TRUE(read.rProgram.rNewVersion.lProxyActive);
        EXPECT_TRUE(read.rProgram.rNewVersion.lProxyIEType);
        EXPECT_EQ(read.rProgram.rNewVersion.sProxyHost, "");
        EXPECT_FALSE(read.rProgram.lStartInTray);
        EXPECT_FALSE(read.rProgram.rNewVersion.lLimitCheck);
        EXPECT_EQ(read.rProgram.rNewVersion.sLimitedCheckDays, "");
        EXPECT_EQ(read.rProgram.rNewVersion.sLimitedCheckHours, "");
    }
}

TEST_F(Configurator, EveryWrongDocumentIsRefusedWithItsReason) {
    struct Case {
        const char* fixture;
        std::vector<std::pair<std::string, std::string>> edits;  // first occurrence replaced
        std::string message;
    };
    const std::string prefix = "TConfigurator error: ";
    const std::string http = "configuration/transfer_protocol/http";
    const Case cases[] = {
        {"https.xml", {{"</configuration>", ""}}, "while parsing configuration file"},
        {"https.xml", {{"<password>", "<password x=>"}}, "while parsing configuration file"},
        {"https.xml", {{"<configuration ", "<konfiguration "}, {"</configuration>", "</konfiguration>"}},
         "configuration file-invalid root node"},
        {"https.xml", {{"ZELKOTRANSFER", "zelkotransfer"}}, "configuration file-invalid root attribute"},
        {"https.xml", {{" program=\"ZELKOTRANSFER\"", ""}}, "configuration file-invalid root attribute"},
        {"https.xml", {{"<setup_password>0cc175b9c0f1b6a831c399e269772661</setup_password>", ""}},
         "configuration file-missing node configuration/setup_password"},
        {"https.xml", {{"upload_protocol=\"2\"", "upload_protocol=\"two\""}},
         "configuration file-invalid number in node configuration/transfer_protocol@upload_protocol"},
        {"https.xml", {{" upload_protocol=\"2\"", ""}},
         "configuration file-missing attribute configuration/transfer_protocol@upload_protocol"},
        {"https.xml", {{"upload_protocol=\"2\"", "upload_protocol=\"1\""}},
         "configuration file-missing node configuration/transfer_protocol/ftp"},
        {"https.xml", {{"<url>https://filekey.test/kmr</url>", ""}}, "configuration file-missing node " + http + "/url"},
        {"https.xml", {{"008A000100FF0010", "008A0001G0FF0010"}},
         "configuration file-invalid hex text in node " + http + "/known_finger"},
        {"https.xml", {{"<proxy active=\"yes\">", "<proxy>"}},
         "configuration file-missing attribute " + http + "/proxy@active"},
        {"https.xml", {{"<host>proxy.test</host>", ""}}, "configuration file-missing node " + http + "/proxy/settings/host"},
        {"https.xml", {{"<bak_dir>", "<bakdir>"}, {"</bak_dir>", "</bakdir>"}},
         "configuration file-missing node configuration/collecting_rules/rule[1]/bak_dir"},
        {"https.xml", {{"XC50bXAk", "XC50bXA"}},
         "configuration file-invalid base64 text in node configuration/collecting_rules/rule[2]/file_mask"},
        {"https.xml", {{"<interval>45</interval>", ""}},
         "configuration file-missing node configuration/collecting_rules/interval"},
        {"https.xml", {{"<intray>yes</intray>", ""}},
         "configuration file-missing node configuration/program_settings/start_watch/intray"},
        {"https.xml", {{"<settings ie_type=\"yes\"/>", ""}},
         "configuration file-missing node configuration/program_settings/newver_check/proxy/settings"},
        {"https.xml", {{"<days>135</days>", ""}},
         "configuration file-missing node configuration/program_settings/newver_check/limited_time/days"},
        {"https.xml", {{"<helplanguage_id>1</helplanguage_id>", "<helplanguage_id>one</helplanguage_id>"}},
         "configuration file-invalid number in node configuration/program_settings/helplanguage_id"},
        {"https.xml", {{"<support_settings>", "<support>"}, {"</support_settings>", "</support>"}},
         "configuration file-missing node configuration/support_settings"},
        {"ftp.xml", {{"<ident>identuser</ident>", ""}},
         "configuration file-missing node configuration/transfer_protocol/ftp/ident"},
        {"ftp.xml", {{"<port>2121</port>", ""}},
         "configuration file-missing node configuration/transfer_protocol/ftp/host_data/host[2]/port"},
        {"ftp.xml", {{"<cert>0043</cert>", "<cert>004</cert><kert/>"}, {"<fingersha1>0031</fingersha1>", ""}},
         "configuration file-missing node configuration/transfer_protocol/ftp/host_data/known_host[1]/fingersha1"},
        {"ftp.xml", {{"<finger>008A000100FF0010</finger>", "<finger>00zz</finger>"}},
         "configuration file-invalid hex text in node configuration/transfer_protocol/ftp/host_data/known_host[1]/finger"},
    };
    for (const auto& c : cases) {
        std::string document = Fixture(c.fixture);
        for (const auto& [from, to] : c.edits) {
            const auto at = document.find(from);
            ASSERT_NE(at, std::string::npos) << from;
            document.replace(at, from.size(), to);
        }
        Store(document);
        EXPECT_EQ(MessageOf<EConfigurator>([&] { Read(); }), prefix + c.message);
    }
    // Numbers are decimal digits, nothing else.
    for (const auto& number : TStringList{"", " 45", "45 ", "4 5", "+45", "0x2D", "45.0", "99999999999"}) {
        std::string document = Fixture("https.xml");
        document.replace(document.find("<interval>45<"), 13, "<interval>" + number + "<");
        Store(document);
        EXPECT_EQ(MessageOf<EConfigurator>([&] { Read(); }),
                  prefix + "configuration file-invalid number in node configuration/collecting_rules/interval")
            << number;
    }
    for (const std::string& document : TStringList{"", "   ", "\xEF\xBB\xBF"}) {
        Store(document);
        EXPECT_EQ(MessageOf<EConfigurator>([&] { Read(); }), prefix + "while parsing configuration file");
    }
}

TEST_F(Configurator, UnknownProtocolCodeRaisesTheDataModelsError) {
    std::string document = Fixture("https.xml");
    document.replace(document.find("upload_protocol=\"2\""), 19, "upload_protocol=\"3\"");
    Store(document);
    EXPECT_EQ(MessageOf<EConfigurationData>([&] { Read(); }),
              "TConfigurationData error: unknown protocol code for conversion to type (3)");
}

TEST_F(Configurator, MissingForeignAndUnsealedFilesCannotBeRead) {
    const std::string cannotRead = "TConfigurator error: cannot read configuration";
    EXPECT_EQ(MessageOf<EConfigurator>([&] { Read(); }), cannotRead);
    sandbox.WriteFile(ConfigurationFileName().substr(sandbox.Root().string().size() + 1), Fixture("https.xml"));
    EXPECT_EQ(MessageOf<EConfigurator>([&] { Read(); }), cannotRead);

    // A file written on a drive with another serial number: never a crash, always EConfigurator.
    for (const std::uint32_t serial : {0x00000001u, 0xDEADBEEFu, 0x1234ABCEu}) {
        Store(Fixture("https.xml"));
        sandbox.platform.iVolumeSerial = serial;
        const auto otherEnvironment = MakeEnvironment();
        ASSERT_NE(otherEnvironment->ProgramData().sProgramLicenceb, environment->ProgramData().sProgramLicenceb);
        TConfigurator configurator(*otherEnvironment, nullptr, nullptr);
        EXPECT_THROW(configurator.ReadConfiguration(), EConfigurator) << serial;
        sandbox.platform.iVolumeSerial = 0x1234ABCDu;
    }
}

TEST_F(Configurator, DocumentReadingRules) {
    TConfigurationData configuration(*environment);
    const auto& rules = configuration._rData.rWatchingRules;
    const auto document = [](const std::string& collecting, const std::string& startWatch = "<start_watch state=\"no\"/>",
                             const std::string& protocol = "") {
        return "<configuration program=\"ZELKOTRANSFER\"><setup_password/>"
               "<transfer_protocol upload_protocol=\"2\"><http><url/><port/><login/><password/><known_url/>"
               "<known_cert/><known_finger/><known_fingersha1/><known_server_subject/><known_server_issuer/>"
               "<proxy active=\"Yes\"/></http>" +
               protocol + "</transfer_protocol><collecting_rules>" + collecting +
               "<interval>30</interval><file_maxsize>512</file_maxsize></collecting_rules>"
               "<program_settings><winstart_run>YES</winstart_run>" +
               startWatch +
               "<permitted_ip/><log_maxsize>40</log_maxsize><newver_check><site/>"
               "<limited_time state=\"no\"/></newver_check></program_settings>"
               "<support_settings><debugmode_inlog>Yes</debugmode_inlog></support_settings></configuration>";
    };
    const std::string rule = "<rule><crs_type>Toma</crs_type><data_dir>d</data_dir><bak_dir>b</bak_dir></rule>";
    struct Case {
        std::string defaultMask;
        std::string expected;
    };
    const Case masks[] = {
        {"<file_mask>*.txt</file_mask>", kAnyName + "(txt)$"},
        {"<file_mask>*.Dat</file_mask>", kAnyName + "(Dat)$"},
        {"<file_mask>*.t1</file_mask>", kAnyName},
        {"<file_mask>*.*</file_mask>", kAnyName},
        {"<file_mask>*</file_mask>", kAnyName},
        {"<file_mask>*.</file_mask>", kAnyName},
        {"<file_mask/>", kAnyName},
        {"", ""},
    };
    for (const auto& c : masks) {
        ReadConfigurationDocument(document(c.defaultMask + rule), configuration);
        EXPECT_EQ(rules.slDataFileMask, TStringList{c.expected}) << c.defaultMask;
        EXPECT_TRUE(rules.biDataFileMaskIncl.Bit(0));
    }

    // "Yes" is not "yes"; a mask without include excludes; the tray needs start with watch;
    // an FTP section beside HTTPS is ignored.
    const std::string ftp = "<ftp><login>x</login><ident/><password/><conn_timeout>5</conn_timeout><secure>yes</secure>"
                            "<host_data><host><name>h</name><port>21</port></host></host_data></ftp>";
    ReadConfigurationDocument(
        document("<rule><crs_type>Toma</crs_type><data_dir/><bak_dir/><file_mask>eA==</file_mask></rule>",
                 "<start_watch state=\"no\"><intray>yes</intray></start_watch>", ftp),
        configuration);
    EXPECT_FALSE(configuration._rData.rHttpTransfer.rProxy.lProxyActive);
    EXPECT_FALSE(configuration._rData.rProgram.lWinstartRun);
    EXPECT_FALSE(configuration._rData.rSupport.lDebugModeInLog);
    EXPECT_EQ(rules.slDataFileMask, TStringList{"x"});
    EXPECT_FALSE(rules.biDataFileMaskIncl.Bit(0));
    EXPECT_FALSE(configuration._rData.rProgram.lStartInTray);
    EXPECT_TRUE(configuration._rData.rFtpTransfer.slHostNames.empty());
    EXPECT_EQ(configuration._rData.rFtpTransfer.sLogin, "");
}

TEST_F(Configurator, FirstDirectoryWithoutWriteAccessIsNamedDataBeforeBackup) {
    const std::string file = sandbox.WriteFile("plain-file", "x");
    const std::string missing = sandbox.Path("missing");
    struct Case {
        TStringList dataDirs, bakDirs;
        std::string message;
    };
    const std::string d1 = Dir("d1"), d2 = Dir("d2"), d3 = Dir("d3"), b1 = Dir("b1"), b2 = Dir("b2"), b3 = Dir("b3");
    const Case cases[] = {
        {{d1, missing, file}, {missing, b2, b3}, "for CRS type: Sabre no read/write permission in data directory: " + missing},
        {{d1, d2, file}, {missing, b2, b3}, "for CRS type: Galileo no read/write permission in data directory: " + file},
        {{d1, d2, d3}, {b1, file, missing}, "for CRS type: Sabre no read/write permission in backup directory: " + file},
        {{d1, d2, d3}, {b1, b2, b3}, "(nothing raised)"},
    };
    for (const auto& c : cases) {
        TConfigurator writer(*environment, nullptr, nullptr);
        auto& rules = writer.ConfigurationData()._rData.rWatchingRules;
        rules.slCRSTypes = {"Amadeus", "Sabre", "Galileo"};
        rules.slDataDirs = c.dataDirs;
        rules.slBakDirs = c.bakDirs;
        rules.slDataFileMask = {"", "", ""};
        writer.WriteConfiguration();

        TConfigurator reader(*environment, nullptr, nullptr);
        EXPECT_EQ(MessageOf<EConfiguratorDirAccess>([&] { reader.ReadConfiguration(); }), c.message);
        // The screen that follows the failure shows what was read.
        EXPECT_EQ(reader.ConfigurationData()._rData.rWatchingRules.slBakDirs, c.bakDirs);
    }
    for (const auto& dir : {d1, d2, d3, b1, b2, b3}) EXPECT_TRUE(fs::is_empty(dir)) << dir;
}

TEST_F(Configurator, ScreenSavesThroughTheConfigurator) {
    const auto newUrl = [](TConfigurationData& data) { data._rData.rHttpTransfer.rBase.sUrl = "https://new.test"; };

    TConfigurator withoutScreen(*environment, nullptr, nullptr);
    EXPECT_EQ(withoutScreen.ShowConfigurationScreen(), TConfigurationScreenPort::kCancelled);
    EXPECT_FALSE(fs::exists(ConfigurationFileName()));

    ScriptedScreen cancelling(TConfigurationScreenPort::kCancelled, newUrl);
    TConfigurator cancelled(*environment, nullptr, &cancelling);
    EXPECT_EQ(cancelled.ShowConfigurationScreen(), 2);
    EXPECT_EQ(cancelling.shown, 1);
    EXPECT_FALSE(fs::exists(ConfigurationFileName()));

    ScriptedScreen saving(TConfigurationScreenPort::kSaved, newUrl);
    TConfigurator saved(*environment, nullptr, &saving);
    EXPECT_EQ(saved.ShowConfigurationScreen(), 1);
    EXPECT_EQ(Read()->ConfigurationData()._rData.rHttpTransfer.rBase.sUrl, "https://new.test");
}

namespace {

// Elements and attributes in document order, "name@attribute" and nesting shown by dots.
void ListNodes(const pugi::xml_node& node, int depth, std::string& list) {
    for (const pugi::xml_node& child : node.children()) {
        if (child.type() != pugi::node_element) continue;
        list += std::string(depth, '.') + child.name();
        for (const pugi::xml_attribute& attribute : child.attributes()) list += std::string("@") + attribute.name();
        list += " ";
        ListNodes(child, depth + 1, list);
    }
}

}  // namespace

TEST_F(Configurator, WrittenDocumentFollowsTheSchemaOrder) {
    const std::string common =
        ".collecting_rules ..rule ...crs_type ...data_dir ...bak_dir ...file_mask@include ..interval ..file_maxsize "
        ".program_settings ..winstart_run ..start_watch@state ...intray ..permitted_ip ..log_maxsize ..helplanguage_id "
        "..newver_check ...site ...proxy@active ....settings@ie_type .....host .....port .....login .....password "
        "...limited_time@state ....days ....hours .support_settings ..debugmode_inlog ";
    const std::string https =
        "configuration@program .setup_password .transfer_protocol@upload_protocol ..http ...url ...port ...login "
        "...password ...encryptionkey ...known_url ...known_cert ...known_finger ...known_fingersha1 "
        "...known_server_subject ...known_server_issuer ...checkfor@validcert_onuwatchandpload ...proxy@active "
        "....settings@ie_type .....host .....port .....login .....password " + common;
    const std::string ftp =
        "configuration@program .setup_password .transfer_protocol@upload_protocol ..ftp ...login ...ident ...password "
        "...conn_timeout ...passive ...secure ...host_data ....host .....name .....port ....known_host .....name "
        ".....cert .....finger .....fingersha1 .....server_subject .....server_issuer " + common;
    for (const TProtocolType protocol : {tptHttp, tptFtp}) {
        TConfigurationData configuration(*environment);
        auto& data = configuration._rData;
        protocol == tptHttp ? FillHttps(data) : FillFtp(data);
        data.rFtpTransfer.slHostNames.resize(1);
        data.rFtpTransfer.slKnownNames.resize(1);
        for (auto* list : {&data.rWatchingRules.slCRSTypes, &data.rWatchingRules.slDataDirs, &data.rWatchingRules.slBakDirs,
                           &data.rWatchingRules.slDataFileMask}) {
            list->resize(1);
        }
        pugi::xml_document document;
        ASSERT_TRUE(document.load_string(ComposeConfigurationDocument(configuration).c_str()));
        std::string nodes;
        ListNodes(document, 0, nodes);
        EXPECT_EQ(nodes, protocol == tptHttp ? https : ftp);
    }
}

TEST_F(Configurator, RefusesAnEnvironmentWithoutProgramName) {
    sandbox.platform.sProgramFile = "/";
    const auto nameless = MakeEnvironment();
    ASSERT_EQ(nameless->ProgramData().sProgramBaseName, "");
    EXPECT_EQ(MessageOf<EConfigurator>([&] { TConfigurator(*nameless, nullptr, nullptr); }),
              "TConfigurator error: cannot create object, program name not defined");
}
