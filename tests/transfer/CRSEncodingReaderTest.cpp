// The encoding dictionary fetched from the local filekey server (its own free port).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/OCRSTypes.h"
#include "config/OConfigurationData.h"
#include "foundation/VeltEnvironment.h"
#include "log/VeltStraightLogData.h"
#include "tests/support/LogLines.h"
#include "tests/support/FilekeyPeer.h"
#include "tests/support/Sandbox.h"
#include "transfer/OCRSEncodingReader.h"

namespace {

class CRSEncodingReaderTest : public ::testing::Test {
protected:
    CRSEncodingReaderTest() : _savedEncodings(asCRSTypeEncodings) {
        configuration._rData.rSupport.lDebugModeInLog = true;
        auto& base = configuration._rData.rHttpTransfer.rBase;
        base.sUrl = "https://127.0.0.1/files";
        base.sPort = std::to_string(peer.Port());
        base.sLogin = "agent";
        base.sPassword = "secret";
        // Earlier encodings that a failed read must leave in place.
        asCRSTypeEncodings.fill("");
        asCRSTypeEncodings[1] = "iso-8859-9";
        asCRSTypeEncodings[16] = "utf8";
    }
    ~CRSEncodingReaderTest() override { asCRSTypeEncodings = _savedEncodings; }

    std::vector<std::string> TakeLog() { return TakeLogLines(logData); }

    TSandbox sandbox;
    TEnvironment environment{{}, sandbox.platform};
    TConfigurationData configuration{environment};
    TLogData logData{4096, 1024, 256, false};
    TFilekeyPeer peer{sandbox.Path("peer"), Users()};

    static TFilekeyPeerOptions Users() {
        TFilekeyPeerOptions options;
        options.aUsers = {{"agent", "secret"}, {"J\xC3\xB6rg\xE2\x82\xAC", "p\xC3\xA4ss"}};
        return options;
    }

private:
    const TCRSTypeColumn _savedEncodings;
};

TEST_F(CRSEncodingReaderTest, DictionaryFromTheServerFillsTheTable) {
    peer.SetControl(R"({"encoding": {"encodings": [["ama", "iso-8859-2"], ["toma", "utf8"], ["sabre", "iso-8859-15"],
                                                    ["sabre", "iso-8859-1"], ["wsp", "ISO-8859-1"]]}})");
    // A login beyond ASCII, and beyond Latin-1, makes the whole round trip.
    configuration._rData.rHttpTransfer.rBase.sLogin = "J\xC3\xB6rg\xE2\x82\xAC";
    configuration._rData.rHttpTransfer.rBase.sPassword = "p\xC3\xA4ss";
    ASSERT_TRUE(ReadCRSEncoding(environment, configuration, &logData));

    TCRSTypeColumn expected;
    expected[1] = "iso-8859-2";
    expected[16] = "iso-8859-15";
    expected[17] = expected[18] = "utf8";
    EXPECT_EQ(asCRSTypeEncodings, expected);

    const std::vector<std::string> log = TakeLog();
    EXPECT_TRUE(AnyLineEndsWith(log, "CONFIGURATOR reading encoding dictionary"));
    EXPECT_TRUE(AnyLineEndsWith(log, "CONFIGURATOR [debug] requesting encoding dictionary"));
    EXPECT_TRUE(AnyLineEndsWith(log, "CONFIGURATOR [debug] request for encoding dictionary succesful"));
    EXPECT_FALSE(AnyLineEndsWith(log, "error-reading encoding dictionary"));
    ASSERT_EQ(peer.Requests().size(), 1u);
    EXPECT_NE(peer.Requests()[0].find("POST /files/encoding.php -> 200"), std::string::npos);
    EXPECT_EQ(peer.Problems(), "");
}

TEST_F(CRSEncodingReaderTest, EveryFailureReturnsFalseAndLeavesTheTable) {
    struct TCase {
        const char* control;
        const char* password;
        const char* debugLine;
    };
    const TCase cases[] = {
        {"{}", "wrong", "[debug] cannot read response encoding data"},  // the server denies access in plain text
        {R"({"html_error": true})", "secret", "[debug] cannot read response encoding data"},
        {R"({"root": "ZelkoVerifyResult"})", "secret", "[debug] bad response encoding data-invalid root node"},
        {R"({"drop": ["Password"]})", "secret", "[debug] bad response encoding data-invalid password data"},
        {R"({"user_name": "Agent"})", "secret", "[debug] bad response encoding data-invalid user/password data"},
        {R"({"close": true})", "secret", "[debug] encoding dictionary not read"},
    };
    const TCRSTypeColumn before = asCRSTypeEncodings;
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.control);
        peer.SetControl(c.control);
        configuration._rData.rHttpTransfer.rBase.sPassword = c.password;
        EXPECT_FALSE(ReadCRSEncoding(environment, configuration, &logData));
        EXPECT_EQ(asCRSTypeEncodings, before);
        const std::vector<std::string> log = TakeLog();
        EXPECT_TRUE(AnyLineEndsWith(log, c.debugLine));
        EXPECT_TRUE(AnyLineEndsWith(log, "CONFIGURATOR error-reading encoding dictionary"));
    }
}

}  // namespace
