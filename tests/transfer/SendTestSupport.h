#pragma once
// What the send engine and sender tests share: a sandbox with watching rules, a queue of
// their own, a log that keeps everything it received, the local filekey server, and the
// check that no input was lost.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "collect/OFileQueue.h"
#include "config/OCRSTypes.h"
#include "config/OConfigurationData.h"
#include "foundation/VeltDigitalStamps.h"
#include "foundation/VeltEnvironment.h"
#include "foundation/platform/NamedMutex.h"
#include "log/VeltStraightLogData.h"
#include "tests/support/FilekeyPeer.h"
#include "tests/support/LogLines.h"
#include "tests/support/RecordingPoster.h"
#include "tests/support/Sandbox.h"
#include "tests/support/UniqueName.h"

namespace sendtest {

namespace fs = std::filesystem;

constexpr int kAmadeus = 1;

inline TEnvironmentOptions WithTempDirectory() {
    TEnvironmentOptions options;
    options.lCreateUserLocalTempPath = true;
    return options;
}

// The plain files of a folder, by name; none when it does not exist.
inline std::map<std::string, std::string> FilesIn(const std::string& directory) {
    std::map<std::string, std::string> files;
    std::error_code ec;
    for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->is_regular_file()) files[it->path().filename().string()] = TSandbox::ReadFile(it->path().string());
    }
    return files;
}

// Only the names, for polling: reading every file each time would slow the test down.
inline std::set<std::string> NamesIn(const std::string& directory) {
    std::set<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
        names.insert(it->path().filename().string());
    }
    return names;
}

inline std::string HelperProgram(const std::string& name) { return std::string(ZELKO_TEST_HELPER_DIR) + "/" + name; }

// Where every input of a test must be at any time: still in its data directory, or sent
// under a transfer name that is both on the server and in the backup directory, with
// the same bytes everywhere.
inline ::testing::AssertionResult NothingLost(const std::map<std::string, std::string>& inputs,
                                              const std::string& dataDir, const std::string& bakDir,
                                              const std::string& storeDir, const std::string& code = "ama") {
    const auto data = FilesIn(dataDir);
    const auto bak = FilesIn(bakDir);
    const auto store = FilesIn(storeDir);
    for (const auto& [name, content] : inputs) {
        if (const auto at = data.find(name); at != data.end()) {
            if (at->second != content) return ::testing::AssertionFailure() << name << " changed in its data directory";
            continue;
        }
        const std::size_t dot = name.rfind('.');
        const std::string stem = dot == std::string::npos ? name : name.substr(0, dot);
        const std::string extension = dot == std::string::npos ? "" : name.substr(dot);
        bool found = false;
        for (const auto& [transferName, copy] : bak) {
            const bool named = transferName.size() == code.size() + 1 + stem.size() + 14 + extension.size() &&
                               transferName.rfind(code + "_" + stem, 0) == 0 && transferName.ends_with(extension);
            if (!named || copy != content) continue;
            const auto stored = store.find(transferName);
            if (stored != store.end() && stored->second == content) found = true;
        }
        if (!found) {
            return ::testing::AssertionFailure() << name << " is neither in " << dataDir
                                                 << " nor both on the server and in " << bakDir;
        }
    }
    return ::testing::AssertionSuccess();
}

class TSendTest : public ::testing::Test {
protected:
    TSendTest() {
        mutexName = UniqueTestName("zelkotest_send");
        queue = std::make_unique<TFileQueue>(environment, mutexName);
        savedEncodings = asCRSTypeEncodings;
        for (int row = 1; row <= kCRSTypeCount; ++row) asCRSTypeEncodings[row] = "iso-8859-1";
        configuration._rData.ptUploadProtocol = tptHttp;
        configuration._rData.rSupport.lDebugModeInLog = true;
        configuration._rData.rWatchingRules.iCollectorInterval = 1;
        configuration._rData.rHttpTransfer.rBase.sLogin = "agent";
        configuration._rData.rHttpTransfer.rBase.sPassword = "secret";
    }
    ~TSendTest() override {
        queue.reset();
        asCRSTypeEncodings = savedEncodings;
        platform::TNamedMutex::Remove(mutexName);
    }

    // Sends over plain FTP as user "agent", with a short connection time-out.
    void UseFtp() {
        configuration._rData.ptUploadProtocol = tptFtp;
        auto& ftp = configuration._rData.rFtpTransfer;
        ftp.sLogin = "agent";
        ftp.sPassword = "secret";
        ftp.sIdent = "agent";
        ftp.iConnTimeout = 5;
        ftp.lSecure = false;
    }

