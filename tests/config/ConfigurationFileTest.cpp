#include <gtest/gtest.h>

#include <cstdint>
#include <set>

#include "config/OConfigurationFile.h"
#include "foundation/VeltDigitalStamps.h"
#include "tests/support/Sandbox.h"

namespace {

const std::string kKey = "0123456789abcdef0123456789abcdef";
const std::string kOtherKey = "fedcba9876543210fedcba9876543210";
const std::string kHeader = "ZELKOTRABSFER_CFG01";

std::string Int32Le(std::int32_t value) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((static_cast<std::uint32_t>(value) >> (8 * i)) & 0xFF);
    return bytes;
}

// A container around any payload, with a correct digest.
std::string Sealed(const std::string& payload) { return kHeader + Base64Encode(StampSha512Raw(payload) + payload); }

// The fields of a current-format file, taken apart independently of the reader.
struct TContainer {
    std::int32_t L = 0;
    unsigned N1 = 0, K1 = 0, B = 0, N2 = 0, K2 = 0;
    std::string block, vector;
};

TContainer TakeApart(const std::string& file) {
    TContainer c;
    EXPECT_EQ(file.substr(0, 19), kHeader);
    std::string body;
    EXPECT_TRUE(Base64DecodeStrict(file.substr(19), body));
    const std::string payload = body.substr(64);
    EXPECT_EQ(body.substr(0, 64), StampSha512Raw(payload));
    const auto byte = [&](std::size_t at) { return static_cast<unsigned>(static_cast<unsigned char>(payload.at(at))); };
    c.L = static_cast<std::int32_t>(byte(0) | byte(1) << 8 | byte(2) << 16 | byte(3) << 24);
    c.N1 = byte(4);
    c.K1 = byte(5);
    c.block = payload.substr(6 + (c.K1 - 1) * c.L, c.L);
    const std::size_t tail = 6 + c.N1 * c.L;
    c.B = byte(tail);
    c.N2 = byte(tail + 1);
    c.K2 = byte(tail + 2);
    c.vector = payload.substr(tail + 3 + (c.K2 - 1) * c.B, c.B);
    EXPECT_EQ(payload.size(), tail + 3 + c.N2 * c.B);
    return c;
}

class ConfigurationFile : public ::testing::Test {
protected:
    TSandbox sandbox;
    std::string fileName = sandbox.Path("xdg/data/zelkotransfer.cfg");

    std::string WriteDocument(const std::string& document, const std::string& key = kKey) const {
        TConfigurationFile file(fileName, "zelkotransfer", key);
        file.XMLStream() = document;
        file.Write(true);
        EXPECT_TRUE(file.XMLStream().empty());
        return TSandbox::ReadFile(fileName);
    }
    std::string ReadDocument(const std::string& key = kKey) const {
        TConfigurationFile file(fileName, "zelkotransfer", key);
        file.Read();
        return file.XMLStream();
    }
    void ExpectReadFails(const std::string& expectedMessage) const {
        try {
            ReadDocument();
            ADD_FAILURE() << "read succeeded";
        } catch (const EConfigurationFile& e) {
            EXPECT_EQ(std::string(e.what()), expectedMessage);
        }
    }
};

}  // namespace

TEST_F(ConfigurationFile, WriteThenReadGivesTheDocumentBack) {
    std::string binary;
    for (int i = 0; i < 256; ++i) binary += static_cast<char>(i);
    const std::string documents[] = {
        "",
        "<configuration program=\"ZELKOTRANSFER\"/>",
        "Zertifikat für Köln € \xF0\x9F\x98\x80\r\n" + binary,
        std::string(100000, 'x'),
    };
    for (const auto& document : documents) {
        WriteDocument(document);
        EXPECT_EQ(ReadDocument(), document) << document.size();
    }
}

TEST_F(ConfigurationFile, WriteWithoutCleaningKeepsTheStream) {
    TConfigurationFile file(fileName, "zelkotransfer", kKey);
    file.XMLStream() = "<doc/>";
    file.Write(false);
    EXPECT_EQ(file.XMLStream(), "<doc/>");
}

