// The descriptor, download and unpack of a new version against the local update site,
// each test with its own site on a free port.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "tests/support/FilekeyPeer.h"
#include "tests/support/PeerProcess.h"
#include "tests/support/Ports.h"
#include "tests/support/Sandbox.h"
#include "tests/support/TestCertificate.h"
#include "tests/support/UpdateSitePeer.h"
#include "update/VeltUtilsNewVersion.h"
#include "update/VeltZipFlatExtractor.h"

namespace fs = std::filesystem;

namespace {

const std::string kDescriptorPath = "/program_files/new_version/zelkotransfer.nvf";
const std::string kArchiveDirectory = "/program_files/new_version";
const std::string kArchiveName = "i_zelkotransfer.zip";
const std::string kAgent = "update-test-agent/1.0";

std::string RandomBytes(std::size_t count, unsigned seed = 7) {
    std::mt19937 generator(seed);
    std::string bytes(count, '\0');
    for (char& c : bytes) c = static_cast<char>(generator() & 0xFF);
    return bytes;
}

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

// Progress reports of one run: percentages that never go down, then "ready".
void ExpectPercentagesThenReady(const std::vector<std::string>& progress, bool percentagesExpected) {
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), "ready");
    int previous = -1;
    for (std::size_t i = 0; i + 1 < progress.size(); ++i) {
        ASSERT_TRUE(progress[i].size() > 1 && progress[i].back() == '%') << progress[i];
        const int percent = std::atoi(progress[i].c_str());
        EXPECT_GE(percent, previous);
        EXPECT_LE(percent, 100);
        previous = percent;
    }
    if (percentagesExpected) {
        EXPECT_EQ(previous, 100);
    } else {
        EXPECT_EQ(progress.size(), 1u) << "no size announced, yet percentages were reported";
    }
}

// Reports and progress of the object under test, and a store directory.
class NewVersionFixture : public ::testing::Test {
protected:
    bool Check(TNewVersion& newVersion, const std::string& url) {
        return newVersion.IsNewVersion(onError, url, "", "", "", "");
    }
    bool Download(TNewVersion& newVersion, const std::string& siteUrl, const std::string& directory) {
        return newVersion.DownloadNewProgramPackedFile(onError, onProgress, siteUrl + kArchiveDirectory, directory,
                                                       kArchiveName, "", "", "", "");
    }
    void Reset() {
        reports.clear();
        progress.clear();
    }
    void SetUp() override { fs::create_directories(storeDir); }

    TSandbox sandbox;
    std::string storeDir = sandbox.Path("store");
    std::vector<std::string> reports;
    std::vector<std::string> progress;
    TObjectBooleanFuncAnsiStr1 onError = [this](const std::string& text) {
        reports.push_back(text);
        return true;
    };
    TObjectProcStr1 onProgress = [this](const std::string& text) { progress.push_back(text); };
};

class NewVersionTest : public NewVersionFixture {
protected:
    TUpdateSitePeer site{sandbox.Path("site")};
};

// ---- the descriptor ---------------------------------------------------------------------

TEST(NewVersionComparableTest, RunningVersionSplitAtItsFirstTwoDots) {
    const struct {
        std::string sVersion, sComparable;
    } cases[] = {
        {"3.9.28", "-----3-----9----28"},
        {"", "------------------"},
        {"3.9", "-----3-----9------"},
        {"3.9.28.831", "-----3-----928.831"},
    };
    for (const auto& c : cases) EXPECT_EQ(TNewVersion::ComparableProgramVersion(c.sVersion), c.sComparable) << c.sVersion;
}

TEST_F(NewVersionTest, PublishedVersionAgainstTheRunningOne) {
    const struct {
        std::string sRunning, sMajor, sMinor, sRelease;
        bool lNew;
        std::string sComparable, sNumber;
    } cases[] = {
        {"3.9.28", "3", "10", "0", true, "-----3----10-----0", "3.10.0"},
        {"3.9.28", "3", "9", "28", false, "-----3-----9----28", "3.9.28"},
        {"3.9.28", "3", "9", "27", false, "-----3-----9----27", "3.9.27"},
        {"3.9.28", "4", "0", "0", true, "-----4-----0-----0", "4.0.0"},
        // No version information in the program file: anything published is new.
        {"", "0", "0", "1", true, "-----0-----0-----1", "0.0.1"},
        // A field longer than 6 stays whole, in the comparison and in the number.
        {"3.9.28", "1234567", "0", "0", true, "1234567-----0-----0", "1234567.0.0"},
    };
    for (const auto& c : cases) {
        site.PutFile(kDescriptorPath, MakeDescriptor(c.sMajor, c.sMinor, c.sRelease, "ZELKOTRANSFER", "2024-05-01"));
        TNewVersion newVersion(kAgent, c.sRunning);
        EXPECT_EQ(Check(newVersion, site.Url(kDescriptorPath)), c.lNew) << c.sRunning << " / " << c.sNumber;
        EXPECT_EQ(newVersion.NewVerNumber(), c.sComparable);
        EXPECT_EQ(newVersion.GetNewVersionNumber(), c.sNumber);
        EXPECT_EQ(newVersion.ReleaseDate(), "2024-05-01");
    }
    EXPECT_TRUE(reports.empty());
    const auto requests = site.Requests();
    ASSERT_EQ(requests.size(), std::size(cases));
    for (const auto& request : requests) EXPECT_EQ(request, "GET " + kDescriptorPath + " | ua: " + kAgent);
}

