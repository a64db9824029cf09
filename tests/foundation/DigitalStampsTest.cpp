#include "foundation/VeltDigitalStamps.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cctype>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#include "tests/support/Sandbox.h"

namespace {

std::string RandomBytes(std::size_t count, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(count, '\0');
    for (char& c : bytes) c = static_cast<char>(generator() & 0xFF);
    return bytes;
}

std::string AllByteValues() {
    std::string bytes;
    for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
    return bytes;
}

std::string HexOf(const std::string& bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char b : bytes) {
        hex += digits[b >> 4];
        hex += digits[b & 0x0F];
    }
    return hex;
}

// Runs a shell command line; returns its exit code (-1 when it did not exit normally).
int RunShell(const std::string& commandLine) {
    const int status = std::system(commandLine.c_str());
    return (status != -1 && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
}

std::string Quoted(const std::string& path) { return "'" + path + "'"; }

// Feeds input through a command that reads the file {in} and writes the file {out}
// (both substituted), and returns what it wrote.
std::string Filter(const TSandbox& sandbox, const std::string& input, const std::string& command) {
    const std::string in = sandbox.WriteFile("filter.in", input);
    const std::string out = sandbox.Path("filter.out");
    std::string commandLine = command;
    commandLine.replace(commandLine.find("{in}"), 4, Quoted(in));
    commandLine.replace(commandLine.find("{out}"), 5, Quoted(out));
    EXPECT_EQ(RunShell(commandLine + " 2>/dev/null"), 0) << commandLine;
    return TSandbox::ReadFile(out);
}

std::string OpensslEnc(const TSandbox& sandbox, const std::string& input, const std::string& options) {
    return Filter(sandbox, input, "openssl enc " + options + " -in {in} -out {out}");
}

}  // namespace

// ---- CRC-32 -----------------------------------------------------------------------

TEST(DigitalStampsCrc32, KnownAnswers) {
    const struct {
        std::string data, stamp;
    } cases[] = {
        {"a", "E8B7BE43"},
        {"123456789", "CBF43926"},
        {"&", "000F6A70"},  // leading zeros kept
        {std::string(1, '\0'), "D202EF8D"},
    };
    for (const auto& c : cases) EXPECT_EQ(StampCrc32(c.data), c.stamp) << c.data;
}

TEST(DigitalStampsCrc32, RunningValueHasNoComplementAndChains) {
    EXPECT_EQ(UpdateCrc32(0xFFFFFFFFu, "a", 1), ~0xE8B7BE43u);
    const std::uint32_t firstPart = UpdateCrc32(0xFFFFFFFFu, "1234", 4);
    EXPECT_EQ(~UpdateCrc32(firstPart, "56789", 5), 0xCBF43926u);
}

TEST(DigitalStampsCrc32, EmptyInputIsARangeError) {
    EXPECT_THROW(UpdateCrc32(0xFFFFFFFFu, "x", 0), ERangeError);
    EXPECT_THROW(StampCrc32(""), ERangeError);
}

// A buffer well beyond one 16 KiB chunk, checked against an independent implementation.
TEST(DigitalStampsCrc32, LargeBufferMatchesPythonAndHashlib) {
    TSandbox sandbox;
    const std::string data = RandomBytes(100'003, 7);
    const std::string python =
        "/usr/bin/python3 -c 'import sys,zlib,hashlib; d=open(sys.argv[1],\"rb\").read(); "
        "open(sys.argv[2],\"w\").write(\"%08X %s %s\" % (zlib.crc32(d), hashlib.md5(d).hexdigest(), "
        "hashlib.sha1(d).hexdigest()))' {in} {out}";
    EXPECT_EQ(Filter(sandbox, data, python),
              StampCrc32(data) + " " + StampMd5(data) + " " + StampSha1(data));
}

// ---- digests ----------------------------------------------------------------------

TEST(DigitalStampsDigest, PublishedValues) {
    const struct {
        std::string data, md5, sha1, sha512;
    } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e", "da39a3ee5e6b4b0d3255bfef95601890afd80709",
         "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
         "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72", "a9993e364706816aba3e25717850c26c9cd0d89d",
         "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
         "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(StampMd5(c.data), c.md5);
        EXPECT_EQ(HexOf(StampMd5Raw(c.data)), c.md5);
        EXPECT_EQ(StampSha1(c.data), c.sha1);
        EXPECT_EQ(StampSha512(c.data), c.sha512);
    }
}

