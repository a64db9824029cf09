// Stamping a 64 MiB file the way the collector does (exclusive open, one read pass giving
// CRC-32, MD5 and SHA-1), beside `md5sum` and `sha1sum` of the same file run one after
// the other. The file is read once before, so every run finds it in the page cache.
// Prints the best of several runs of each and the ratio ours / (md5sum + sha1sum).
//
// Usage: collect_stamps [folder, default the current one] [size in MiB]
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "collect/OFileCollector.h"
#include "foundation/VeltDigitalStamps.h"
#include "foundation/platform/ExclusiveFile.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kRuns = 5;

void WriteRandomFile(const fs::path& path, std::size_t bytes) {
    std::mt19937_64 random(831);
    std::vector<std::uint64_t> block(1 << 17);
    std::ofstream out(path, std::ios::binary);
    for (std::size_t written = 0; written < bytes; written += block.size() * 8) {
        for (auto& word : block) word = random();
        out.write(reinterpret_cast<const char*>(block.data()),
                  static_cast<std::streamsize>(std::min(bytes - written, block.size() * 8)));
    }
}

TFileStamps StampLikeTheCollector(const std::string& path) {
    platform::TExclusiveFile file;
    if (file.Open(path) != platform::TExclusiveOpen::Opened) {
        std::fprintf(stderr, "cannot open %s exclusively\n", path.c_str());
        std::exit(1);
    }
    TStamper stamper;
    std::vector<char> buffer(256 * 1024);
    TFileStamps stamps;
    TFileCollector::StampFile(file, file.Size(), stamper, buffer, stamps);
    return stamps;
}

}  // namespace

int main(int argc, char** argv) {
    const fs::path folder = argc > 1 ? fs::path(argv[1]) : fs::current_path();
    const std::size_t mebibytes = argc > 2 ? static_cast<std::size_t>(std::atoi(argv[2])) : 64;
    const fs::path path = folder / ("zelko-bench-stamps-" + std::to_string(getpid()) + ".dat");
    WriteRandomFile(path, mebibytes << 20);

    TFileStamps stamps = StampLikeTheCollector(path.string());  // also warms the page cache
    const double ours = bench::BestSecondsOf(kRuns, [&] { stamps = StampLikeTheCollector(path.string()); });
    const double md5 = bench::BestSecondsOf(kRuns, [&] { bench::RunQuietly({"md5sum", path.string()}); });
    const double sha1 = bench::BestSecondsOf(kRuns, [&] { bench::RunQuietly({"sha1sum", path.string()}); });

    std::printf("stamps of a %zu MiB file (crc32 %s, md5 %s, sha1 %s)\n", mebibytes, stamps.sCrc32.c_str(),
                stamps.sMd5.c_str(), stamps.sSha1.c_str());
    std::printf("collector, crc32 + md5 + sha1 in one pass: %.1f ms (best of %d)\n", ours * 1e3, kRuns);
    std::printf("md5sum:  %.1f ms, sha1sum: %.1f ms, together %.1f ms (best of %d each)\n", md5 * 1e3, sha1 * 1e3,
                (md5 + sha1) * 1e3, kRuns);
    std::printf("ratio collector / (md5sum + sha1sum): %.2f (goal: at most 1.2)\n", ours / (md5 + sha1));
    std::error_code ec;
    fs::remove(path, ec);
    return 0;
}
