// One collector pass over a data directory of 100,000 files none of which the rule's mask
// admits, beside `find DIR -maxdepth 1 -type f` over the same directory. Prints the best
// of several runs of each and the ratio pass / find.
//
// Usage: collect_pass [parent folder, default the current one] [number of files]
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "collect/OFileCollector.h"
#include "collect/OFileQueue.h"
#include "config/OCRSTypes.h"
#include "config/OConfigurationData.h"
#include "foundation/VeltEnvironment.h"
#include "foundation/platform/NamedMutex.h"
#include "log/VeltStraightLogData.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kRuns = 7;

void CreateFiles(const fs::path& directory, int count) {
    fs::create_directories(directory);
    for (int i = 0; i < count; ++i) {
        const std::string path = (directory / ("PNR" + std::to_string(1000000 + i) + ".txt")).string();
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) ::close(fd);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const fs::path parent = argc > 1 ? fs::path(argv[1]) : fs::current_path();
    const int count = argc > 2 ? std::atoi(argv[2]) : 100000;
    const fs::path root = parent / ("zelko-bench-pass-" + std::to_string(getpid()));
    const fs::path data = root / "data";
    // The queue cleans the program's temporary folders: keep it inside the bench folder.
    setenv("XDG_DATA_HOME", (root / "xdg-data").c_str(), 1);
    setenv("XDG_CACHE_HOME", (root / "xdg-cache").c_str(), 1);
    CreateFiles(data, count);

    const std::string mutexName = "zelkobench_pass_" + std::to_string(getpid());
    double passSeconds = 0;
    {
        TEnvironment environment{TEnvironmentOptions{}};
        TConfigurationData configuration{environment};
        auto& rules = configuration._rData.rWatchingRules;
        rules.slCRSTypes = {"Amadeus"};
        rules.slDataDirs = {data.string()};
        rules.slBakDirs = {(root / "backup").string()};
        rules.slDataFileMask = {"^[^\\.][a-z0-9_\\x20\\-]*\\.dat"};
        rules.biDataFileMaskIncl.SetBit(0, true);
        asCRSTypeEncodings[1] = "iso-8859-1";
        TLogData logData(10240, 1024, 128, true);
        TFileQueue queue(environment, mutexName);
        TFileCollector collector(&configuration, &logData, &queue);
        passSeconds = bench::BestSecondsOf(kRuns, [&] { collector.CollectFiles(); });
        if (queue.FileCount() != 0) std::fprintf(stderr, "unexpected: %d files queued\n", queue.FileCount());
    }
    platform::TNamedMutex::Remove(mutexName);
    const double findSeconds = bench::BestSecondsOf(kRuns, [&] { bench::RunQuietly({"find", data.string(), "-maxdepth", "1", "-type", "f"}); });

    std::printf("collector pass over %d non-matching files: %.1f ms (best of %d)\n", count, passSeconds * 1e3, kRuns);
    std::printf("find -maxdepth 1 -type f:                   %.1f ms (best of %d)\n", findSeconds * 1e3, kRuns);
    std::printf("ratio pass / find: %.2f (goal: at most 2)\n", passSeconds / findSeconds);
    std::error_code ec;
    fs::remove_all(root, ec);
    return 0;
}