TEST(DigitalStampsDigest, Sha512RawKnownAnswer) {
    // The digest of "abc" holds 'A', 'I', 'N' and bytes 0x89, 0x93, 0x9A...: they become
    // 'a', 'i', 'n' and '?'; every other byte is kept.
    EXPECT_EQ(HexOf(StampSha512Raw("abc")),
              "ddaf35a13f617abacc617369ae20613112e6fa6e3fa97ea20a3feee66b75d33f"
              "213f3f2a276fc1a836ba3c23a3feebbd656d6423643ce80e2a3fc96fa56ca43f");
}

TEST(DigitalStampsDigest, Sha512RawHasNoUpperCaseOrC1Bytes) {
    for (int i = 0; i < 2000; ++i) {
        const std::string data = "input " + std::to_string(i);
        const std::string field = StampSha512Raw(data);
        ASSERT_EQ(field.size(), 64u);
        for (unsigned char b : field) {
            ASSERT_FALSE(b >= 'A' && b <= 'Z') << data;
            ASSERT_FALSE(b >= 0x80 && b < 0xA0) << data;
        }
        ASSERT_EQ(StampSha512Raw(data), field);
    }
}

// ---- streaming stamper ------------------------------------------------------------

TEST(DigitalStampsStamper, ChunkedEqualsOneShotAndRestarts) {
    const std::string data = RandomBytes(50'000, 11);
    TStamper stamper;
    for (int round = 0; round < 2; ++round) {  // the second round proves Finish starts over
        std::size_t offset = 0;
        for (std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{16384}, std::size_t{16385}}) {
            stamper.Update(data.data() + offset, piece);
            offset += piece;
        }
        stamper.Update(data.data() + offset, 0);
        stamper.Update(data.data() + offset, data.size() - offset);
        const TFileStamps stamps = stamper.Finish();
        EXPECT_EQ(stamps.sCrc32, StampCrc32(data));
        EXPECT_EQ(stamps.sMd5, StampMd5(data));
        EXPECT_EQ(stamps.sSha1, StampSha1(data));
    }
    const TFileStamps empty = stamper.Finish();
    EXPECT_EQ(empty.sCrc32, "00000000");
    EXPECT_EQ(empty.sMd5, StampMd5(""));
    EXPECT_EQ(empty.sSha1, StampSha1(""));
}

// ---- Triple DES -------------------------------------------------------------------

// Key = the first 24 digest bytes of the key text, zero-filled; IV = the block operation
// on eight zero bytes; CFB-8. Checked against the command-line tool.
TEST(DigitalStampsTripleDes, MatchesOpensslForEveryHash) {
    TSandbox sandbox;
    const std::string keyText = "configuration secret";
    const std::string plain = AllByteValues() + "tail of odd length";
    const struct {
        THashAlgorithm hash;
        std::string digestHex;
    } cases[] = {
        {THashAlgorithm::Md5, StampMd5(keyText)},  // K3 all zeros
        {THashAlgorithm::Sha1, StampSha1(keyText)},
        {THashAlgorithm::Sha512, StampSha512(keyText)},  // truncated to 24 bytes
    };
    for (const auto& c : cases) {
        std::string keyHex = c.digestHex.substr(0, 48);
        keyHex.resize(48, '0');
        const std::string iv = OpensslEnc(sandbox, std::string(8, '\0'), "-des-ede3 -nopad -K " + keyHex);
        ASSERT_EQ(iv.size(), 8u);
        const std::string expected =
            OpensslEnc(sandbox, plain, "-des-ede3-cfb8 -K " + keyHex + " -iv " + HexOf(iv));

        const std::string base64 = EncryptStringTripleDes(plain, keyText, c.hash);
        EXPECT_EQ(base64, Base64Encode(expected)) << static_cast<int>(c.hash);
        EXPECT_EQ(DecryptStringTripleDes(base64, keyText, c.hash), plain);
    }
}

