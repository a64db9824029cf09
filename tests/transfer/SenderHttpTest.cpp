// The HTTPS client against the local filekey server and CONNECT proxy, each started on
// its own free port (no resource lock needed).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <pugixml.hpp>

#include "config/OConfigurationData.h"
#include "foundation/VeltDigitalStamps.h"
#include "foundation/VeltEnvironment.h"
#include "foundation/VeltXmlLatin1Writer.h"
#include "log/VeltStraightLogData.h"
#include "tests/support/LogLines.h"
#include "tests/support/FilekeyPeer.h"
#include "tests/support/PeerProcess.h"
#include "tests/support/Sandbox.h"
#include "tests/support/Ports.h"
#include "tests/support/WaitFor.h"
#include "transfer/OSenderHttp.h"

namespace {

// The raw digest of a certificate file, read apart from any TLS session.
std::string FileDigest(const std::string& certFile, const EVP_MD* type) {
    FILE* file = std::fopen(certFile.c_str(), "r");
    X509* certificate = PEM_read_X509(file, nullptr, nullptr, nullptr);
    std::fclose(file);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    X509_digest(certificate, type, digest, &length);
    X509_free(certificate);
    return std::string(reinterpret_cast<const char*>(digest), length);
}

class TEnvironmentVariable {
public:
    TEnvironmentVariable(const char* name, const std::string& value) : _name(name) {
        if (const char* old = std::getenv(name)) _old = old;
        setenv(name, value.c_str(), 1);
    }
    ~TEnvironmentVariable() {
        if (_old) setenv(_name, _old->c_str(), 1);
        else unsetenv(_name);
    }

private:
    const char* _name;
    std::optional<std::string> _old;
};

class SenderHttpTest : public ::testing::Test {
protected:
    SenderHttpTest() { configuration._rData.rSupport.lDebugModeInLog = true; }

    std::unique_ptr<TSenderHTTP> NewSender() {
        return std::make_unique<TSenderHTTP>(environment, &configuration, &logData);
    }
    // The base record for a peer, with the port apart from the URL as configured.
    static TConfigurationDataHttpTransferBase BaseFor(const TFilekeyPeer& peer, const std::string& path = "/dir") {
        TConfigurationDataHttpTransferBase base;
        base.sUrl = peer.Url().substr(0, peer.Url().rfind(':')) + path;
        base.sPort = std::to_string(peer.Port());
        base.sLogin = "agent";
        base.sPassword = "secret";
        return base;
    }
    static TConfigurationDataHttpTransferCert KnownCertOf(const TCertData& certData) {
        return {"127.0.0.1", certData.sCert, certData.sFinger, certData.sFingerSha1, certData.sServerSubject,
                certData.sServerIssuer};
    }
    // Every log line written since the last call.
    std::vector<std::string> TakeLog() { return TakeLogLines(logData); }

    TSandbox sandbox;
    TEnvironment environment{{}, sandbox.platform};
    TConfigurationData configuration{environment};
    TLogData logData{4096, 1024, 256, false};
    TConfigurationDataHttpTransferProxy noProxy;
};

// ---- the request document --------------------------------------------------------------

TEST_F(SenderHttpTest, ConstructorNamesTheMissingCollaborator) {
    try {
        TSenderHTTP(environment, nullptr, &logData);
        FAIL();
    } catch (const ESenderHTTP& error) {
        EXPECT_STREQ(error.what(), "TSenderHTTP error: cannot create object, configuration data not defined");
    }
    try {
        TSenderHTTP(environment, &configuration, nullptr);
        FAIL();
    } catch (const ESenderHTTP& error) {
        EXPECT_STREQ(error.what(), "TSenderHTTP error: cannot create object, log data not defined");
    }
}

TEST_F(SenderHttpTest, EnvelopeOfEachRequestKind) {
    struct TCase {
        int kind;
        const char* root;
        const char* script;
        bool hasVersion;
    };
    const TCase cases[] = {{1, "ZelkoVerify", "/verify.php", true},
                           {2, "ZelkoUpload", "/upload.php", true},
                           {3, "ZelkoRequestEncoding", "/encoding.php", true},
                           {7, "unknown", "", false}};
    auto sender = NewSender();
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.kind);
        sender->PrepareXmlRequest(c.kind, "1.0", "agent", "secret");
        const std::string& body = sender->RequestStream();
        EXPECT_EQ(body.rfind("<?xml version=\"1.0\" encoding=\"iso-8859-1\"?>", 0), 0u) << body;
        pugi::xml_document document;
        ASSERT_TRUE(document.load_string(body.c_str()));
        const pugi::xml_node root = document.document_element();
        EXPECT_STREQ(root.name(), c.root);
        EXPECT_EQ(TSenderHTTP::ScriptOfRequest(c.kind), c.script);
        EXPECT_EQ(std::string(root.attribute("version").value()), c.hasVersion ? "1.0" : "");
        std::vector<std::string> children;
        for (const pugi::xml_node& child : root.children()) children.push_back(child.name());
        EXPECT_EQ(children, (std::vector<std::string>{"Creator", "UserName", "Password", "SupportInfo"}));
        EXPECT_STREQ(root.child_value("Creator"), "ZELKOTRANSFER");
        EXPECT_STREQ(root.child_value("Password"), "c2VjcmV0");
        const pugi::xml_node support = root.child("SupportInfo");
        EXPECT_EQ(support.child_value("Version"), environment.ProgramData().sProgramVersion);
        EXPECT_EQ(support.child_value("Licence"), environment.ProgramData().sProgramLicence);
        EXPECT_STREQ(support.child_value("LocalIP"), "192.168.10.20");
    }
}

