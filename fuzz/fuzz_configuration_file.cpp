// libFuzzer target: the configuration file container reader. The first input byte picks
// what the rest is: a file as found on disk, a payload sealed with a correct digest (so
// that the size fields behind the digest are reached), or an earlier-format body.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "config/OConfigurationFile.h"
#include "foundation/VeltDigitalStamps.h"

namespace {

const std::string kMachineKey = "0123456789abcdef0123456789abcdef";
const std::string kBaseName = "zelkotransfer";

// Made once and removed at exit; never destroyed before the exit handler has run.
const std::string& WorkDirectory() {
    static const std::string* const directory = [] {
        // Memory-backed when the machine has it: every run writes the file twice.
        std::error_code ec;
        const std::filesystem::path base =
            std::filesystem::is_directory("/dev/shm", ec) ? "/dev/shm" : std::filesystem::temp_directory_path();
        std::string pattern = (base / "zelko-fuzz-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) std::abort();
        return new std::string(pattern);
    }();
    static const bool cleanup = std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(*directory, ec);
    }) == 0;
    (void)cleanup;
    return *directory;
}

std::string FileContent(std::uint8_t mode, const std::string& rest) {
    switch (mode % 3) {
        case 0: return rest;
        case 1: return TConfigurationFile::kHeader + Base64Encode(StampSha512Raw(rest) + rest);
        default: {
            static const std::string marker =
                EncryptStringTripleDes(kBaseName + ".cfg", "VORPALCINDERSNuvola QMT Harbour71", THashAlgorithm::Sha1);
            return rest + marker;
        }
    }
}

std::string ReadBack(const std::string& fileName) {
    TConfigurationFile file(fileName, kBaseName, kMachineKey);
    file.Read();
    return file.XMLStream();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string fileName = WorkDirectory() + "/" + kBaseName + ".cfg";
    {
        std::ofstream out(fileName, std::ios::binary | std::ios::trunc);
        out << FileContent(data[0], std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
    }
    std::string document;
    try {
        document = ReadBack(fileName);
    } catch (const EConfigurationFile&) {
        return 0;
    }
    // Whatever was read must survive a write and a second read unchanged.
    TConfigurationFile file(fileName, kBaseName, kMachineKey);
    file.XMLStream() = document;
    file.Write(true);
    if (ReadBack(fileName) != document) std::abort();
    return 0;
}