TEST(DigitalStampsTripleDes, RoundTripsKeepLengthAndDependOnKey) {
    for (std::size_t length : {0u, 1u, 2u, 3u, 8u, 1000u}) {
        const std::string plain = RandomBytes(length, static_cast<unsigned>(length));
        const std::string base64 = EncryptStringTripleDes(plain, "key one", THashAlgorithm::Sha1);
        const std::string cipher = Base64Decode(base64);
        EXPECT_EQ(cipher.size(), length);
        EXPECT_EQ(base64.size(), (length + 2) / 3 * 4);
        EXPECT_EQ(DecryptStringTripleDes(base64, "key one", THashAlgorithm::Sha1), plain);
        if (length >= 8) {
            const std::string other = Base64Decode(EncryptStringTripleDes(plain, "key two", THashAlgorithm::Sha1));
            EXPECT_EQ(other.size(), length);
            EXPECT_NE(other, cipher);
        }
    }
}

TEST(DigitalStampsTripleDes, DecryptSkipsForeignCharacters) {
    const std::string base64 = EncryptStringTripleDes("some document", "k", THashAlgorithm::Sha1);
    const std::string noisy = base64.substr(0, 4) + "\r\n*" + base64.substr(4);
    EXPECT_EQ(DecryptStringTripleDes(noisy, "k", THashAlgorithm::Sha1), "some document");
}

// ---- AES --------------------------------------------------------------------------

namespace {
const std::string AesKey = "0123456789abcdef0123456789abcdef";
}

TEST(DigitalStampsAes, MatchesOpenssl) {
    TSandbox sandbox;
    const std::string plain = AllByteValues() + "odd";
    std::string initText = RandomBytes(20, 3);
    std::string stream = plain;
    CryptStreamAes(false, stream, AesKey, initText);
    EXPECT_EQ(stream, OpensslEnc(sandbox, plain, "-aes-256-cfb8 -K " + HexOf(AesKey) + " -iv " +
                                                     HexOf(initText.substr(0, 16))));
    EXPECT_EQ(initText.size(), 20u);  // a given init text comes back unchanged
}

TEST(DigitalStampsAes, RoundTripsAndKeepsLength) {
    for (std::size_t length : {0u, 1u, 16u, 17u, 5000u}) {
        const std::string plain = RandomBytes(length, static_cast<unsigned>(length) + 1);
        std::string initText = RandomBytes(16, 5);
        std::string stream = plain;
        CryptStreamAes(false, stream, AesKey, initText);
        EXPECT_EQ(stream.size(), length);
        if (length > 0) {
            EXPECT_NE(stream, plain);
        }
        CryptStreamAes(true, stream, AesKey, initText);
        EXPECT_EQ(stream, plain);
    }
}

TEST(DigitalStampsAes, InitTextRules) {
    const std::string plain = RandomBytes(300, 9);
    auto encrypt = [&](std::string initText, const std::string& key = AesKey) {
        std::string stream = plain;
        CryptStreamAes(false, stream, key, initText);
        return stream;
    };

    std::string emptyInit;
    std::string viaEmpty = plain;
    CryptStreamAes(false, viaEmpty, AesKey, emptyInit);
    EXPECT_EQ(emptyInit, StampMd5Raw(AesKey));
    EXPECT_EQ(viaEmpty, encrypt(StampMd5Raw(AesKey)));

    const std::string head = RandomBytes(16, 13);
    EXPECT_EQ(encrypt(head + "first tail"), encrypt(head + "another, longer tail"));
    EXPECT_NE(encrypt(head), encrypt(RandomBytes(16, 14)));
    EXPECT_NE(encrypt(head), encrypt(head, "fedcba9876543210fedcba9876543210"));
}

