#include "foundation/VeltDigitalStamps.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <climits>

namespace {

// ---- helpers ----------------------------------------------------------------------

std::string HexLower(const unsigned char* bytes, std::size_t count) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text(count * 2, '0');
    for (std::size_t i = 0; i < count; ++i) {
        text[2 * i] = digits[bytes[i] >> 4];
        text[2 * i + 1] = digits[bytes[i] & 0x0F];
    }
    return text;
}

std::string HexUpper8(std::uint32_t value) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text(8, '0');
    for (int i = 7; i >= 0; --i, value >>= 4) text[static_cast<std::size_t>(i)] = digits[value & 0x0F];
    return text;
}

std::string HexLower(const std::string& bytes) {
    return HexLower(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

// Wipes a buffer that held key material when it goes out of scope, also on exceptions.
template <std::size_t N>
struct TSecretBytes {
    std::array<unsigned char, N> a{};
    ~TSecretBytes() { OPENSSL_cleanse(a.data(), a.size()); }
};

struct TSecretString {
    std::string s;
    ~TSecretString() {
        if (!s.empty()) OPENSSL_cleanse(s.data(), s.size());
    }
};

// ---- digests ----------------------------------------------------------------------

// Fetched once per process and never freed: the objects are immutable and shared by
// all threads, and freeing them at exit could race OpenSSL's own cleanup.
const EVP_MD* FetchedDigest(const char* name) {
    EVP_MD* md = EVP_MD_fetch(nullptr, name, nullptr);
    if (md == nullptr) throw EDigitalStamps(std::string("digest not available: ") + name);
    return md;
}

const EVP_MD* DigestOf(THashAlgorithm hash) {
    static const EVP_MD* const md5 = FetchedDigest("MD5");
    static const EVP_MD* const sha1 = FetchedDigest("SHA1");
    static const EVP_MD* const sha512 = FetchedDigest("SHA512");
    switch (hash) {
        case THashAlgorithm::Md5: return md5;
        case THashAlgorithm::Sha1: return sha1;
        case THashAlgorithm::Sha512: return sha512;
    }
    throw ERangeError("unknown hash algorithm");
}

std::string RawDigest(THashAlgorithm hash, const std::string& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), digest, &length, DigestOf(hash), nullptr) != 1)
        throw EDigitalStamps("digest failed");
    return std::string(reinterpret_cast<const char*>(digest), length);
}

struct TMdCtxFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using TMdCtx = std::unique_ptr<EVP_MD_CTX, TMdCtxFree>;

TMdCtx NewDigestContext(THashAlgorithm hash) {
    TMdCtx ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex2(ctx.get(), DigestOf(hash), nullptr) != 1)
        throw EDigitalStamps("digest context cannot be set up");
    return ctx;
}

std::string FinishDigestHex(EVP_MD_CTX* ctx) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(ctx, digest, &length) != 1) throw EDigitalStamps("digest failed");
    return HexLower(digest, length);
}

// ---- ciphers ----------------------------------------------------------------------

struct TCipherCtxFree {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using TCipherCtx = std::unique_ptr<EVP_CIPHER_CTX, TCipherCtxFree>;

// Runs a stream-like cipher (no padding) over the whole input. The length never changes.
std::string RunCipher(const EVP_CIPHER* cipher, const unsigned char* key, const unsigned char* iv,
                      bool encrypt, const std::string& input) {
    TCipherCtx ctx(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_CipherInit_ex2(ctx.get(), cipher, key, iv, encrypt ? 1 : 0, nullptr) != 1)
        throw EDigitalStamps("cipher cannot be set up");
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);

    std::string output(input.size() + EVP_MAX_BLOCK_LENGTH, '\0');
    auto* out = reinterpret_cast<unsigned char*>(output.data());
    const auto* in = reinterpret_cast<const unsigned char*>(input.data());
    std::size_t done = 0, written = 0;
    constexpr std::size_t maxPiece = INT_MAX / 2;  // the update call counts in int
    while (done < input.size()) {
        const int piece = static_cast<int>(std::min(maxPiece, input.size() - done));
        int length = 0;
        if (EVP_CipherUpdate(ctx.get(), out + written, &length, in + done, piece) != 1)
            throw EDigitalStamps("cipher failed");
        done += static_cast<std::size_t>(piece);
        written += static_cast<std::size_t>(length);
    }
    int length = 0;
    if (EVP_CipherFinal_ex(ctx.get(), out + written, &length) != 1) throw EDigitalStamps("cipher failed");
    written += static_cast<std::size_t>(length);
    output.resize(written);
    return output;
}

constexpr std::size_t TripleDesKeySize = 24;
constexpr std::size_t TripleDesBlockSize = 8;