TEST_F(SenderHttpTest, EnvelopeIsLatin1WithReferencesBeyondIt) {
    auto sender = NewSender();
    sender->PrepareXmlRequest(1, "1.0", "J\xC3\xB6rg \xE2\x82\xAC\xF0\x9D\x84\x9E", "p\xC3\xA4ss");
    const std::string& body = sender->RequestStream();
    EXPECT_NE(body.find("<UserName>J\xF6rg &#8364;&#119070;</UserName>"), std::string::npos) << body;
    EXPECT_NE(body.find("<Password>" + Base64Encode("p\xC3\xA4ss") + "</Password>"), std::string::npos);

    // Read back as a parser honouring the declaration does, the text is whole again.
    pugi::xml_document document;
    ASSERT_TRUE(document.load_buffer(body.data(), body.size()));
    EXPECT_STREQ(document.document_element().child_value("UserName"), "J\xC3\xB6rg \xE2\x82\xAC\xF0\x9D\x84\x9E");

    sender->PrepareXmlRequest(1, "1.0", "guest", "");
    ASSERT_TRUE(document.load_string(sender->RequestStream().c_str()));
    ASSERT_TRUE(document.document_element().child("Password"));
    EXPECT_STREQ(document.document_element().child_value("Password"), "");
}

TEST(XmlLatin1Writer, SequencesSplitAcrossWritesAndBrokenBytes) {
    TXmlLatin1Writer writer;
    for (const char* piece : {"a\xC3", "\xA9\xE2\x82", "\xAC", "b\xFF", "c\xE2\x82"}) writer.write(piece, std::strlen(piece));
    // é is one Latin-1 byte, € a reference; a stray byte and a cut-off end become U+FFFD.
    EXPECT_EQ(writer.TakeResult(), "a\xE9&#8364;b&#65533;c&#65533;&#65533;");
}

TEST(SenderHttpUrl, PortGoesBetweenHostAndPath) {
    const std::pair<std::pair<const char*, const char*>, const char*> cases[] = {
        {{"https://files.example/dir/verify.php", "8443"}, "https://files.example:8443/dir/verify.php"},
        {{"https://files.example/verify.php", "443"}, "https://files.example:443/verify.php"},
        {{"https://files.example/dir/verify.php", ""}, "https://files.example/dir/verify.php"},
        {{"https://files.example", "8443"}, "https://files.example:8443"},
        {{"files.example/verify.php", "8443"}, "files.example:8443/verify.php"}};
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(TSenderHTTP::UrlWithPort(input.first, input.second), expected) << input.first;
    }
}

// ---- the server check over real TLS ------------------------------------------------------

