#include "config/OConfigurationFile.h"

#include <openssl/rand.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "foundation/VeltDigitalStamps.h"

namespace {

constexpr std::size_t kHeaderLength = 19;
constexpr std::size_t kDigestLength = 64;

// Key text of the marker that ends an earlier-format file.
const std::string kEarlierMarkerKey = "VORPALCINDERSNuvola QMT Harbour71";

// Every step-th character of text, starting at the 0-based position first.
std::string EveryNth(const std::string& text, std::size_t first, std::size_t step) {
    std::string picked;
    for (std::size_t i = first; i < text.size(); i += step) picked += text[i];
    return picked;
}

std::string RandomBytes(std::size_t count) {
    std::string bytes(count, '\0');
    if (count > 0 && RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), static_cast<int>(count)) != 1) {
        throw EConfigurationFile("TConfigurationFile error: no random data available");
    }
    return bytes;
}

// Uniform in lowest..highest (a span of at most 256), by rejection of the biased tail.
int RandomBetween(int lowest, int highest) {
    const unsigned span = static_cast<unsigned>(highest - lowest + 1);
    const unsigned limit = 256 - 256 % span;
    for (;;) {
        const unsigned value = static_cast<unsigned char>(RandomBytes(1)[0]);
        if (value < limit) return lowest + static_cast<int>(value % span);
    }
}

std::string Int32LittleEndian(std::int32_t value) {
    const auto bits = static_cast<std::uint32_t>(value);
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((bits >> (8 * i)) & 0xFF);
    return bytes;
}

// Reads the payload front to back; every read checks that the bytes are there.
class TPayloadReader {
public:
    explicit TPayloadReader(const std::string& payload) : _payload(payload) {}

    bool Byte(unsigned& value) {
        if (Left() < 1) return false;
        value = static_cast<unsigned char>(_payload[_position++]);
        return true;
    }
    bool Int32(std::int64_t& value) {
        if (Left() < 4) return false;
        std::uint32_t bits = 0;
        for (int i = 0; i < 4; ++i) bits |= std::uint32_t(static_cast<unsigned char>(_payload[_position + i])) << (8 * i);
        _position += 4;
        value = static_cast<std::int32_t>(bits);
        return true;
    }
    // Takes item k (1-based) of count items of size bytes each and moves past all of them.
    bool Item(std::uint64_t count, std::uint64_t size, std::uint64_t k, std::string& item) {
        if (k < 1 || k > count || count * size > Left()) return false;
        item = _payload.substr(_position + (k - 1) * size, size);
        _position += count * size;
        return true;
    }
    std::uint64_t Left() const { return _payload.size() - _position; }

private:
    const std::string& _payload;
    std::size_t _position = 0;
};

}  // namespace

TConfigurationFile::TConfigurationFile(const std::string& AFileName, const std::string& programBaseName,
                                       const std::string& machineKeyText)
    : _saMarker03(EncryptStringTripleDes(programBaseName + ".cfg", kEarlierMarkerKey, THashAlgorithm::Sha1)),
      FFileName(AFileName),
      _sMachineKeyText(machineKeyText) {}

void TConfigurationFile::Read() {
    if (ReadEarlierFormat()) {
        Write(false);
        return;
    }
    FXmlStream = OpenContainer(LoadFile());
}

void TConfigurationFile::Write(bool lWithStreamClean) {
    const std::string document = FXmlStream;
    if (lWithStreamClean) FXmlStream.clear();
    StoreFile(SealContainer(document));
}

bool TConfigurationFile::ReadEarlierFormat() {
    try {
        FXmlStream.clear();
        FXmlStream = LoadFile();
        const std::size_t m = _saMarker03.size();
        if (FXmlStream.size() < m || FXmlStream.compare(FXmlStream.size() - m, m, _saMarker03) != 0) return false;
        FXmlStream = DecryptStringTripleDes(FXmlStream.substr(0, FXmlStream.size() - m), MakeEarlierKey(),
                                           THashAlgorithm::Sha1);
        return true;
    } catch (...) {
        // Whatever went wrong, this is not an earlier-format file we can use.
        return false;
    }
}

