// One SendFiles of a 2 MiB batch (16 files of 128 KiB of text) to the local filekey
// server, beside curl posting a request body of the same size to the same server. Prints
// the best of several runs of each, the ratio, and where the engine's time goes.
// Goal: the session takes at most 2 times curl's time plus the gzip time of the bytes.
//
// Usage: send_batch [parent folder, default the current one]
#include <fcntl.h>
#include <signal.h>
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
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <pugixml.hpp>

#include "bench/BenchSupport.h"
#include "collect/OFileQueue.h"
#include "config/OCRSTypes.h"
#include "config/OConfigurationData.h"
#include "foundation/VeltDigitalStamps.h"
#include "foundation/VeltEnvironment.h"
#include "foundation/VeltXmlLatin1Writer.h"
#include "foundation/platform/FileCopy.h"
#include "foundation/platform/NamedMutex.h"
#include "log/VeltStraightLogData.h"
#include "transfer/OSendEngineHttp.h"

extern char** environ;
namespace fs = std::filesystem;

namespace {

constexpr int kRuns = 5;
constexpr int kFiles = 16;
constexpr std::size_t kFileSize = 128 * 1024;

// Booking-like text that compresses about as real data does, not to nothing.
std::string BookingText(int seed) {
    static const char* const kCities[] = {"MUC", "JFK", "FRA", "LHR", "CDG", "BCN", "VIE", "ZRH", "AMS", "IST"};
    std::string text;
    unsigned state = 2463534242u + static_cast<unsigned>(seed) * 7919u;
    while (text.size() < kFileSize) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        char line[128];
        std::snprintf(line, sizeof line, "PNR%06u %s-%s %02uMAR %04u PAX %u FARE %u.%02u EUR REF %08X\n",
                      state % 1000000, kCities[state % 10], kCities[(state >> 4) % 10], state % 28 + 1,
                      (state >> 8) % 2400, state % 9 + 1, (state >> 3) % 5000, state % 100, state);
        text += line;
    }
    text.resize(kFileSize);
    return text;
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// The filekey server of the tests, started from the source tree, until the object goes.
class TServer {
public:
    explicit TServer(const fs::path& directory) {
        const fs::path sourceDir = fs::path(__FILE__).parent_path().parent_path();
        const std::string script = (sourceDir / "tests/peers/filekey_server.py").string();
        fs::create_directories(directory);
        const std::string cert = (directory / "server.crt").string(), key = (directory / "server.key").string();
        bench::RunQuietly({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                           "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1", "-keyout", key, "-out", cert});
        int output[2];
        if (pipe(output) != 0) std::exit(1);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, output[0]);
        std::vector<std::string> words = {"/usr/bin/python3", script, "--port", "0", "--cert", cert, "--key", key,
                                          "--user", "agent:secret", "--record-dir", (directory / "record").string(),
                                          "--store-dir", (directory / "store").string()};
        std::vector<char*> argv;
        for (auto& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        if (posix_spawn(&_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) std::exit(1);
        posix_spawn_file_actions_destroy(&actions);
        close(output[1]);
        std::string line;
        char c = 0;
        while (read(output[0], &c, 1) == 1 && c != '\n') line += c;
        _output = output[0];
        if (line.rfind("PORT ", 0) != 0) {
            std::fprintf(stderr, "filekey server did not start\n");
            std::exit(1);
        }
        _port = line.substr(5);
    }
    ~TServer() {
        kill(_pid, SIGTERM);
        waitpid(_pid, nullptr, 0);
        close(_output);
    }
    const std::string& Port() const { return _port; }

private:
    pid_t _pid = -1;
    int _output = -1;
    std::string _port;
};

double Seconds(const std::function<void()>& work) { return bench::BestSecondsOf(kRuns, work); }

}  // namespace

int main(int argc, char** argv) {
    const fs::path parent = argc > 1 ? fs::path(argv[1]) : fs::current_path();
    const fs::path root = parent / ("zelko-bench-send-" + std::to_string(getpid()));
    const fs::path data = root / "data", bak = root / "backup";
    fs::create_directories(data);
    fs::create_directories(bak);
    setenv("XDG_DATA_HOME", (root / "xdg-data").c_str(), 1);
    setenv("XDG_CACHE_HOME", (root / "xdg-cache").c_str(), 1);

    std::vector<std::string> contents;
    for (int i = 0; i < kFiles; ++i) contents.push_back(BookingText(i));
    const std::string mutexName = "zelkobench_send_" + std::to_string(getpid());

    double sessionSeconds = 0, curlSeconds = 0, postSeconds = 0;
    std::string body;
    int failures = 0;
    {
        TServer server(root / "server");
        TEnvironmentOptions options;
        options.lCreateUserLocalTempPath = true;
        TEnvironment environment(options);
        TConfigurationData configuration(environment);
        auto& record = configuration._rData;
        record.rHttpTransfer.rBase = {"https://127.0.0.1", server.Port(), "agent", "secret", ""};
        record.rWatchingRules.slCRSTypes = {"Amadeus"};
        record.rWatchingRules.slDataDirs = {data.string()};
        record.rWatchingRules.slBakDirs = {bak.string()};
        asCRSTypeEncodings[1] = "iso-8859-1";
        TLogData logData(8192, 512, 256, false);
        TFileQueue queue(environment, mutexName);
        TSendEngineHTTP engine(environment, &configuration, &logData, &queue);

        // Files and queue entries are made afresh before each timed session.
        double best = 1e9;
        for (int run = 0; run < kRuns; ++run) {
            for (int i = 0; i < kFiles; ++i) {
                const std::string name = "PNR" + std::to_string(1000 + i) + ".txt";
                WriteFile((data / name).string(), contents[i]);
                queue.PutFile(1, 0, static_cast<std::int32_t>(kFileSize), name, StampCrc32(contents[i]),
                              StampMd5(contents[i]), StampSha1(contents[i]));
            }
            const auto start = std::chrono::steady_clock::now();
            const std::int64_t result = engine.SendFiles(kFiles);
            best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
            if (result != kFiles * TSendEngine::kProcessedFactor) ++failures;
            for (std::string line; logData.LineRead(line);) {
            }
            // The session takes a new time signature every second; keep the backup names apart.
            std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        }
        sessionSeconds = best;

        // The request body the engine posted, sent again by curl and by the client alone.
        for (const auto& entry : fs::directory_iterator(root / "server/record")) {
            if (entry.path().filename().string().ends_with("-upload.body")) body = ReadFile(entry.path().string());
        }
        const std::string bodyFile = (root / "body").string();
        WriteFile(bodyFile, body);
        const std::string url = "https://127.0.0.1:" + server.Port() + "/upload.php";
        curlSeconds = Seconds([&] {
            bench::RunQuietly({"curl", "-sk", "-o", "/dev/null", "--data-binary", "@" + bodyFile, url});
        });
        TSenderHTTP client(environment, &configuration, &logData);
        client.RequestStream() = body;
        postSeconds = Seconds([&] { client.SendHttpData(false, url, "", {}); });
    }
    platform::TNamedMutex::Remove(mutexName);

    // Where the time goes, piece by piece, on the same bytes.
    std::vector<std::string> packed(kFiles), encoded(kFiles);
    const double gzipSeconds = Seconds([&] {
        for (int i = 0; i < kFiles; ++i) packed[i] = GzipCompress(contents[i]);
    });
    const double base64Seconds = Seconds([&] {
        for (int i = 0; i < kFiles; ++i) encoded[i] = Base64Encode(packed[i]);
    });
    const double sha1Seconds = Seconds([&] {
        for (int i = 0; i < kFiles; ++i) StampSha1(contents[i]);
    });
    const double documentSeconds = Seconds([&] {
        pugi::xml_document document;
        pugi::xml_node rootNode = document.append_child("ZelkoUpload");
        for (int i = 0; i < kFiles; ++i) {
            rootNode.append_child("FileKey").append_child("Content").text().set(encoded[i].c_str());
        }
        SaveXmlAsLatin1(document);
    });
    const fs::path copies = root / "copies";
    fs::create_directories(copies);
    for (int i = 0; i < kFiles; ++i) WriteFile((copies / ("in" + std::to_string(i))).string(), contents[i]);
    const double twoCopiesSeconds = Seconds([&] {
        fs::remove_all(copies / "out");
        fs::create_directories(copies / "out");
        for (int i = 0; i < kFiles; ++i) {
            const std::string source = (copies / ("in" + std::to_string(i))).string();
            platform::CopyFileNoOverwrite(source, (copies / "out" / ("a" + std::to_string(i))).string(), nullptr,
                                          false);
            platform::CopyFileNoOverwrite(source, (copies / "out" / ("b" + std::to_string(i))).string());
        }
    });

    const double goal = 2 * curlSeconds + gzipSeconds;
    std::printf("SendFiles of %d files of %zu KiB (body %.2f MiB): %.1f ms (best of %d)%s\n", kFiles, kFileSize / 1024,
                static_cast<double>(body.size()) / 1048576.0, sessionSeconds * 1e3, kRuns,
                failures ? "  SOME SESSIONS FAILED" : "");
    std::printf("curl --data-binary of the same body:        %.1f ms (best of %d)\n", curlSeconds * 1e3, kRuns);
    std::printf("ratio session / curl: %.2f; goal: session <= 2 x curl + gzip = %.1f ms: %s\n",
                sessionSeconds / curlSeconds, goal * 1e3, sessionSeconds <= goal ? "met" : "NOT met");
    std::printf("where the time goes:\n");
    std::printf("  gzip            %6.1f ms\n", gzipSeconds * 1e3);
    std::printf("  base64          %6.1f ms\n", base64Seconds * 1e3);
    std::printf("  sha-1           %6.1f ms\n", sha1Seconds * 1e3);
    std::printf("  xml document    %6.1f ms\n", documentSeconds * 1e3);
    std::printf("  file copies x2  %6.1f ms (temporary copy, and backup copy with fsync)\n", twoCopiesSeconds * 1e3);
    std::printf("  TLS POST alone  %6.1f ms (the engine's client, same body, server work included)\n",
                postSeconds * 1e3);
    std::error_code ec;
    fs::remove_all(root, ec);
    return failures == 0 ? 0 : 1;
}