TEST_F(SenderHttpTest, CertificateIsPinnedOnFirstUseAndARenewedOneIsRefused) {
    TFilekeyPeer peer(sandbox.Path("peer"));
    const TConfigurationDataHttpTransferBase base = BaseFor(peer);
    auto sender = NewSender();

    EXPECT_EQ(sender->CheckRemoteCertificate(true, false, base, noProxy, {}), kCheckUnknownCertificate);
    EXPECT_FALSE(AnyLineHolds(TakeLog(), "error-unknown remote certificate"));
    ASSERT_TRUE(sender->CertWasRead());
    const TCertData captured = sender->CertData();
    EXPECT_EQ(captured.iCertStatus, 18);
    EXPECT_EQ(captured.sServerSubject, "/C=DE/O=Zelko Test/CN=127.0.0.1");
    EXPECT_EQ(captured.sServerIssuer, captured.sServerSubject);
    EXPECT_EQ(captured.sCert.rfind("Certificate:\r\n", 0), 0u);
    for (std::size_t at = captured.sCert.find('\n'); at != std::string::npos; at = captured.sCert.find('\n', at + 1)) {
        EXPECT_EQ(captured.sCert[at - 1], '\r');
    }
    EXPECT_EQ(TextAsDigestBytes(captured.sFinger), FileDigest(peer.Certificate().sCertFile, EVP_md5()));
    EXPECT_EQ(TextAsDigestBytes(captured.sFingerSha1), FileDigest(peer.Certificate().sCertFile, EVP_sha1()));

    // Accepted: the same certificate passes, also over the kept-alive connection.
    const TConfigurationDataHttpTransferCert known = KnownCertOf(captured);
    EXPECT_EQ(sender->CheckRemoteCertificate(true, true, base, noProxy, known), kCheckVerified);
    EXPECT_EQ(sender->CheckRemoteCertificate(true, true, base, noProxy, known), kCheckVerified);
    EXPECT_TRUE(sender->CertWasRead());
    const std::vector<std::string> log = TakeLog();
    EXPECT_TRUE(AnyLineEndsWith(log, "SENDERHTTP [debug] check remote certificate request successful"));
    EXPECT_EQ(peer.Problems(), "");
    for (const std::string& request : peer.Requests()) EXPECT_NE(request.find(" /dir/verify.php -> 200"), std::string::npos);
    EXPECT_NE(peer.RequestHead(1).find("Host: 127.0.0.1:" + std::to_string(peer.Port())), std::string::npos);

    peer.Restart(MakeSelfSignedCertificate(sandbox.Path("peer"), "renewed"));
    EXPECT_EQ(sender->CheckRemoteCertificate(true, true, BaseFor(peer), noProxy, known), kCheckUnknownCertificate);
    EXPECT_NE(sender->CertData().sFinger, captured.sFinger);
    EXPECT_TRUE(AnyLineHolds(TakeLog(), "error-unknown remote certificate|" + known.sKnownCert.substr(0, 40)));
}

TEST_F(SenderHttpTest, RequestHeadersAndDocumentPassTheServersChecks) {
    TFilekeyPeer peer(sandbox.Path("peer"));
    configuration._rData.rHttpTransfer.rBase.sLogin = "configured-login";
    auto sender = NewSender();
    EXPECT_EQ(sender->CheckRemoteCertificate(false, false, BaseFor(peer), noProxy, {}), kCheckUnknownCertificate);
    EXPECT_EQ(peer.Problems(), "");
    const std::string head = peer.RequestHead(1);
    const auto& program = environment.ProgramData();
    // The configured login, not the one being checked.
    EXPECT_NE(head.find("User-Agent: Mozilla/4.0 (compatible; Synapse) ( zelkotransfer " + program.sProgramVersion +
                        " ) ( 192.168.10.20 " + program.sProgramLicence + " ) ( configured-login )\n"),
              std::string::npos)
        << head;
    EXPECT_NE(head.find("Content-Type: text/html\n"), std::string::npos);
    EXPECT_NE(head.find("Connection: keep-alive\n"), std::string::npos);
    EXPECT_EQ(head.find("Expect:"), std::string::npos);
    EXPECT_EQ(peer.RequestBody(1), sender->RequestStream());
}