TEST_F(NewVersionTest, RefusedDescriptorIsReportedAndForgetsTheLastVersion) {
    const std::string good = MakeDescriptor("3", "10", "0");
    auto without = [&](const std::string& element) {
        std::string text = good;
        const auto start = text.find("<" + element + ">");
        const auto end = text.find("</" + element + ">");
        return text.erase(start, end + element.size() + 3 - start);
    };
    const std::string failure = "unexpected error while checking for new version-";
    const struct {
        std::string sDescriptor, sReport;
    } cases[] = {
        {"<new_version><app_id>ZELKOTRANSFER</app_id>", failure + "bad XML"},
        {"", failure + "bad XML"},
        {"<New_Version>" + good.substr(good.find("<app_id>"), good.find("</new_version>") - good.find("<app_id>")) +
             "</New_Version>",
         failure + "bad NVFXML_ROOTKEY"},
        {without("app_id"), failure + "no NVFXML_APP_ID"},
        {MakeDescriptor("3", "10", "0", "ZelkoTransfer"), failure + "bad NVFXML_APP_ID"},
        {without("app_ver"), failure + "no NVFXML_APP_VER"},
        {without("major"), failure + "no NVFXML_VER_MAJOR"},
        {without("minor"), failure + "no NVFXML_VER_MINOR"},
        {without("release"), failure + "no NVFXML_VER_RELEASE"},
        {without("app_reldate"), failure + "no NVFXML_REL_DATE"},
    };
    TNewVersion newVersion(kAgent, "3.9.28");
    for (const auto& c : cases) {
        site.PutFile(kDescriptorPath, good);
        ASSERT_TRUE(Check(newVersion, site.Url(kDescriptorPath)));
        site.PutFile(kDescriptorPath, c.sDescriptor);
        Reset();
        EXPECT_FALSE(Check(newVersion, site.Url(kDescriptorPath))) << c.sReport;
        EXPECT_EQ(reports, std::vector<std::string>{c.sReport});
        EXPECT_EQ(newVersion.NewVerNumber(), TNewVersion::kNoVersion);
        EXPECT_EQ(newVersion.GetNewVersionNumber(), "0.0.0");
    }
}

TEST_F(NewVersionTest, DescriptorRepliesThatAreNotAccepted) {
    site.PutFile(kDescriptorPath, MakeDescriptor("3", "10", "0"));
    // Far more than a descriptor needs, yet well-formed.
    site.PutFile("/big.nvf", "<new_version><!--" + std::string(70 * 1024, 'x') + "--></new_version>");
    const std::string notAccepted = "unexpected error (#02) while checking for new version\r\n>>error code:";
    const std::string clientFailure = "unknown error (#01) while checking for new version:\r\n>>error code:";
    const struct {
        std::string sRule, sPath, sReport;
    } cases[] = {
        {R"({"status": 404})", kDescriptorPath, notAccepted + "404\r\n>>error string:Not Found"},
        {R"({"reason": "ok"})", kDescriptorPath, notAccepted + "200\r\n>>error string:ok"},
        {"{}", "/big.nvf", clientFailure + "63\r\n>>error string:answer larger than 65536 bytes refused"},
    };
    TNewVersion newVersion(kAgent, "3.9.28");
    for (const auto& c : cases) {
        site.SetRule(c.sPath, c.sRule);
        Reset();
        EXPECT_FALSE(Check(newVersion, site.Url(c.sPath)));
        EXPECT_EQ(reports, std::vector<std::string>{c.sReport});
        EXPECT_EQ(newVersion.NewVerNumber(), TNewVersion::kNoVersion);
    }
}