TEST(DigitalStampsAes, BadLengthsAreRangeErrorsAndLeaveTheStream) {
    const struct {
        std::string key, initText;
    } cases[] = {
        {AesKey + "x", ""},
        {AesKey.substr(0, 31), ""},
        {"", ""},
        {AesKey, std::string(15, 'i')},
    };
    for (const auto& c : cases) {
        std::string stream = "untouched";
        std::string initText = c.initText;
        EXPECT_THROW(CryptStreamAes(false, stream, c.key, initText), ERangeError) << c.key.size();
        EXPECT_EQ(stream, "untouched");
    }
}

// ---- Base64 -----------------------------------------------------------------------

TEST(DigitalStampsBase64, Rfc4648Vectors) {
    const struct {
        std::string data, text;
    } cases[] = {
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
        {"\xFB\xFF", "+/8="},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Base64Encode(c.data), c.text);
        EXPECT_EQ(Base64Decode(c.text), c.data);
        std::string strict = "stale";
        EXPECT_TRUE(Base64DecodeStrict(c.text, strict)) << c.text;
        EXPECT_EQ(strict, c.data);
    }
    const std::string binary = AllByteValues() + RandomBytes(1000, 2);
    EXPECT_EQ(Base64Decode(Base64Encode(binary)), binary);
}

TEST(DigitalStampsBase64, LenientDecoderSkipsForeignCharacters) {
    EXPECT_EQ(Base64Decode("Zm9v\r\nYmFy"), "foobar");
    EXPECT_EQ(Base64Decode("Zm 9v*Ym!F\xC3\xA4y"), "foobar");
    EXPECT_EQ(Base64Decode("Zm8"), "fo");  // missing padding
    EXPECT_EQ(Base64Decode("###"), "");
}

TEST(DigitalStampsBase64, StrictDecoder) {
    const struct {
        std::string text;
        bool accepted;
        std::string data;
    } cases[] = {
        {"Zm9v\r\nYmFy", true, "foobar"},
        {" Zm9v\tYg== \n", true, "foob"},
        {"Zm9v*", false, ""},
        {"Zm9\xC3\xA4", false, ""},
        {"Zm9", false, ""},          // length not a multiple of 4
        {"Zg=", false, ""},
        {"Z===", false, ""},         // too much padding
        {"Zm=v", false, ""},         // data after padding
        {"Zg==Zg==", false, ""},
        {"Zm9vYg===", false, ""},
    };
    for (const auto& c : cases) {
        std::string data = "stale";
        EXPECT_EQ(Base64DecodeStrict(c.text, data), c.accepted) << c.text;
        EXPECT_EQ(data, c.data) << c.text;
    }
}

// ---- gzip -------------------------------------------------------------------------

TEST(DigitalStampsGzip, HeaderAndTrailerForm) {
    const std::string member = GzipCompress("x");
    ASSERT_EQ(member.size(), 21u);
    EXPECT_EQ(HexOf(member.substr(0, 10)), "1f8b0800000000000000");
    // Trailer: CRC-32 and length of the input, little-endian.
    const std::string crc = StampCrc32("x");  // upper-case hex, big-endian digits
    std::string crcLittleEndian;
    for (int i = 3; i >= 0; --i) crcLittleEndian += crc.substr(static_cast<std::size_t>(i) * 2, 2);
    std::string trailer = HexOf(member.substr(13));
    for (char& ch : trailer) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    EXPECT_EQ(trailer, crcLittleEndian + "01000000");
}