TEST_F(SenderHttpTest, AnswersMapToResultsWithTheirLogLines) {
    struct TCase {
        const char* control;
        const char* password;
        int expected;
        const char* line;  // "" for none expected
    };
    const TCase cases[] = {
        {"{}", "secret", kCheckVerified, ""},
        {"{}", "wrong", kCheckBadUserOrPassword, "error whilst certificate checking: invalid user name or password"},
        {R"({"status": "7", "description": "maintenance"})", "secret", kCheckVerified,
         "error whilst certificate checking: maintenance"},
        {R"({"root": "ZelkoOther"})", "secret", kCheckBadResponseData, "[debug] bad response data-invalid root node"},
        {R"({"drop": ["UserName"]})", "secret", kCheckBadResponseData, "[debug] bad response data-no user data"},
        {R"({"drop": ["Password"]})", "secret", kCheckBadResponseData, "[debug] bad response data-no pwd data"},
        {R"({"drop": ["Status"]})", "secret", kCheckBadResponseData, "[debug] bad response data-no status data"},
        {R"({"drop": ["Description"]})", "secret", kCheckBadResponseData,
         "[debug] bad response data-no description data"},
        {R"({"password": "c2Vj!!"})", "secret", kCheckBadResponseData, "[debug] bad response data-cannot decode data"},
        {R"({"user_name": "AGENT"})", "secret", kCheckBadResponseData,
         "[debug] bad response data-invalid user/password data"},
        {R"({"password": "U2VjcmV0"})", "secret", kCheckBadResponseData,
         "[debug] bad response data-invalid user/password data"},
        {R"({"body": "<ZelkoVerifyResult><UserName>agent</UserName>", "http_status": 200})", "secret",
         kCheckBadResponseFormat, "[debug] <ZelkoVerifyResult><UserName>agent</UserName>"},
    };
    TFilekeyPeer peer(sandbox.Path("peer"));
    auto sender = NewSender();
    TConfigurationDataHttpTransferBase base = BaseFor(peer);
    sender->CheckRemoteCertificate(false, false, base, noProxy, {});
    const TConfigurationDataHttpTransferCert known = KnownCertOf(sender->CertData());
    TakeLog();
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.control);
        peer.SetControl(c.control);
        base.sPassword = c.password;
        EXPECT_EQ(sender->CheckRemoteCertificate(true, true, base, noProxy, known), c.expected);
        const std::vector<std::string> log = TakeLog();
        if (*c.line != '\0') {
            EXPECT_TRUE(AnyLineEndsWith(log, c.line));
        }
        EXPECT_FALSE(AnyLineHolds(log, "error-unknown remote certificate"));
    }
}

TEST_F(SenderHttpTest, HtmlErrorPageIsABadFormatLoggedLineByLineInDebugModeOnly) {
    TFilekeyPeer peer(sandbox.Path("peer"));
    peer.SetControl(R"({"html_error": true})");
    auto sender = NewSender();
    EXPECT_EQ(sender->CheckRemoteCertificate(true, false, BaseFor(peer), noProxy, {}), kCheckBadResponseFormat);
    const std::vector<std::string> log = TakeLog();
    EXPECT_TRUE(AnyLineEndsWith(log, "[debug] bad response format:"));
    EXPECT_TRUE(AnyLineEndsWith(log, "[debug] <title>500 Internal Server Error</title>"));
    EXPECT_TRUE(AnyLineEndsWith(log, "[debug] </body></html>"));
    // Kept for the caller, who shows the page to the administrator.
    EXPECT_NE(sender->Document().find("<h1>Internal Server Error</h1>"), std::string::npos);

    EXPECT_EQ(sender->CheckRemoteCertificate(false, false, BaseFor(peer), noProxy, {}), kCheckBadResponseFormat);
    EXPECT_FALSE(AnyLineHolds(TakeLog(), "[debug]"));
}

TEST_F(SenderHttpTest, EmptyPasswordTravelsAsAnEmptyElement) {
    TFilekeyPeerOptions options;
    options.aUsers = {{"guest", ""}};
    TFilekeyPeer peer(sandbox.Path("peer"), options);
    TConfigurationDataHttpTransferBase base = BaseFor(peer);
    base.sLogin = "guest";
    base.sPassword = "";
    auto sender = NewSender();
    // Accepted by the server (not 2); only the certificate is still unknown.
    EXPECT_EQ(sender->CheckRemoteCertificate(true, false, base, noProxy, {}), kCheckUnknownCertificate);
    EXPECT_EQ(peer.Problems(), "");
    const std::string body = peer.RequestBody(1);
    EXPECT_TRUE(body.find("<Password></Password>") != std::string::npos || body.find("<Password />") != std::string::npos)
        << body;
}