TEST_F(NewVersionTest, UnreachableSiteIsAClientFailure) {
    const std::string url = "http://127.0.0.1:" + std::to_string(ClosedPort());
    TNewVersion newVersion(kAgent, "3.9.28");
    EXPECT_FALSE(Check(newVersion, url + kDescriptorPath));
    EXPECT_FALSE(Download(newVersion, url, storeDir));
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_TRUE(StartsWith(reports[0], "unknown error (#01) while checking for new version:\r\n>>error code:7\r\n"
                                       ">>error string:"))
        << reports[0];
    EXPECT_TRUE(StartsWith(reports[1], "unexpected (#01) error while downloading new version\r\n>>error code:7\r\n"
                                       ">>error string:"))
        << reports[1];
    EXPECT_TRUE(progress.empty());
}

// ---- the download ----------------------------------------------------------------------

TEST_F(NewVersionTest, DownloadReportsPercentagesThenReadyAndReplacesTheFile) {
    const std::string archive = RandomBytes(600 * 1024);
    site.PutFile(kArchiveDirectory + "/" + kArchiveName, archive);
    const std::string target = storeDir + "/" + kArchiveName;
    sandbox.WriteFile("store/" + kArchiveName, "older download");  // replaced

    TNewVersion newVersion(kAgent, "3.9.28");
    ASSERT_TRUE(Download(newVersion, site.Url(), storeDir));
    EXPECT_TRUE(reports.empty());
    EXPECT_TRUE(TSandbox::ReadFile(target) == archive);
    ExpectPercentagesThenReady(progress, true);
    EXPECT_EQ(site.Requests(), std::vector<std::string>{"GET " + kArchiveDirectory + "/" + kArchiveName + " | ua: " + kAgent});
}

TEST_F(NewVersionTest, ReplyWithoutSizeOrStatusLine) {
    const std::string archive = RandomBytes(200 * 1024);
    site.PutFile(kArchiveDirectory + "/" + kArchiveName, archive);
    const std::string rules[] = {
        R"({"no_length": true})",
        // No status line: the whole reply is the document, and its announced length
        // tells where the file begins.
        R"({"raw": "X-Site: raw\r\nContent-Length: )" + std::to_string(archive.size()) + R"(\r\n\r\n"})",
    };
    for (const std::string& rule : rules) {
        site.SetRule(kArchiveDirectory + "/" + kArchiveName, rule);
        Reset();
        fs::remove(storeDir + "/" + kArchiveName);
        TNewVersion newVersion(kAgent, "3.9.28");
        ASSERT_TRUE(Download(newVersion, site.Url(), storeDir)) << rule << (reports.empty() ? "" : reports[0]);
        EXPECT_TRUE(reports.empty());
        EXPECT_TRUE(TSandbox::ReadFile(storeDir + "/" + kArchiveName) == archive) << rule;
        EXPECT_EQ(progress, std::vector<std::string>{"ready"});
    }
}

TEST_F(NewVersionTest, DownloadFailuresAreReportedAndStoreNothing) {
    site.PutFile(kArchiveDirectory + "/" + kArchiveName, RandomBytes(100 * 1024));
    const std::string code = "\r\n>>error code:";
    const struct {
        std::string sRule, sReport;
    } cases[] = {
        {R"({"status": 404})", "unexpected (#02) error while downloading new version" + code + "404\r\n>>error string:Not Found"},
        {R"({"reason": "ok"})", "unexpected (#02) error while downloading new version" + code + "200\r\n>>error string:ok"},
        // The reply broke off after "200 OK".
        {R"({"truncate": 1000})",
         "error-while downloading new version\r\n>>your current computer/internet/security/proxy settings do not "
         "allow to download new version from Corvane site\r\n>>( please check your system settings with your "
         "administrator or IT manager )"},
    };
    TNewVersion newVersion(kAgent, "3.9.28");
    for (const auto& c : cases) {
        site.SetRule(kArchiveDirectory + "/" + kArchiveName, c.sRule);
        Reset();
        EXPECT_FALSE(Download(newVersion, site.Url(), storeDir)) << c.sRule;
        EXPECT_EQ(reports, std::vector<std::string>{c.sReport});
        EXPECT_TRUE(std::find(progress.begin(), progress.end(), "ready") == progress.end());
        EXPECT_FALSE(fs::exists(storeDir + "/" + kArchiveName));
    }
}

