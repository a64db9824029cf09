#include <gtest/gtest.h>

#include <regex>

#include "config/OConfigurationData.h"
#include "foundation/VeltDigitalStamps.h"
#include "foundation/VeltEnvironment.h"
#include "tests/support/Sandbox.h"

TEST(ConfigurationData, FreshObjectHoldsTheDefaults) {
    TSandbox sandbox;
    const TEnvironment environment({}, sandbox.platform);
    const TConfigurationData configuration(environment);
    const TConfigurationDataRecord& data = configuration._rData;

    EXPECT_EQ(data.sSetupAuthorization, StampMd5("opalgrey"));
    EXPECT_TRUE(std::regex_match(data.sSetupAuthorization, std::regex("[0-9a-f]{32}")));
    EXPECT_EQ(data.ptUploadProtocol, tptHttp);
    EXPECT_EQ(data.rFtpTransfer.iConnTimeout, 10);
    EXPECT_TRUE(data.rFtpTransfer.lPassive);
    EXPECT_TRUE(data.rFtpTransfer.lSecure);
    EXPECT_TRUE(data.rFtpTransfer.slHostNames.empty());
    EXPECT_FALSE(data.rHttpTransfer.rProxy.lProxyActive);
    EXPECT_FALSE(data.rHttpTransfer.rCheck.lValidCertOnWatchAndUpload);
    EXPECT_TRUE(data.rHttpTransfer.rBase.sUrl.empty());
    EXPECT_EQ(data.rWatchingRules.iCollectorInterval, 30);
    EXPECT_EQ(data.rWatchingRules.iCollectorPackageMaxSize, 512);
    ASSERT_EQ(data.rWatchingRules.biDataFileMaskIncl.Size(), 105u);
    for (std::size_t i = 0; i < 105; ++i) EXPECT_TRUE(data.rWatchingRules.biDataFileMaskIncl.Bit(i)) << i;
    EXPECT_EQ(data.rProgram.iLogMaxSize, 40);
    EXPECT_EQ(data.rProgram.iHelpLanguageId, 0);
    EXPECT_FALSE(data.rProgram.lStartWithWatch);
    EXPECT_TRUE(data.rProgram.rNewVersion.lLimitCheck);
    EXPECT_EQ(data.rProgram.rNewVersion.sLimitedCheckDays, "12345");
    EXPECT_EQ(data.rProgram.rNewVersion.sLimitedCheckHours, "9-15");
    EXPECT_TRUE(data.rProgram.rNewVersion.sSiteCheck.starts_with("https://"));
    EXPECT_TRUE(data.rProgram.rNewVersion.sSiteCheck.ends_with("/zelkotransfer"));
    EXPECT_FALSE(data.rSupport.lDebugModeInLog);
}

TEST(ConfigurationData, ProtocolCodes) {
    EXPECT_EQ(TConfigurationData::ProtocolType2ProtocolCode(tptFtp), 1);
    EXPECT_EQ(TConfigurationData::ProtocolType2ProtocolCode(tptHttp), 2);
    EXPECT_EQ(TConfigurationData::ProtocolCode2ProtocolType(1), tptFtp);
    EXPECT_EQ(TConfigurationData::ProtocolCode2ProtocolType(2), tptHttp);
    for (const int code : {3, 0, -1}) {
        try {
            TConfigurationData::ProtocolCode2ProtocolType(code);
            ADD_FAILURE() << code;
        } catch (const EConfigurationData& e) {
            EXPECT_EQ(std::string(e.what()), "TConfigurationData error: unknown protocol code for conversion to type (" +
                                                 std::to_string(code) + ")");
        }
    }
    try {
        TConfigurationData::ProtocolType2ProtocolCode(static_cast<TProtocolType>(7));
        ADD_FAILURE();
    } catch (const EConfigurationData& e) {
        EXPECT_STREQ(e.what(), "TConfigurationData error: bad protocol type for conversion to code");
    }
}

TEST(ConfigurationData, LogDataStampShowsPreciseTimeAndMarkerOnlyInDebugMode) {
    TSandbox sandbox;
    sandbox.platform.iPerformanceCounter = 1000;
    const TEnvironment environment({}, sandbox.platform);
    sandbox.platform.iPerformanceCounter = 1000 + 123456;
    TConfigurationData configuration(environment);
    const std::string time = R"(\d{4}\.\d{2}\.\d{2} \d{2}.\d{2}.\d{2})";

    EXPECT_TRUE(std::regex_match(configuration.GetLogDataStamp("SEND"), std::regex(R"(\[ )" + time + R"( \] )")));
    configuration._rData.rSupport.lDebugModeInLog = true;
    EXPECT_TRUE(std::regex_match(configuration.GetLogDataStamp(" SEND "),
                                 std::regex(R"(\[ )" + time + R"( - 0000 0000 0012 3456 \] SEND )")));
    EXPECT_TRUE(std::regex_match(configuration.GetLogDataStamp(""),
                                 std::regex(R"(\[ )" + time + R"( - 0000 0000 0012 3456 \] )")));
}

TEST(ConfigurationData, MaskBitListGrowsWithNewBitsFalse) {
    TBitList bits(3);
    bits.SetAll(true);
    bits.SetBit(6, true);
    EXPECT_EQ(bits.Size(), 7u);
    EXPECT_TRUE(bits.Bit(2));
    EXPECT_FALSE(bits.Bit(3));
    EXPECT_FALSE(bits.Bit(5));
    EXPECT_TRUE(bits.Bit(6));
    EXPECT_FALSE(bits.Bit(1000));  // beyond the end: never set
}