// The upload answer of the local server, which the send engine relies on: each file is
// decoded and checked, stored under its transfer name, and answered with its own status.
TEST_F(SenderHttpTest, UploadIsAnsweredFilePerFile) {
    TFilekeyPeer peer(sandbox.Path("peer"));
    peer.SetControl(R"({"upload": {"refuse_files": ["ama_REFUSED*"]}})");
    auto sender = NewSender();
    sender->PrepareXmlRequest(kRequestUpload, "1.0", "agent", "secret");
    pugi::xml_document document;
    ASSERT_TRUE(document.load_string(sender->RequestStream().c_str()));
    const auto addFile = [&](const std::string& name, const std::string& content, const std::string& sha1) {
        pugi::xml_node fileKey = document.document_element().append_child("FileKey");
        const std::pair<const char*, std::string> children[] = {
            {"Name", name}, {"KmrCode", name.substr(0, name.find('_'))}, {"KmrEncoding", "iso-8859-1"},
            {"ContentType", "gzip/base64"}, {"Content", Base64Encode(GzipCompress(content))}, {"SHA1", sha1}};
        for (const auto& [element, text] : children) fileKey.append_child(element).text().set(text.c_str());
    };
    addFile("ama_PNR1_20240102030405.txt", "X", StampSha1("X"));
    addFile("ama_REFUSED_20240102030405.txt", "refused", StampSha1("refused"));
    addFile("sabre_PNR2_20240102030405.txt", "content", StampSha1("other"));
    sender->RequestStream() = SaveXmlAsLatin1(document);

    ASSERT_TRUE(sender->SendHttpData(false, peer.Url("/upload.php"), "", noProxy));
    ASSERT_TRUE(document.load_buffer(sender->Document().data(), sender->Document().size())) << sender->Document();
    const pugi::xml_node result = document.document_element();
    EXPECT_STREQ(result.name(), "ZelkoUploadResult");
    EXPECT_STREQ(result.child_value("Status"), "0");
    std::vector<std::string> statuses;
    for (const pugi::xml_node& fileKey : result.children("FileKey")) {
        statuses.push_back(std::string(fileKey.child_value("Name")) + " " + fileKey.child_value("Status"));
    }
    EXPECT_EQ(statuses, (std::vector<std::string>{"ama_PNR1_20240102030405.txt 0", "ama_REFUSED_20240102030405.txt 1",
                                                  "sabre_PNR2_20240102030405.txt 1"}));
    EXPECT_EQ(TSandbox::ReadFile(peer.StoreDir() + "/ama_PNR1_20240102030405.txt"), "X");
    EXPECT_FALSE(std::filesystem::exists(peer.StoreDir() + "/ama_REFUSED_20240102030405.txt"));
    EXPECT_NE(peer.Problems().find("SHA1"), std::string::npos);
}

// ---- attempts, time-outs and the response bound --------------------------------------------

TEST_F(SenderHttpTest, RefusedConnectionIsTriedThreeTimesThenReported) {
    TConfigurationDataHttpTransferBase base;
    base.sUrl = "https://127.0.0.1";
    base.sPort = std::to_string(ClosedPort());
    auto sender = NewSender();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(sender->CheckRemoteCertificate(true, true, base, noProxy, {}), kCheckCannotConnect);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1900));
    const std::vector<std::string> log = TakeLog();
    for (const char* line : {"[debug] send 1 unsuccessful", "[debug] send 2 unsuccessful", "[debug] send 3 unsuccessful",
                             "error-unable to connect to remote-error code: 7"}) {
        EXPECT_TRUE(AnyLineEndsWith(log, line)) << line;
    }
    EXPECT_EQ(sender->ResultCode(), 7);
    EXPECT_TRUE(AnyLineEndsWith(log, "[debug] " + sender->ResultText()));
}