TEST_F(NewVersionTest, StoreDirectoryThatCannotBeWrittenFailsWithAReport) {
    site.PutFile(kArchiveDirectory + "/" + kArchiveName, RandomBytes(1024));
    const std::string missing = sandbox.Path("no-such-dir");
    TNewVersion newVersion(kAgent, "3.9.28");
    bool downloaded = true;
    ASSERT_NO_THROW(downloaded = Download(newVersion, site.Url(), missing));
    EXPECT_FALSE(downloaded);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0], "error-while downloading new version\r\n>>cannot write file:" + missing + "/" + kArchiveName +
                              "\r\n>>error message:No such file or directory");
    EXPECT_TRUE(std::find(progress.begin(), progress.end(), "ready") == progress.end());
}

// ---- HTTPS -----------------------------------------------------------------------------

class NewVersionHttpsTest : public NewVersionFixture {
protected:
    NewVersionHttpsTest() {
        fs::create_directories(sandbox.Path("tls"));
        authority = MakeSelfSignedCertificate(sandbox.Path("tls"), "ca", "/C=DE/O=Zelko Test/CN=Zelko Test CA");
        serverCertificate = MakeCertificateSignedBy(authority, sandbox.Path("tls"), "site");
        secureSite = std::make_unique<TUpdateSitePeer>(sandbox.Path("secure-site"), serverCertificate);
        secureSite->PutFile(kDescriptorPath, MakeDescriptor("3", "10", "0"));
        secureSite->PutFile(kArchiveDirectory + "/" + kArchiveName, archive);
    }

    TTestCertificate authority, serverCertificate;
    std::unique_ptr<TUpdateSitePeer> secureSite;
    std::string archive = RandomBytes(300 * 1024);
};

TEST_F(NewVersionHttpsTest, ServerMustPresentATrustedCertificate) {
    TNewVersion newVersion(kAgent, "3.9.28");
    // The test authority is not among the system's trusted certificates.
    EXPECT_FALSE(Check(newVersion, secureSite->Url(kDescriptorPath)));
    EXPECT_FALSE(Download(newVersion, secureSite->Url(), storeDir));
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_TRUE(StartsWith(reports[0], "unknown error (#01) while checking for new version:\r\n>>error code:60\r\n"))
        << reports[0];
    EXPECT_TRUE(StartsWith(reports[1], "unexpected (#01) error while downloading new version\r\n>>error code:60\r\n"))
        << reports[1];
    EXPECT_FALSE(fs::exists(storeDir + "/" + kArchiveName));

    newVersion.SetCertificateAuthorityFile(authority.sCertFile);
    Reset();
    EXPECT_TRUE(Check(newVersion, secureSite->Url(kDescriptorPath)));
    ASSERT_TRUE(Download(newVersion, secureSite->Url(), storeDir));
    EXPECT_TRUE(reports.empty());
    EXPECT_TRUE(TSandbox::ReadFile(storeDir + "/" + kArchiveName) == archive);
    ExpectPercentagesThenReady(progress, true);
}

TEST_F(NewVersionHttpsTest, DownloadThroughAProxyWithCredentials) {
    const std::string record = sandbox.Path("proxy.log");
    TPeerProcess proxy(TPeerProcess::PythonPeer("connect_proxy.py", {"--user", "pxuser:pxpass", "--record", record}));
    const std::string port = std::to_string(proxy.Port());
    TNewVersion newVersion(kAgent, "3.9.28");
    newVersion.SetCertificateAuthorityFile(authority.sCertFile);
    const std::string siteUrl = secureSite->Url() + kArchiveDirectory;

    EXPECT_FALSE(newVersion.DownloadNewProgramPackedFile(onError, onProgress, siteUrl, storeDir, kArchiveName,
                                                         "127.0.0.1", port, "pxuser", "wrong"));
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_TRUE(StartsWith(reports[0], "unexpected (#01) error while downloading new version\r\n")) << reports[0];

    Reset();
    ASSERT_TRUE(newVersion.DownloadNewProgramPackedFile(onError, onProgress, siteUrl, storeDir, kArchiveName,
                                                        "127.0.0.1", port, "pxuser", "pxpass"));
    EXPECT_TRUE(TSandbox::ReadFile(storeDir + "/" + kArchiveName) == archive);
    ExpectPercentagesThenReady(progress, true);
    const std::vector<std::string> tunnels = ReadLines(record);
    ASSERT_FALSE(tunnels.empty());
    EXPECT_EQ(tunnels.back(), "CONNECT " + secureSite->Url().substr(std::string("https://").size()) +
                                  " HTTP/1.1 | auth: pxuser:pxpass");
}

// ---- unpacking -------------------------------------------------------------------------

