#include <gtest/gtest.h>

#include <map>

#include "config/OCRSTypes.h"
#include "config/OConfigurationData.h"
#include "foundation/VeltDigitalStamps.h"
#include "foundation/VeltEnvironment.h"
#include "log/VeltStraightLogData.h"
#include "tests/support/Sandbox.h"

namespace {

// The dictionary is process-wide: every test starts from the same known table and puts
// the empty one back.
class CRSDictionary : public ::testing::Test {
protected:
    CRSDictionary() : environment({}, sandbox.platform), configuration(environment) {
        auto& base = configuration._rData.rHttpTransfer.rBase;
        base.sLogin = "Müller";
        base.sPassword = "Pässword";
        for (int row = 1; row <= kCRSTypeCount; ++row) asCRSTypeEncodings[row] = "earlier";
    }
    ~CRSDictionary() override { asCRSTypeEncodings.fill(""); }

    // The server writes ISO-8859-1, as the declaration says: the user name arrives in single bytes.
    static std::string Response(const std::string& user, const std::string& passwordBase64, const std::string& entries) {
        return "<?xml version=\"1.0\" encoding=\"iso-8859-1\"?><ZelkoResponseEncoding><UserName>" + user +
               "</UserName><Password>" + passwordBase64 + "</Password>" + entries + "</ZelkoResponseEncoding>";
    }
    std::string Valid(const std::string& entries) const { return Response("M\xFCller", Base64Encode("Pässword"), entries); }
    static std::string Entry(const std::string& code, const std::string& encoding) {
        return "<EncodingDefinition><KmrCode>" + code + "</KmrCode><KmrEncoding>" + encoding +
               "</KmrEncoding></EncodingDefinition>";
    }
    // Rows that are not empty, by row.
    static std::map<int, std::string> FilledRows() {
        std::map<int, std::string> rows;
        for (int row = 1; row <= kCRSTypeCount; ++row) {
            if (!asCRSTypeEncodings[row].empty()) rows[row] = asCRSTypeEncodings[row];
        }
        return rows;
    }

    TSandbox sandbox;
    TEnvironment environment;
    TConfigurationData configuration;
};

}  // namespace

TEST(CRSTypes, TableRowsAndLookups) {
    EXPECT_EQ(asCRSTypeNames[1], "Amadeus");
    EXPECT_EQ(asCRSTypeCodes[1], "ama");
    EXPECT_EQ(asCRSTypeNames[21], "XBeds");
    EXPECT_EQ(asCRSTypeCodes[20], "wsp");
    EXPECT_EQ(asCRSTypeCodes[17], "toma");
    EXPECT_EQ(asCRSTypeCodes[18], "toma");
    EXPECT_EQ(asKnownEncodings[11], "iso-8859-12");
    EXPECT_EQ(asKnownEncodings[16], "utf8");
    for (int row = 1; row <= kCRSTypeCount; ++row) {
        EXPECT_EQ(CRSTypeRowOfName(asCRSTypeNames[row]), row);
        EXPECT_TRUE(asCRSTypeEncodings[row].empty());
    }
    EXPECT_EQ(CRSTypeRowOfCode("toma"), 17);  // the first row wins
    EXPECT_EQ(CRSTypeRowOfName("amadeus"), 0);
    EXPECT_EQ(CRSTypeRowOfName(""), 0);
}

TEST_F(CRSDictionary, AcceptedEntriesFillTheTable) {
    struct Case {
        const char* name;
        std::string entries;
        std::map<int, std::string> rows;
    };
    const Case cases[] = {
        {"known pairs", Entry("ama", "iso-8859-1") + Entry("wsp", "utf8"), {{1, "iso-8859-1"}, {20, "utf8"}}},
        {"first definition wins", Entry("sabre", "iso-8859-2") + Entry("sabre", "utf8"), {{16, "iso-8859-2"}}},
        {"toma fills both rows", Entry("toma", "iso-8859-15"), {{17, "iso-8859-15"}, {18, "iso-8859-15"}}},
        {"names and values are case-sensitive",
         Entry("ama", "ISO-8859-1") + Entry("AMA", "utf8") +
             "<encodingdefinition><KmrCode>gali</KmrCode><KmrEncoding>utf8</KmrEncoding></encodingdefinition>",
         {}},
        {"incomplete and unknown entries are skipped, others kept",
         "<EncodingDefinition><KmrCode>btn</KmrCode></EncodingDefinition>" + Entry("nosuch", "utf8") +
             Entry("buma", "iso-8859-17") + "<Other/>" + Entry("buma", "iso-8859-12"),
         {{7, "iso-8859-12"}}},
        {"no valid entry clears every row", "", {}},
    };
    for (const auto& c : cases) {
        for (int row = 1; row <= kCRSTypeCount; ++row) asCRSTypeEncodings[row] = "earlier";
        std::string response = Valid(c.entries);
        EXPECT_TRUE(ReadEncodingDictionary(response, configuration, nullptr)) << c.name;
        EXPECT_EQ(FilledRows(), c.rows) << c.name;
        EXPECT_TRUE(response.empty()) << c.name;
    }
}

TEST_F(CRSDictionary, RefusedResponsesLeaveTheTableAndSayWhyInDebugMode) {
    configuration._rData.rSupport.lDebugModeInLog = true;
    TLogData logData(64, 512, 16, false);
    const std::string entries = Entry("ama", "utf8");
    struct Case {
        std::string response, debugLine;
    };
    const Case cases[] = {
        {"this is not xml <", "cannot read response encoding data"},
        {"<ZelkoResponse><UserName>agency7</UserName></ZelkoResponse>", "bad response encoding data-invalid root node"},
        {"<ZelkoResponseEncoding><Password>eA==</Password></ZelkoResponseEncoding>",
         "bad response encoding data-invalid user data"},
        {"<ZelkoResponseEncoding><UserName>agency7</UserName></ZelkoResponseEncoding>",
         "bad response encoding data-invalid password data"},
        {Response("M\xFCller", "not*base64", entries), "bad response encoding data-cannot decode data"},
        {Response("M\xDCller", Base64Encode("Pässword"), entries), "bad response encoding data-invalid user/password data"},
        {Response("M\xFCller", Base64Encode("PÄssword"), entries), "bad response encoding data-invalid user/password data"},
        {Response("M\xFCller", Base64Encode("Pässword "), entries), "bad response encoding data-invalid user/password data"},
    };
    for (const auto& c : cases) {
        std::string response = c.response;
        EXPECT_FALSE(ReadEncodingDictionary(response, configuration, &logData)) << c.response;
        EXPECT_EQ(asCRSTypeEncodings[1], "earlier") << c.response;
        std::string line;
        ASSERT_TRUE(logData.LineRead(line)) << c.response;
        EXPECT_TRUE(line.ends_with("] CONFIGURATOR [debug] " + c.debugLine)) << line;
        EXPECT_FALSE(logData.LineRead(line)) << "one line per refusal: " << line;
    }
    // Outside debug mode a refusal is silent.
    configuration._rData.rSupport.lDebugModeInLog = false;
    std::string response = "garbage";
    EXPECT_FALSE(ReadEncodingDictionary(response, configuration, &logData));
    std::string line;
    EXPECT_FALSE(logData.LineRead(line));
}