TEST_F(SenderHttpTest, DroppedConnectionIsRetriedWithThePortOnEveryAttempt) {
    TFilekeyPeer peer(sandbox.Path("peer"));
    peer.SetControl(R"({"close": true, "limit": 2})");
    auto sender = NewSender();
    sender->PrepareXmlRequest(kRequestVerify, "1.0", "agent", "secret");
    const TConfigurationDataHttpTransferBase base = BaseFor(peer);
    ASSERT_TRUE(sender->SendHttpData(true, base.sUrl + "/verify.php", base.sPort, noProxy));
    EXPECT_NE(sender->Document().find("<Status>0</Status>"), std::string::npos);
    const std::vector<std::string> requests = peer.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_NE(requests[0].find("POST /dir/verify.php -> closed"), std::string::npos);
    EXPECT_NE(requests[2].find("POST /dir/verify.php -> 200"), std::string::npos);
    for (int sequence = 1; sequence <= 3; ++sequence) {
        EXPECT_NE(peer.RequestHead(sequence).find("Host: 127.0.0.1:" + base.sPort), std::string::npos);
    }
    const std::vector<std::string> log = TakeLog();
    EXPECT_TRUE(AnyLineEndsWith(log, "[debug] send 2 unsuccessful"));
    EXPECT_FALSE(AnyLineEndsWith(log, "[debug] send 3 unsuccessful"));
}

TEST_F(SenderHttpTest, SilentServerTimesOutAndTheNextAttemptSucceeds) {
    TFilekeyPeer peer(sandbox.Path("peer"));
    peer.SetControl(R"({"delay": 4, "limit": 1})");
    auto sender = NewSender();
    sender->SetTimeout(1000);
    sender->PrepareXmlRequest(kRequestVerify, "1.0", "agent", "secret");
    ASSERT_TRUE(sender->SendHttpData(true, peer.Url("/verify.php"), "", noProxy));
    EXPECT_TRUE(AnyLineEndsWith(TakeLog(), "[debug] send 1 unsuccessful"));
    EXPECT_TRUE(waitFor([&] { return peer.Requests().size() == 2; }));
}

TEST_F(SenderHttpTest, ResponseLargerThanTheBoundIsRefused) {
    TFilekeyPeer peer(sandbox.Path("peer"));
    auto sender = NewSender();
    sender->PrepareXmlRequest(kRequestVerify, "1.0", "agent", "secret");
    const std::string url = peer.Url("/verify.php");

    // At the bound, announced by its length, or found only while reading.
    sender->SetMaxDocumentSize(1000);
    peer.SetControl(R"({"big_body": 1000})");
    ASSERT_TRUE(sender->HttpMethodPost(url, sender->RequestStream()));
    EXPECT_EQ(sender->Document().size(), 1000u);
    for (const char* control : {R"({"big_body": 1001})", R"({"big_body": 1001, "no_length": true})"}) {
        SCOPED_TRACE(control);
        peer.SetControl(control);
        EXPECT_FALSE(sender->HttpMethodPost(url, sender->RequestStream()));
        EXPECT_TRUE(sender->Document().empty());
        EXPECT_EQ(sender->ResultText(), "response larger than 1000 bytes refused");
    }

    // The real bound makes a failed exchange.
    sender->SetMaxDocumentSize(TCertSenderHttp::kMaxDocumentSize);
    peer.SetControl(R"({"big_body": )" + std::to_string(TCertSenderHttp::kMaxDocumentSize + 1) + "}");
    EXPECT_FALSE(sender->SendHttpData(true, url, "", noProxy));
    EXPECT_EQ(sender->ResultText(), "response larger than 67108864 bytes refused");
    EXPECT_TRUE(AnyLineHolds(TakeLog(), "error-unable to connect to remote-error code: 63"));
}

// ---- proxies ---------------------------------------------------------------------------

TEST_F(SenderHttpTest, ConfiguredProxyCarriesItsCredentials) {
    TFilekeyPeer peer(sandbox.Path("peer"));
    const std::string record = sandbox.Path("proxy.log");
    TPeerProcess proxy(TPeerProcess::PythonPeer("connect_proxy.py", {"--user", "pu:p:w", "--record", record}));
    TConfigurationDataHttpTransferProxy viaProxy;
    viaProxy.lProxyActive = true;
    viaProxy.sProxyHost = "127.0.0.1";
    viaProxy.sProxyPort = std::to_string(proxy.Port());
    viaProxy.sProxyLogin = "pu";
    viaProxy.sProxyPassword = "p:w";
    const std::string connectLine = "CONNECT 127.0.0.1:" + std::to_string(peer.Port()) + " HTTP/1.1";

    EXPECT_EQ(NewSender()->CheckRemoteCertificate(false, false, BaseFor(peer), viaProxy, {}), kCheckUnknownCertificate);
    EXPECT_EQ(ReadLines(record), std::vector<std::string>{connectLine + " | auth: pu:p:w"});

    viaProxy.sProxyLogin = viaProxy.sProxyPassword = "";
    EXPECT_EQ(NewSender()->CheckRemoteCertificate(false, false, BaseFor(peer), viaProxy, {}), kCheckCannotConnect);
    EXPECT_EQ(ReadLines(record).back(), connectLine + " | auth: -");
    EXPECT_EQ(peer.Requests().size(), 1u);
}