class NewVersionUnpackTest : public NewVersionFixture {
protected:
    bool Unpack(TNewVersion& newVersion) {
        return newVersion.UnpackNewProgramPackedFile(onError, onProgress, storeDir, kArchiveName);
    }
    void PutArchive(const std::string& bytes) const { sandbox.WriteFile("store/" + kArchiveName, bytes); }
    std::set<std::string> StoreContent() const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(storeDir)) names.insert(entry.path().filename().string());
        return names;
    }
    static mode_t ModeOf(const std::string& path) {
        struct stat status {};
        lstat(path.c_str(), &status);
        return status.st_mode;
    }
};

TEST_F(NewVersionUnpackTest, EntriesLandFlatWithTheirModesAndUnsafeOnesAreSkipped) {
    PutArchive(MakeZipArchive({
        {"setup/", "", {}},
        {"setup/i_zelkotransfer_3_10_0", "#!/bin/sh\n" + RandomBytes(300 * 1024), 0100755},
        {"readme.txt", "new readme", 0100600},
        {"docs/manual/guide.txt", "guide", {}},
        {"../escape.txt", "escaped", {}},
        {"a/..", "dots", {}},
        {"..", "dots", {}},
        {"link", "/etc/passwd", 0120777},
    }));
    sandbox.WriteFile("store/readme.txt", "old readme");

    TNewVersion newVersion(kAgent, "3.9.28");
    ASSERT_TRUE(Unpack(newVersion)) << (reports.empty() ? "" : reports[0]);
    EXPECT_TRUE(reports.empty());
    EXPECT_EQ(StoreContent(), (std::set<std::string>{"i_zelkotransfer_3_10_0", "readme.txt", "guide.txt", "escape.txt"}));
    EXPECT_FALSE(fs::exists(sandbox.Path("escape.txt")));
    EXPECT_EQ(TSandbox::ReadFile(storeDir + "/readme.txt"), "new readme");
    EXPECT_EQ(ModeOf(storeDir + "/i_zelkotransfer_3_10_0") & 0700, 0700u);
    EXPECT_EQ(ModeOf(storeDir + "/readme.txt") & 0777, 0600u);
    EXPECT_TRUE(S_ISREG(ModeOf(storeDir + "/guide.txt")));
    ExpectPercentagesThenReady(progress, true);
}

TEST_F(NewVersionUnpackTest, BrokenArchivesAreReportedAndKept) {
    const std::string marker = RandomBytes(4096, 11);
    std::string corrupted = MakeZipArchive({{"installer", marker, 0100755}});
    const auto at = corrupted.find(marker);
    ASSERT_NE(at, std::string::npos) << "the test expects incompressible content to be stored as it is";
    corrupted[at + 100] = static_cast<char>(corrupted[at + 100] ^ 0x5A);
    const std::string failure = "error-while unpacking new version\r\n>>";
    const struct {
        std::string sArchive;  // none: no archive at all
        std::string sReport;
    } cases[] = {
        {RandomBytes(5000), failure + "error message:Not a zip archive"},
        {corrupted, failure + "error code:7\r\n>>error message:CRC error"},
    };
    TNewVersion newVersion(kAgent, "3.9.28");
    for (const auto& c : cases) {
        PutArchive(c.sArchive);
        Reset();
        EXPECT_FALSE(Unpack(newVersion));
        EXPECT_EQ(reports, std::vector<std::string>{c.sReport});
        EXPECT_TRUE(std::find(progress.begin(), progress.end(), "ready") == progress.end());
        EXPECT_EQ(StoreContent(), std::set<std::string>{kArchiveName}) << "no partial file, archive kept";
    }
    fs::remove(storeDir + "/" + kArchiveName);
    Reset();
    EXPECT_FALSE(Unpack(newVersion));
    EXPECT_EQ(reports, std::vector<std::string>{failure + "error message:No such file"});
}

TEST_F(NewVersionUnpackTest, UnpackedSizeIsBounded) {
    const std::string archive = sandbox.WriteFile("bomb.zip", MakeZipArchive({{"big.bin", std::string(64 * 1024, 'z'), {}}}));
    const TZipExtractResult result = TZipFlatExtractor::Extract(archive, storeDir, {}, 16 * 1024);
    EXPECT_EQ(result.tOutcome, TZipExtractOutcome::Failed);
    EXPECT_EQ(result.iErrorCode, ZIP_ER_WRITE);
    EXPECT_EQ(result.sErrorText, "Write error: File too large");
    EXPECT_FALSE(fs::exists(storeDir + "/big.bin"));
}

}  // namespace
