// Log throughput: 4 threads write 100-byte lines through the log data to the disk driver
// via the log writer, beside a plain write(2) loop putting the same bytes into the same
// folder. Prints lines/s, bytes/s and the ratio of the two byte rates, twice: once until
// the bytes are in the page cache, once until they are on the disk (a flush of the file
// system, timed as part of the run).
//
// Usage: log_throughput [folder] [lines per thread]
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "log/VeltStraightLogData.h"
#include "log/VeltStraightLogWriter.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kThreads = 4;
constexpr std::size_t kLineLength = 100;
constexpr int kRuns = 5;
constexpr std::size_t kPlainBlock = 65536;
constexpr std::size_t kFileLineLength = 13 + kLineLength + 2;  // number field, line, CR LF

struct TResult {
    double dSeconds = 0;
    std::uint64_t iLines = 0;
    std::uint64_t iBytes = 0;
    std::uint64_t iLost = 0;
};

std::uint64_t FolderBytes(const fs::path& folder) {
    std::uint64_t total = 0;
    for (const auto& entry : fs::directory_iterator(folder)) total += entry.file_size();
    return total;
}

// One flush of the folder's file system for both contenders: fsync per split file would
// charge the log writer a journal commit for each of its hundred-odd files.
void SyncFolder(const fs::path& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) ::syncfs(fd);
    if (fd >= 0) ::close(fd);
}

// The system's log data and writer, split policy at 1 MiB as the program runs it.
TResult RunLogWriter(const fs::path& folder, int linesPerThread, bool toDisk) {
    TLogData data(10240, 1024, 128, true);
    TLogWriter writer(&data);
    writer.EnableDriver(writer.AddDriverDiskFile((folder / "bench.log").string(), -1));
    writer.Start();

    std::atomic<std::uint64_t> lost{0};
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::string line(kLineLength, static_cast<char>('a' + t));
            for (int i = 0; i < linesPerThread; ++i) {
                // "t:nnnnnnnnn " in front, so every line differs, without formatting costs.
                line[0] = static_cast<char>('0' + t);
                line[1] = ':';
                for (int d = 10, v = i; d >= 2; --d, v /= 10) line[d] = static_cast<char>('0' + v % 10);
                if (!data.LineWrite(line)) ++lost;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    writer.Stop();  // the final drain: everything written is in the files when it returns
    if (toDisk) SyncFolder(folder);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

    TResult result;
    result.dSeconds = seconds;
    result.iLost = lost;
    result.iLines = static_cast<std::uint64_t>(kThreads) * linesPerThread - lost;
    result.iBytes = FolderBytes(folder);
    return result;
}

// The same number of bytes with plain writes of one block size into one file of the same folder.
TResult RunPlainWrite(const fs::path& folder, std::uint64_t bytes, std::size_t blockSize, bool toDisk) {
    const std::string block(blockSize, 'x');
    const auto start = Clock::now();
    const int fd = ::open((folder / "plain.dat").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::perror("open");
        std::exit(1);
    }
    for (std::uint64_t left = bytes; left > 0;) {
        const std::size_t size = std::min<std::uint64_t>(left, block.size());
        const ssize_t done = ::write(fd, block.data(), size);
        if (done <= 0) {
            std::perror("write");
            std::exit(1);
        }
        left -= done;
    }
    ::close(fd);
    if (toDisk) SyncFolder(folder);
    TResult result;
    result.dSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    result.iBytes = bytes;
    return result;
}

void Clear(const fs::path& folder) {
    for (const auto& entry : fs::directory_iterator(folder)) fs::remove(entry.path());
}

TResult Median(std::vector<TResult> runs) {
    std::sort(runs.begin(), runs.end(), [](const TResult& a, const TResult& b) { return a.dSeconds < b.dSeconds; });
    return runs[runs.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const fs::path base = argc > 1 ? fs::path(argv[1]) : fs::current_path();
    const int linesPerThread = argc > 2 ? std::atoi(argv[2]) : 250000;
    std::string pattern = (base / "log_throughput-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path folder = pattern;

    std::printf("log_throughput: %d threads x %d lines of %zu bytes, median of %d runs, in %s\n", kThreads,
                linesPerThread, kLineLength, kRuns, base.c_str());
    bool ok = true;
    for (const bool toDisk : {false, true}) {
        std::vector<TResult> logRuns, plainRuns, perLineRuns;
        for (int run = 0; run < kRuns; ++run) {
            logRuns.push_back(RunLogWriter(folder, linesPerThread, toDisk));
            const std::uint64_t bytes = logRuns.back().iBytes;
            Clear(folder);
            plainRuns.push_back(RunPlainWrite(folder, bytes, kPlainBlock, toDisk));
            Clear(folder);
            perLineRuns.push_back(RunPlainWrite(folder, bytes, kFileLineLength, toDisk));
            Clear(folder);
        }
        const TResult log = Median(logRuns);
        const TResult plain = Median(plainRuns);
        const TResult perLine = Median(perLineRuns);
        std::uint64_t lost = 0;
        for (const auto& run : logRuns) {
            lost += run.iLost;
            // Every stored line is a 13-byte number, the line and CR LF in the files.
            ok = ok && run.iBytes == run.iLines * kFileLineLength;
        }
        const double logRate = log.iBytes / log.dSeconds;
        const double plainRate = plain.iBytes / plain.dSeconds;
        const double perLineRate = perLine.iBytes / perLine.dSeconds;
        std::printf("%s:\n", toDisk ? "until on disk (file system flush timed)" : "until in the page cache");
        std::printf("  log writer : %10.0f lines/s %8.1f MB/s  (%llu bytes in %.3f s, %llu lines lost in %d runs)\n",
                    log.iLines / log.dSeconds, logRate / 1e6, static_cast<unsigned long long>(log.iBytes),
                    log.dSeconds, static_cast<unsigned long long>(lost), kRuns);
        std::printf("  plain write:                    %8.1f MB/s  (same bytes, 64 KiB writes, %.3f s)\n",
                    plainRate / 1e6, plain.dSeconds);
        std::printf("  ratio      : %.0f%% of the plain-write rate\n", 100.0 * logRate / plainRate);
        std::printf("  for scale  : one write per %zu-byte line: %.1f MB/s (%.3f s); the log writer reaches %.0f%% of it\n",
                    kFileLineLength, perLineRate / 1e6, perLine.dSeconds, 100.0 * logRate / perLineRate);
    }
    fs::remove_all(folder);
    if (!ok) std::printf("ERROR: the files do not hold exactly the lines reported stored\n");
    return ok ? 0 : 1;
}