TEST_F(ConfigurationFile, ContainerLayoutAndFreshRandomnessOnEveryWrite) {
    const std::string document = "<configuration>Köln</configuration>";
    std::set<std::string> files;
    std::set<unsigned> blockCounts, vectorLengths;
    for (int i = 0; i < 40; ++i) {
        const std::string content = WriteDocument(document);
        files.insert(content);
        EXPECT_EQ(content.find_first_of("\r\n"), std::string::npos);
        const TContainer c = TakeApart(content);
        EXPECT_EQ(c.L, static_cast<std::int32_t>(document.size()));
        EXPECT_GE(c.N1, 4u);
        EXPECT_LE(c.N1, 8u);
        EXPECT_GE(c.K1, 1u);
        EXPECT_LE(c.K1, c.N1);
        EXPECT_GE(c.B, 16u);
        EXPECT_LE(c.B, 32u);
        EXPECT_GE(c.N2, 10u);
        EXPECT_LE(c.N2, 20u);
        EXPECT_GE(c.K2, 1u);
        EXPECT_LE(c.K2, c.N2);
        // Block K1 is the document under AES-256 CFB-8 with the machine key and vector K2.
        std::string block = c.block, vector = c.vector;
        CryptStreamAes(true, block, kKey, vector);
        EXPECT_EQ(block, document);
        EXPECT_EQ(ReadDocument(), document);
        blockCounts.insert(c.N1);
        vectorLengths.insert(c.B);
    }
    EXPECT_EQ(files.size(), 40u);
    EXPECT_GT(blockCounts.size(), 1u);
    EXPECT_GT(vectorLengths.size(), 1u);
}

TEST_F(ConfigurationFile, AnyChangeOfTheBodyIsABadFile) {
    const std::string original = WriteDocument("<configuration program=\"ZELKOTRANSFER\"/>");
    const std::string expected = "TConfigurationFile bad file (" + fileName + ")";
    std::string originalBody;
    ASSERT_TRUE(Base64DecodeStrict(original.substr(19), originalBody));
    // The digest field, the size fields and the padded end in full, every fifth place between.
    for (std::size_t at = 19; at < original.size(); ++at) {
        if (at > 19 + 120 && at + 8 < original.size() && at % 5 != 0) continue;
        std::string changed = original;
        changed[at] = changed[at] == 'A' ? 'B' : 'A';
        // A change in the unused bits before the padding decodes to the same bytes.
        if (Base64Decode(changed.substr(19)) == originalBody) continue;
        sandbox.WriteFile("xdg/data/zelkotransfer.cfg", changed);
        ExpectReadFails(expected);
    }
}

TEST_F(ConfigurationFile, MissingFileWrongHeaderAndForeignText) {
    ExpectReadFails("TConfigurationFile no file (" + fileName + ")");
    const std::string good = WriteDocument("<doc/>");
    const std::string bad = "TConfigurationFile bad file (" + fileName + ")";
    const std::string contents[] = {
        "",
        "ZELKOTRABSFER_CFG0",
        "zelkotrabsfer_cfg01" + good.substr(19),
        "ZELKOTRABSFER_CFG02" + good.substr(19),
        kHeader,
        kHeader + "!!!!" + good.substr(19),
        kHeader + Base64Encode(std::string(63, 'x')),
        "<configuration program=\"ZELKOTRANSFER\"/>",
    };
    for (const auto& content : contents) {
        sandbox.WriteFile("xdg/data/zelkotransfer.cfg", content);
        ExpectReadFails(bad);
    }
}