TEST_F(SenderHttpTest, SystemProxySendsNoCredentialsAndAnInactiveProxyIgnoresTheEnvironment) {
    TFilekeyPeer peer(sandbox.Path("peer"));
    const std::string record = sandbox.Path("proxy.log");
    TPeerProcess proxy(TPeerProcess::PythonPeer("connect_proxy.py", {"--record", record}));
    sandbox.platform.rProxy.sHttps = "http://127.0.0.1:" + std::to_string(proxy.Port()) + "/";
    TConfigurationDataHttpTransferProxy systemProxy;
    systemProxy.lProxyActive = true;
    systemProxy.lProxyIEType = true;
    systemProxy.sProxyHost = "127.0.0.1";
    systemProxy.sProxyPort = std::to_string(ClosedPort());
    systemProxy.sProxyLogin = "pu";
    systemProxy.sProxyPassword = "pw";

    EXPECT_EQ(NewSender()->CheckRemoteCertificate(false, false, BaseFor(peer), systemProxy, {}),
              kCheckUnknownCertificate);
    EXPECT_EQ(ReadLines(record),
              std::vector<std::string>{"CONNECT 127.0.0.1:" + std::to_string(peer.Port()) + " HTTP/1.1 | auth: -"});

    // Switched off, no proxy is used, whatever the process environment says.
    const TEnvironmentVariable https("https_proxy", "http://127.0.0.1:" + std::to_string(ClosedPort()));
    const TEnvironmentVariable all("ALL_PROXY", "http://127.0.0.1:" + std::to_string(ClosedPort()));
    EXPECT_EQ(NewSender()->CheckRemoteCertificate(false, false, BaseFor(peer), noProxy, {}), kCheckUnknownCertificate);
    EXPECT_EQ(ReadLines(record).size(), 1u);
}

// ---- what the certificate record says ---------------------------------------------------------

TEST_F(SenderHttpTest, VerificationCodeComesFromTheRealChain) {
    const std::string folder = sandbox.Path("pki");
    std::filesystem::create_directories(folder);
    const TTestCertificate authority = MakeSelfSignedCertificate(folder, "ca", "/C=DE/O=Zelko Test/CN=Test CA");
    TFilekeyPeerOptions options;
    options.rCertificate = MakeCertificateSignedBy(authority, folder, "leaf");
    TFilekeyPeer peer(sandbox.Path("peer"), options);

    auto sender = NewSender();
    sender->CheckRemoteCertificate(false, false, BaseFor(peer), noProxy, {});
    EXPECT_EQ(sender->CertData().iCertStatus, 20);
    EXPECT_EQ(sender->CertData().sServerIssuer, "/C=DE/O=Zelko Test/CN=Test CA");

    // Trusted through the default certificate store: the chain now verifies.
    const TEnvironmentVariable trusted("SSL_CERT_FILE", authority.sCertFile);
    sender = NewSender();
    sender->CheckRemoteCertificate(false, false, BaseFor(peer), noProxy, {});
    EXPECT_EQ(sender->CertData().iCertStatus, 0);
}

TEST_F(SenderHttpTest, WithoutTlsNoEarlierCertificateIsCompared) {
    TFilekeyPeer securePeer(sandbox.Path("secure"));
    TFilekeyPeerOptions plainOptions;
    plainOptions.lPlain = true;
    TFilekeyPeer plainPeer(sandbox.Path("plain"), plainOptions);
    auto sender = NewSender();
    sender->CheckRemoteCertificate(false, false, BaseFor(securePeer), noProxy, {});
    const TConfigurationDataHttpTransferCert secureKnown = KnownCertOf(sender->CertData());

    EXPECT_EQ(sender->CheckRemoteCertificate(false, false, BaseFor(plainPeer), noProxy, secureKnown),
              kCheckUnknownCertificate);
    EXPECT_FALSE(sender->CertWasRead());
    EXPECT_EQ(sender->CheckRemoteCertificate(false, false, BaseFor(plainPeer), noProxy, {}), kCheckVerified);
}

}  // namespace