    // Adds a rule watching <folder> with its backup in <folder>-bak; returns the data folder.
    std::string AddRule(const std::string& crsType, const std::string& folder) {
        auto& rules = configuration._rData.rWatchingRules;
        const std::string directory = sandbox.Path(folder);
        fs::create_directories(directory);
        fs::create_directories(directory + "-bak");
        rules.biDataFileMaskIncl.SetBit(rules.slDataDirs.size(), true);
        rules.slCRSTypes.push_back(crsType);
        rules.slDataDirs.push_back(directory);
        rules.slBakDirs.push_back(directory + "-bak");
        rules.slDataFileMask.push_back(".*");
        return directory;
    }
    std::string DataDir(std::size_t row = 0) const { return configuration._rData.rWatchingRules.slDataDirs[row]; }
    std::string BakDir(std::size_t row = 0) const { return configuration._rData.rWatchingRules.slBakDirs[row]; }
    std::string TempDir() const { return environment.Paths().sUserLocalTemp; }

    TFilekeyPeer& StartPeer(TFilekeyPeerOptions options = {}) {
        peer = std::make_unique<TFilekeyPeer>(sandbox.Path("peer"), std::move(options));
        PointAt(*peer);
        return *peer;
    }
    // The port travels apart from the URL, as configurations usually hold it.
    void PointAt(const TFilekeyPeer& server) {
        auto& base = configuration._rData.rHttpTransfer.rBase;
        base.sUrl = "https://127.0.0.1/filekey";
        base.sPort = std::to_string(server.Port());
    }

    // Writes the file into the rule's data folder and queues it as the collector would.
    std::string Enqueue(std::size_t row, const std::string& name, const std::string& content) {
        const std::string path = DataDir(row) + "/" + name;
        sandbox.WriteFile(fs::relative(path, sandbox.Root()).string(), content);
        inputs[row][name] = content;
        EXPECT_TRUE(queue->PutFile(CRSTypeRowOfName(configuration._rData.rWatchingRules.slCRSTypes[row]),
                                   static_cast<std::int32_t>(row), static_cast<std::int32_t>(content.size()), name,
                                   StampCrc32(content), StampMd5(content), StampSha1(content)));
        return path;
    }
    // A queue entry whose file is not (or no longer) there.
    void EnqueueMissing(std::size_t row, const std::string& name, std::int32_t size) {
        EXPECT_TRUE(queue->PutFile(kAmadeus, static_cast<std::int32_t>(row), size, name, "00000000",
                                   std::string(32, '0'), std::string(40, '0')));
    }
    std::set<std::string> QueuedNames() {
        std::set<std::string> names;
        std::int32_t crs = 0, row = 0;
        std::string name, crc, md5, sha1;
        queue->ResetGetInfoFile();
        while (queue->GetInfoFile(crs, row, name, crc, md5, sha1)) names.insert(name);
        return names;
    }

    // Every log line so far (the log data is drained into it).
    const std::vector<std::string>& Log() {
        for (std::string& line : TakeLogLines(logData)) logLines.push_back(std::move(line));
        return logLines;
    }
    bool Logged(const std::string& text) { return AnyLineEndsWith(Log(), text); }
    std::size_t CountLogged(const std::string& text) {
        const auto& lines = Log();
        return static_cast<std::size_t>(
            std::count_if(lines.begin(), lines.end(), [&](const std::string& line) { return line.ends_with(text); }));
    }
    std::vector<unsigned> Messages() const {
        std::vector<unsigned> messages;
        for (const TPostedMessage& posted : poster.Posted()) messages.push_back(posted.message);
        return messages;
    }

    ::testing::AssertionResult NothingLostOfRule(std::size_t row = 0) {
        return NothingLost(inputs[row], DataDir(row), BakDir(row), peer->StoreDir());
    }

    TSandbox sandbox;
    TEnvironment environment{WithTempDirectory(), sandbox.platform};
    TConfigurationData configuration{environment};
    TLogData logData{32768, 1024, 256, false};
    TRecordingPoster poster;
    std::string mutexName;
    std::unique_ptr<TFileQueue> queue;
    std::unique_ptr<TFilekeyPeer> peer;
    std::map<std::size_t, std::map<std::string, std::string>> inputs;  // by rule: name -> content
    std::vector<std::string> logLines;
    TCRSTypeColumn savedEncodings;
};

}  // namespace sendtest