// The three DES keys are the leading 24 bytes of the key text's digest, zero-filled
// when the digest is shorter (SHA-1 leaves K3 ending in four zero bytes).
std::string TripleDesCrypt(bool encrypt, const std::string& input, const std::string& keyText,
                           THashAlgorithm hash) {
    TSecretString digest{RawDigest(hash, keyText)};
    TSecretBytes<TripleDesKeySize> key;
    std::copy_n(digest.s.begin(), std::min(digest.s.size(), key.a.size()), key.a.begin());

    // The IV is the block operation applied once to eight zero bytes.
    TSecretBytes<TripleDesBlockSize> iv;
    TSecretString ivText{RunCipher(EVP_des_ede3_ecb(), key.a.data(), nullptr, true,
                                   std::string(TripleDesBlockSize, '\0'))};
    std::copy_n(ivText.s.begin(), iv.a.size(), iv.a.begin());

    return RunCipher(EVP_des_ede3_cfb8(), key.a.data(), iv.a.data(), encrypt, input);
}

// ---- Base64 -----------------------------------------------------------------------

constexpr signed char NotInAlphabet = -1;

constexpr std::array<signed char, 256> MakeBase64Values() {
    std::array<signed char, 256> values{};
    for (auto& v : values) v = NotInAlphabet;
    constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i) values[static_cast<unsigned char>(alphabet[i])] = static_cast<signed char>(i);
    return values;
}
constexpr std::array<signed char, 256> Base64Values = MakeBase64Values();

// Decodes a sequence of 6-bit values; a final group of 2 or 3 values gives 1 or 2 bytes,
// a lone final value carries no whole byte and is dropped.
std::string DecodeSextets(const std::string& sextets) {
    std::string data;
    data.reserve(sextets.size() / 4 * 3 + 2);
    std::uint32_t bits = 0;
    int bitCount = 0;
    for (char s : sextets) {
        bits = (bits << 6) | static_cast<unsigned char>(s);
        bitCount += 6;
        if (bitCount >= 8) {
            bitCount -= 8;
            data.push_back(static_cast<char>((bits >> bitCount) & 0xFF));
        }
    }
    return data;
}

bool IsBase64Whitespace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// ---- gzip -------------------------------------------------------------------------

constexpr int GzipWindowBits = 15 + 16;  // +16: gzip wrapper instead of zlib's
constexpr int GzipMemoryLevel = 9;

}  // namespace

// ---- CRC-32 -----------------------------------------------------------------------

std::uint32_t UpdateCrc32(std::uint32_t value, const void* buffer, std::size_t count) {
    if (count == 0) throw ERangeError("UpdateCrc32: count must be at least 1");
    // zlib complements on the way in and out; undo both to get the bare running value.
    return ~static_cast<std::uint32_t>(crc32_z(~value & 0xFFFFFFFFu, static_cast<const Bytef*>(buffer), count));
}

std::string StampCrc32(const std::string& data) {
    return HexUpper8(~UpdateCrc32(0xFFFFFFFFu, data.data(), data.size()));
}

// ---- digests ----------------------------------------------------------------------

std::string StampMd5(const std::string& data) { return HexLower(RawDigest(THashAlgorithm::Md5, data)); }
std::string StampMd5Raw(const std::string& data) { return RawDigest(THashAlgorithm::Md5, data); }
std::string StampSha1(const std::string& data) { return HexLower(RawDigest(THashAlgorithm::Sha1, data)); }
std::string StampSha512(const std::string& data) { return HexLower(RawDigest(THashAlgorithm::Sha512, data)); }

std::string StampSha512Raw(const std::string& data) {
    std::string field = RawDigest(THashAlgorithm::Sha512, data);
    for (char& c : field) {
        const auto b = static_cast<unsigned char>(c);
        // The single-byte code page this field was defined in has no characters for
        // U+0080..U+009F; they were written as its replacement character.
        if (b >= 0x80 && b < 0xA0) c = '?';
        else if (b >= 'A' && b <= 'Z') c = static_cast<char>(b - 'A' + 'a');
    }
    return field;
}

// ---- ciphers ----------------------------------------------------------------------

std::string EncryptStringTripleDes(const std::string& data, const std::string& keyText, THashAlgorithm hash) {
    return Base64Encode(TripleDesCrypt(true, data, keyText, hash));
}

std::string DecryptStringTripleDes(const std::string& base64, const std::string& keyText, THashAlgorithm hash) {
    return TripleDesCrypt(false, Base64Decode(base64), keyText, hash);
}

void CryptStreamAes(bool decrypt, std::string& stream, const std::string& keyText, std::string& initText) {
    constexpr std::size_t keySize = 32, ivSize = 16;
    if (keyText.size() != keySize)
        throw ERangeError("CryptStreamAes: the key text must be exactly 32 bytes long");
    if (initText.empty()) initText = StampMd5Raw(keyText);
    // Fewer than 16 bytes would leave part of the IV undefined.
    if (initText.size() < ivSize)
        throw ERangeError("CryptStreamAes: the initialisation text must be empty or at least 16 bytes long");

    TSecretBytes<keySize> key;
    std::copy_n(keyText.begin(), keySize, key.a.begin());
    const auto* iv = reinterpret_cast<const unsigned char*>(initText.data());
    stream = RunCipher(EVP_aes_256_cfb8(), key.a.data(), iv, !decrypt, stream);
}

// ---- Base64 -----------------------------------------------------------------------