TEST_F(ConfigurationFile, DeclaredSizesThatDoNotFitAreABadFile) {
    const std::string blocks = std::string(4 * 3, 'b');
    const std::string vectors = std::string(10 * 16, 'v');
    const auto payload = [&](std::int32_t L, int N1, int K1, const std::string& blockArea, int B, int N2, int K2,
                             const std::string& vectorArea) {
        return Int32Le(L) + char(N1) + char(K1) + blockArea + char(B) + char(N2) + char(K2) + vectorArea;
    };
    struct Case {
        const char* name;
        std::string payload;
    };
    const Case cases[] = {
        {"empty payload", ""},
        {"size only", Int32Le(3)},
        {"negative size", payload(-3, 4, 1, blocks, 16, 10, 1, vectors)},
        {"size beyond the data", payload(0x7FFFFFFF, 4, 1, blocks, 16, 10, 1, vectors)},
        {"block index 0", payload(3, 4, 0, blocks, 16, 10, 1, vectors)},
        {"block index past the count", payload(3, 4, 5, blocks, 16, 10, 1, vectors)},
        {"no blocks", payload(3, 0, 1, "", 16, 10, 1, vectors)},
        {"blocks cut short", Int32Le(3) + char(4) + char(1) + blocks.substr(0, 7)},
        {"vector header missing", Int32Le(3) + char(4) + char(1) + blocks},
        {"vector shorter than 16", payload(3, 4, 1, blocks, 15, 10, 1, std::string(150, 'v'))},
        {"vector index 0", payload(3, 4, 1, blocks, 16, 10, 0, vectors)},
        {"vector index past the count", payload(3, 4, 1, blocks, 16, 10, 11, vectors)},
        {"vectors cut short", payload(3, 4, 1, blocks, 16, 10, 1, vectors.substr(1))},
        {"bytes after the vectors", payload(3, 4, 1, blocks, 16, 10, 1, vectors + "x")},
    };
    const std::string bad = "TConfigurationFile bad file (" + fileName + ")";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sandbox.WriteFile("xdg/data/zelkotransfer.cfg", Sealed(c.payload));
        ExpectReadFails(bad);
    }
    // The same shape with sizes that fit reads fine: the cases above fail for their sizes.
    sandbox.WriteFile("xdg/data/zelkotransfer.cfg", Sealed(payload(3, 4, 1, blocks, 16, 10, 1, vectors)));
    EXPECT_EQ(ReadDocument().size(), 3u);
}

TEST_F(ConfigurationFile, AnotherMachineKeyPassesTheDigestButNotTheDocument) {
    const std::string document = "<configuration program=\"ZELKOTRANSFER\"/>";
    WriteDocument(document, kOtherKey);
    EXPECT_NE(ReadDocument(kKey), document);
}

TEST_F(ConfigurationFile, EarlierFormatIsReadAndRewrittenInTheCurrentOne) {
    const std::string document = "<configuration program=\"ZELKOTRANSFER\">Köln</configuration>";
    const std::string marker =
        EncryptStringTripleDes("zelkotransfer.cfg", "VORPALCINDERSNuvola QMT Harbour71", THashAlgorithm::Sha1);
    sandbox.WriteFile("xdg/data/zelkotransfer.cfg",
                      EncryptStringTripleDes(document, TConfigurationFile::MakeEarlierKey(), THashAlgorithm::Sha1) +
                          marker);

    EXPECT_EQ(ReadDocument(), document);
    const std::string converted = TSandbox::ReadFile(fileName);
    EXPECT_EQ(converted.substr(0, 19), kHeader);
    EXPECT_EQ(ReadDocument(), document);
    // A marker for another program name is not the earlier format of this one.
    sandbox.WriteFile("xdg/data/zelkotransfer.cfg",
                      EncryptStringTripleDes(document, TConfigurationFile::MakeEarlierKey(), THashAlgorithm::Sha1) +
                          EncryptStringTripleDes("other.cfg", "VORPALCINDERSNuvola QMT Harbour71", THashAlgorithm::Sha1));
    ExpectReadFails("TConfigurationFile bad file (" + fileName + ")");
}

TEST_F(ConfigurationFile, EarlierKeyIsDerivedFromEveryThirdSeedByteByTwoStamps) {
    // Stored earlier-format files depend on this derivation staying exactly as it is.
    const auto& seed = TConfigurationFile::kEarlierKeySeed;
    std::string picked;
    for (std::size_t position = 4; position <= 61; position += 3) picked += static_cast<char>(seed[position - 1]);
    ASSERT_EQ(picked.size(), 20u);
    const std::string first = StampSha512(picked);
    std::string evens, odds;
    for (std::size_t position = 2; position <= 128; position += 2) evens += first[position - 1];
    const std::string second = StampSha512(evens);
    for (std::size_t position = 1; position <= 127; position += 2) odds += second[position - 1];
    EXPECT_EQ(TConfigurationFile::MakeEarlierKey(), odds);
    EXPECT_EQ(odds.size(), 64u);
}

TEST_F(ConfigurationFile, WriteIntoAMissingDirectoryCannotCreateTheFile) {
    const std::string missing = sandbox.Path("no/such/dir/zelkotransfer.cfg");
    TConfigurationFile file(missing, "zelkotransfer", kKey);
    file.XMLStream() = "<doc/>";
    try {
        file.Write(true);
        ADD_FAILURE();
    } catch (const EConfigurationFile& e) {
        EXPECT_EQ(std::string(e.what()), "TConfigurationFile cannot create configuration file (" + missing + ")");
    }
}