TEST(DigitalStampsGzip, GzipAndPythonDecompressOurOutput) {
    TSandbox sandbox;
    std::string mixed;  // compressible text with random stretches, 1 MiB
    while (mixed.size() < (1u << 20)) mixed += "PNR line " + std::to_string(mixed.size()) + "\r\n" + RandomBytes(40, static_cast<unsigned>(mixed.size()));
    mixed.resize(1u << 20);
    const std::string inputs[] = {AllByteValues() + RandomBytes(5000, 4), "", mixed};
    for (const std::string& input : inputs) {
        const std::string member = GzipCompress(input);
        EXPECT_EQ(HexOf(member.substr(0, 10)), "1f8b0800000000000000");
        EXPECT_EQ(Filter(sandbox, member, "gzip -dc < {in} > {out}"), input) << input.size();
        EXPECT_EQ(Filter(sandbox, member,
                         "/usr/bin/python3 -c 'import gzip,sys; open(sys.argv[2],\"wb\").write("
                         "gzip.decompress(open(sys.argv[1],\"rb\").read()))' {in} {out}"),
                  input)
            << input.size();
    }
}

// The deflate stream is zlib's at the default level, window 15, memory level 9; Python's
// binding of the same zlib must produce the same bytes (its header names another OS).
TEST(DigitalStampsGzip, DeflateStreamUsesTheFixedParameters) {
    TSandbox sandbox;
    std::string input;
    for (int i = 0; input.size() < 300'000; ++i) input += "record " + std::to_string(i * 7919 % 100'003) + ";";
    const std::string python =
        "/usr/bin/python3 -c 'import sys,zlib; c=zlib.compressobj(-1, zlib.DEFLATED, 31, 9); "
        "d=open(sys.argv[1],\"rb\").read(); open(sys.argv[2],\"wb\").write(c.compress(d)+c.flush())' {in} {out}";
    const std::string reference = Filter(sandbox, input, python);
    const std::string member = GzipCompress(input);
    ASSERT_GT(reference.size(), 10u);
    EXPECT_TRUE(member.substr(10) == reference.substr(10));
}

// ---- concurrency ------------------------------------------------------------------

// Every routine may run on several threads at once: no shared work buffers.
TEST(DigitalStampsConcurrency, ParallelCallsGiveTheSingleThreadedResults) {
    struct TExpected {
        std::string data, crc, md5, sha512raw, des, aes, gzip;
    };
    std::vector<TExpected> expected;
    for (unsigned i = 0; i < 4; ++i) {
        TExpected e;
        e.data = RandomBytes(20'000 + i * 333, 100 + i);
        e.crc = StampCrc32(e.data);
        e.md5 = StampMd5(e.data);
        e.sha512raw = StampSha512Raw(e.data);
        e.des = EncryptStringTripleDes(e.data, "k" + std::to_string(i), THashAlgorithm::Sha1);
        e.aes = e.data;
        std::string init;
        CryptStreamAes(false, e.aes, AesKey, init);
        e.gzip = GzipCompress(e.data);
        expected.push_back(std::move(e));
    }
    std::vector<int> mismatches(expected.size(), 0);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < expected.size(); ++t) {
        threads.emplace_back([&, t] {
            const TExpected& e = expected[t];
            for (int round = 0; round < 25; ++round) {
                std::string aes = e.data, init;
                CryptStreamAes(false, aes, AesKey, init);
                TStamper stamper;
                stamper.Update(e.data.data(), e.data.size());
                const bool same = StampCrc32(e.data) == e.crc && StampMd5(e.data) == e.md5 &&
                                  StampSha512Raw(e.data) == e.sha512raw &&
                                  EncryptStringTripleDes(e.data, "k" + std::to_string(t), THashAlgorithm::Sha1) == e.des &&
                                  aes == e.aes && GzipCompress(e.data) == e.gzip &&
                                  stamper.Finish().sCrc32 == e.crc;
                if (!same) ++mismatches[t];
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (int m : mismatches) EXPECT_EQ(m, 0);
}