std::string Base64Encode(const std::string& data) {
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    text.reserve((data.size() + 2) / 3 * 4);
    const auto* in = reinterpret_cast<const unsigned char*>(data.data());
    std::size_t i = 0;
    for (; i + 3 <= data.size(); i += 3) {
        const std::uint32_t group = (in[i] << 16) | (in[i + 1] << 8) | in[i + 2];
        text += alphabet[(group >> 18) & 63];
        text += alphabet[(group >> 12) & 63];
        text += alphabet[(group >> 6) & 63];
        text += alphabet[group & 63];
    }
    const std::size_t rest = data.size() - i;
    if (rest > 0) {
        const std::uint32_t group = (in[i] << 16) | (rest == 2 ? in[i + 1] << 8 : 0);
        text += alphabet[(group >> 18) & 63];
        text += alphabet[(group >> 12) & 63];
        text += rest == 2 ? alphabet[(group >> 6) & 63] : '=';
        text += '=';
    }
    return text;
}

std::string Base64Decode(const std::string& text) {
    std::string sextets;
    sextets.reserve(text.size());
    for (char c : text) {
        const signed char v = Base64Values[static_cast<unsigned char>(c)];
        if (v != NotInAlphabet) sextets.push_back(static_cast<char>(v));
    }
    return DecodeSextets(sextets);
}

bool Base64DecodeStrict(const std::string& text, std::string& data) {
    data.clear();
    std::string sextets;
    sextets.reserve(text.size());
    std::size_t padding = 0, significant = 0;
    for (char c : text) {
        if (IsBase64Whitespace(c)) continue;
        ++significant;
        if (c == '=') {
            ++padding;
            continue;
        }
        const signed char v = Base64Values[static_cast<unsigned char>(c)];
        if (v == NotInAlphabet || padding > 0) return false;  // foreign, or data after padding
        sextets.push_back(static_cast<char>(v));
    }
    if (significant % 4 != 0 || padding > 2) return false;
    data = DecodeSextets(sextets);
    return true;
}

// ---- gzip -------------------------------------------------------------------------

std::string GzipCompress(const std::string& data) {
    z_stream stream{};
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, GzipWindowBits, GzipMemoryLevel,
                     Z_DEFAULT_STRATEGY) != Z_OK)
        throw EDigitalStamps("gzip: deflate cannot be set up");
    // Modification time 0, no name, operating system 0: the same bytes on every machine.
    gz_header header{};
    header.os = 0;
    if (deflateSetHeader(&stream, &header) != Z_OK) {
        deflateEnd(&stream);
        throw EDigitalStamps("gzip: header cannot be set");
    }

    std::string output(deflateBound(&stream, static_cast<uLong>(data.size())), '\0');
    auto* in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    std::size_t inLeft = data.size();
    int result = Z_OK;
    // zlib counts in uInt, so inputs beyond 4 GiB go in pieces.
    while (result != Z_STREAM_END) {
        if (stream.avail_in == 0 && inLeft > 0) {
            const auto piece = static_cast<uInt>(std::min<std::size_t>(inLeft, UINT_MAX));
            stream.next_in = in;
            stream.avail_in = piece;
            in += piece;
            inLeft -= piece;
        }
        if (output.size() - stream.total_out < 64) output.resize(output.size() * 2 + 64);
        stream.next_out = reinterpret_cast<Bytef*>(output.data()) + stream.total_out;
        stream.avail_out = static_cast<uInt>(std::min<std::size_t>(output.size() - stream.total_out, UINT_MAX));
        result = deflate(&stream, inLeft == 0 ? Z_FINISH : Z_NO_FLUSH);
        if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR) {
            deflateEnd(&stream);
            throw EDigitalStamps("gzip: deflate failed");
        }
    }
    output.resize(stream.total_out);
    deflateEnd(&stream);
    return output;
}

// ---- TStamper ---------------------------------------------------------------------

struct TStamper::TDigests {
    TMdCtx md5, sha1;
};

TStamper::TStamper() : _iCrc32(0xFFFFFFFFu), _ocDigests(std::make_unique<TDigests>()) { Restart(); }

TStamper::~TStamper() = default;

void TStamper::Restart() {
    _iCrc32 = 0xFFFFFFFFu;
    _ocDigests->md5 = NewDigestContext(THashAlgorithm::Md5);
    _ocDigests->sha1 = NewDigestContext(THashAlgorithm::Sha1);
}

void TStamper::Update(const void* data, std::size_t count) {
    if (count == 0) return;
    _iCrc32 = UpdateCrc32(_iCrc32, data, count);
    if (EVP_DigestUpdate(_ocDigests->md5.get(), data, count) != 1 ||
        EVP_DigestUpdate(_ocDigests->sha1.get(), data, count) != 1)
        throw EDigitalStamps("digest failed");
}

TFileStamps TStamper::Finish() {
    TFileStamps stamps{HexUpper8(~_iCrc32), FinishDigestHex(_ocDigests->md5.get()),
                       FinishDigestHex(_ocDigests->sha1.get())};
    Restart();
    return stamps;
}
