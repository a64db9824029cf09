#pragma once
// Digital stamps (CRC-32, MD5, SHA-1, SHA-512 as text), the Triple DES and AES ciphers
// of the configuration file, and the Base64 and gzip forms the whole program uses.
// Every argument and result is a byte string. All routines are re-entrant.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "foundation/VeltExceptions.h"

// Raised when the crypto library fails underneath us (not for bad arguments, which
// raise ERangeError).
VELT_DECLARE_EXCEPTION(EDigitalStamps);

// The reflected CRC-32 step without pre- or post-complement: start with 0xFFFFFFFF and
// complement the end value for the standard checksum. A count of 0 raises ERangeError.
std::uint32_t UpdateCrc32(std::uint32_t value, const void* buffer, std::size_t count);

std::string StampCrc32(const std::string& data);    // 8 upper-case hex digits; empty data raises ERangeError
std::string StampMd5(const std::string& data);      // 32 lower-case hex digits
std::string StampMd5Raw(const std::string& data);   // the 16 digest bytes
std::string StampSha1(const std::string& data);     // 40 lower-case hex digits
std::string StampSha512(const std::string& data);   // 128 lower-case hex digits
// The 64 SHA-512 digest bytes as the configuration file's integrity field: bytes
// 0x80..0x9F become '?', then 'A'..'Z' become lower case.
std::string StampSha512Raw(const std::string& data);

enum class THashAlgorithm { Md5, Sha1, Sha512 };

// DES-EDE3 in CFB-8 under a key derived from the hash of keyText; the result is Base64.
std::string EncryptStringTripleDes(const std::string& data, const std::string& keyText, THashAlgorithm hash);
// Inverse of EncryptStringTripleDes; characters outside the Base64 alphabet are skipped.
std::string DecryptStringTripleDes(const std::string& base64, const std::string& keyText, THashAlgorithm hash);

// AES-256 in CFB-8 over the whole stream, in place. keyText must be exactly 32 bytes.
// An empty initText is first replaced by StampMd5Raw(keyText); otherwise it needs at
// least 16 bytes, of which the first 16 are the IV. Bad lengths raise ERangeError.
void CryptStreamAes(bool decrypt, std::string& stream, const std::string& keyText, std::string& initText);

std::string Base64Encode(const std::string& data);   // RFC 4648, '=' padding, no line breaks
std::string Base64Decode(const std::string& text);   // skips characters outside the alphabet
// False on any character outside the alphabet (whitespace aside), a length that is not
// a multiple of 4, or misplaced padding; data is then left empty.
bool Base64DecodeStrict(const std::string& text, std::string& data);

// One gzip member with the header 1F 8B 08 00 00 00 00 00 00 00.
std::string GzipCompress(const std::string& data);

struct TFileStamps {
    std::string sCrc32, sMd5, sSha1;
};

// CRC-32, MD5 and SHA-1 of data fed in pieces, for files too large to hold in memory.
// Finish returns the stamps and starts over, so one stamper may serve many files.
class TStamper {
public:
    TStamper();
    ~TStamper();
    TStamper(const TStamper&) = delete;
    TStamper& operator=(const TStamper&) = delete;

    void Update(const void* data, std::size_t count);
    TFileStamps Finish();

private:
    struct TDigests;
    void Restart();

    std::uint32_t _iCrc32;
    std::unique_ptr<TDigests> _ocDigests;
};