std::string TConfigurationFile::MakeEarlierKey() {
    const std::string seed(kEarlierKeySeed.begin(), kEarlierKeySeed.end());
    const std::string first = StampSha512(EveryNth(seed, 3, 3));
    const std::string second = StampSha512(EveryNth(first, 1, 2));
    return EveryNth(second, 0, 2);
}

std::string TConfigurationFile::LoadFile() const {
    std::ifstream file(FFileName, std::ios::binary);
    if (!file) Fail("no file");
    std::ostringstream content;
    content << file.rdbuf();
    if (file.bad()) Fail("no file");
    return content.str();
}

std::string TConfigurationFile::OpenContainer(const std::string& content) const {
    if (content.size() < kHeaderLength || content.compare(0, kHeaderLength, kHeader) != 0) Fail("bad file");
    std::string body;
    if (!Base64DecodeStrict(content.substr(kHeaderLength), body) || body.size() < kDigestLength) Fail("bad file");
    const std::string payload = body.substr(kDigestLength);
    if (StampSha512Raw(payload) != body.substr(0, kDigestLength)) Fail("bad file");

    // The digest only proves that the file is intact, not that its sizes make sense.
    TPayloadReader reader(payload);
    std::int64_t documentLength = 0;
    unsigned blockCount = 0, blockIndex = 0, vectorLength = 0, vectorCount = 0, vectorIndex = 0;
    std::string block, vector;
    const bool fits = reader.Int32(documentLength) && documentLength >= 0 && reader.Byte(blockCount) &&
                      reader.Byte(blockIndex) && reader.Item(blockCount, documentLength, blockIndex, block) &&
                      reader.Byte(vectorLength) && vectorLength >= 16 && reader.Byte(vectorCount) &&
                      reader.Byte(vectorIndex) && reader.Item(vectorCount, vectorLength, vectorIndex, vector) &&
                      reader.Left() == 0;
    if (!fits) Fail("bad file");
    CryptStreamAes(true, block, _sMachineKeyText, vector);
    return block;
}

std::string TConfigurationFile::SealContainer(const std::string& document) const {
    const int blockCount = RandomBetween(4, 8);
    const int blockIndex = RandomBetween(1, blockCount);
    const int vectorLength = RandomBetween(16, 32);
    const int vectorCount = RandomBetween(10, 20);
    const int vectorIndex = RandomBetween(1, vectorCount);
    const std::string initText = RandomBytes(vectorLength);

    std::string payload = Int32LittleEndian(static_cast<std::int32_t>(document.size()));
    payload += static_cast<char>(blockCount);
    payload += static_cast<char>(blockIndex);
    for (int j = 1; j <= blockCount; ++j) {
        if (j == blockIndex) {
            std::string block = document;
            std::string vector = initText;
            CryptStreamAes(false, block, _sMachineKeyText, vector);
            payload += block;
        } else {
            payload += RandomBytes(document.size());
        }
    }
    payload += static_cast<char>(vectorLength);
    payload += static_cast<char>(vectorCount);
    payload += static_cast<char>(vectorIndex);
    for (int j = 1; j <= vectorCount; ++j) payload += j == vectorIndex ? initText : RandomBytes(vectorLength);
    return kHeader + Base64Encode(StampSha512Raw(payload) + payload);
}

void TConfigurationFile::StoreFile(const std::string& content) const {
    // A new file beside the old one, then renamed over it: a failed write never leaves
    // the machine with half a configuration.
    const std::string fresh = FFileName + ".new";
    std::error_code ec;
    {
        std::ofstream file(fresh, std::ios::binary | std::ios::trunc);
        if (file) file.write(content.data(), static_cast<std::streamsize>(content.size()));
        file.close();
        if (!file) {
            std::filesystem::remove(fresh, ec);
            Fail("cannot create configuration file");
        }
    }
    std::filesystem::rename(fresh, FFileName, ec);
    if (ec) {
        std::filesystem::remove(fresh, ec);
        Fail("cannot create configuration file");
    }
}

void TConfigurationFile::Fail(const std::string& what) const {
    throw EConfigurationFile("TConfigurationFile " + what + " (" + FFileName + ")");
}
