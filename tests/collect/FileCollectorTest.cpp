#include "collect/OFileCollector.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "collect/OFileQueue.h"
#include "config/OCRSTypes.h"
#include "config/OConfigurationData.h"
#include "foundation/VeltDigitalStamps.h"
#include "foundation/VeltEnvironment.h"
#include "foundation/platform/NamedMutex.h"
#include "log/VeltStraightLogData.h"
#include "tests/foundation/HelperProcess.h"
#include "tests/support/RecordingPoster.h"
#include "tests/support/Sandbox.h"
#include "tests/support/UniqueName.h"
#include "tests/support/WaitFor.h"

namespace fs = std::filesystem;

namespace {

constexpr int kAmadeus = 1;
constexpr int kSabre = 16;
// Admits every name: as an exclude rule it refuses only a name that is exactly this.
constexpr const char* kNothing = "^nothing-at-all$";

struct TQueued {
    std::int32_t iBookingType = 0;
    std::int32_t iDataRow = 0;
    std::string sName, sCrc32, sMd5, sSha1;
};

class FileCollectorTest : public ::testing::Test {
protected:
    FileCollectorTest() {
        mutexName = UniqueTestName("zelkotest_fcollect");
        queue = std::make_unique<TFileQueue>(environment, mutexName);
        collector = std::make_unique<TFileCollector>(&configuration, &logData, queue.get(), &poster);
        for (int row = 1; row <= kCRSTypeCount; ++row) asCRSTypeEncodings[row] = "iso-8859-1";
        configuration._rData.ptUploadProtocol = tptHttp;
    }
    ~FileCollectorTest() override {
        collector.reset();
        queue.reset();
        for (auto& encoding : asCRSTypeEncodings) encoding.clear();
        platform::TNamedMutex::Remove(mutexName);
    }

    // Adds a rule and returns its data directory.
    std::string AddRule(const std::string& crsType, const std::string& folder, const std::string& mask,
                        bool include = true) {
        auto& rules = configuration._rData.rWatchingRules;
        const std::string directory = sandbox.Path(folder);
        fs::create_directories(directory);
        rules.biDataFileMaskIncl.SetBit(rules.slDataDirs.size(), include);
        rules.slCRSTypes.push_back(crsType);
        rules.slDataDirs.push_back(directory);
        rules.slBakDirs.push_back(sandbox.Path("backup"));
        rules.slDataFileMask.push_back(mask);
        return directory;
    }
    static std::string WriteFile(const std::string& directory, const std::string& name, const std::string& content) {
        const std::string path = directory + "/" + name;
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

    // Log lines with their stamp removed, debug lines with their "[debug] " kept.
    std::vector<std::string> TakeLog() {
        std::vector<std::string> lines;
        std::string line;
        while (logData.LineRead(line)) {
            const auto marker = line.find("COLLECTOR ");
            const auto stampEnd = line.find("] ");
            lines.push_back(marker != std::string::npos ? line.substr(marker + 10) : line.substr(stampEnd + 2));
        }
        return lines;
    }
    static std::size_t CountOf(const std::vector<std::string>& lines, const std::string& text) {
        return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), text));
    }

    std::vector<TQueued> Queued() {
        std::vector<TQueued> entries;
        queue->ResetGetInfoFile();
        TQueued e;
        while (queue->GetInfoFile(e.iBookingType, e.iDataRow, e.sName, e.sCrc32, e.sMd5, e.sSha1)) entries.push_back(e);
        return entries;
    }
    std::set<std::string> QueuedNames() {
        std::set<std::string> names;
        for (const TQueued& e : Queued()) names.insert(e.sName);
        return names;
    }

    TSandbox sandbox;
    TEnvironment environment{TEnvironmentOptions{}, sandbox.platform};
    TConfigurationData configuration{environment};
    TLogData logData{10240, 4096, 128, false};
    TRecordingPoster poster;
    std::string mutexName;
    std::unique_ptr<TFileQueue> queue;
    std::unique_ptr<TFileCollector> collector;
};

std::string Holder() { return std::string(ZELKO_TEST_HELPER_DIR) + "/hold_open_for_write"; }

}  // namespace

TEST_F(FileCollectorTest, TheMaskMustCoverTheWholeNameIgnoringCase) {
    const std::string mask = "^[^\\.][a-z0-9_\\x20\\-\\.]*";
    const std::set<std::string> matching = {"abc.txt", "ABC.TXT"};
    const std::set<std::string> others = {".hidden", "a(b).txt"};
    for (const bool include : {true, false}) {
        SCOPED_TRACE(include ? "include" : "exclude");
        queue->ClearQueue();
        const std::string folder = include ? "include" : "exclude";
        const std::string directory = AddRule("Amadeus", folder, mask, include);
        for (const auto& name : matching) WriteFile(directory, name, "content of " + name);
        for (const auto& name : others) WriteFile(directory, name, "content of " + name);
        fs::create_directories(directory + "/sub.txt");
        fs::create_symlink(directory + "/abc.txt", directory + "/link.txt");

        collector->CollectFiles();
        EXPECT_EQ(QueuedNames(), include ? matching : others);
        configuration._rData.rWatchingRules = {};
    }
}

TEST_F(FileCollectorTest, AQueuedEntryCarriesTheStampsRuleAndCrsRowAndIsQueuedOnce) {
    AddRule("Sabre", "other", "^x$");
    const std::string directory = AddRule("Amadeus", "ama", ".*");
    // Longer than one read buffer, so the stamps span several reads.
    std::string content(300000, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 + i / 251);
    WriteFile(directory, "PNR0001.txt", content);

    collector->CollectFiles();
    const std::vector<TQueued> entries = Queued();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].sName, "PNR0001.txt");
    EXPECT_EQ(entries[0].iBookingType, kAmadeus);
    EXPECT_EQ(entries[0].iDataRow, 1);
    EXPECT_EQ(entries[0].sCrc32, StampCrc32(content));
    EXPECT_EQ(entries[0].sMd5, StampMd5(content));
    EXPECT_EQ(entries[0].sSha1, StampSha1(content));
    EXPECT_EQ(poster.Count(WM_FILEQUEUED), 1u);

    collector->CollectFiles();
    EXPECT_EQ(queue->FileCount(), 1) << "the waiting file is not queued twice";
    EXPECT_EQ(poster.Count(WM_FILEQUEUED), 1u);
    EXPECT_TRUE(fs::exists(directory + "/PNR0001.txt")) << "the collector never removes an input";
}

TEST_F(FileCollectorTest, DebugModeTracesAPassStepByStep) {
    configuration._rData.rSupport.lDebugModeInLog = true;
    const std::string directory = AddRule("Amadeus", "ama", "^a\\.txt$");
    WriteFile(directory, "a.txt", "hello");
    WriteFile(directory, "b.txt", "other");

    collector->CollectFiles();
    const std::vector<std::string> expected = {
        "[debug] start collecting files...",
        "[debug] (start)files in queue:0, max.:256",
        "[debug] dirs set:1",
        "[debug] include file mask:" + directory + " | ^a\\.txt$, rc:0",
        "[debug] name found:|a.txt|",
        "[debug] filequeue before find ( 0,0 )",
        "[debug] opened:0, file size:5",
        "[debug] crc32 - md5 - sha1: " + StampCrc32("hello") + " - " + StampMd5("hello") + " - " + StampSha1("hello"),
        "[debug] adding to queue:1, ama-" + directory + "/a.txt",
        "[debug] crs:1",
        "[debug] filequeue before put ( 0,0 )",
        "[debug] filequeue after put ( 1,0 )",
        "[debug] added ( 0,1 )",
    };
    const std::vector<std::string> lines = TakeLog();
    auto cursor = lines.begin();
    for (const std::string& line : expected) {
        cursor = std::find(cursor, lines.end(), line);
        ASSERT_NE(cursor, lines.end()) << "missing in order: " << line;
    }
    EXPECT_EQ(CountOf(lines, "[debug] file skipped-does not match defined file mask"), 1u);
    EXPECT_EQ(CountOf(lines, "[debug] name found:|b.txt|"), 1u);
    EXPECT_EQ(CountOf(lines, "[debug] next:0"), 3u) << "., .., and one of the files precede an entry";
    EXPECT_EQ(CountOf(lines, "[debug] next:2"), 1u) << "the end of the listing";

    configuration._rData.rSupport.lDebugModeInLog = false;
    queue->ClearQueue();
    collector->CollectFiles();
    EXPECT_TRUE(TakeLog().empty()) << "nothing but debug lines in a normal pass";
}

TEST_F(FileCollectorTest, ThePackageAllowanceLimitsTheBytesAdmittedPerPass) {
    configuration._rData.rWatchingRules.iCollectorPackageMaxSize = 1024;
    const std::string directory = AddRule("Amadeus", "ama", ".*");
    WriteFile(directory, "big1.txt", std::string(600 * 1024, 'a'));
    WriteFile(directory, "big2.txt", std::string(600 * 1024, 'b'));
    WriteFile(directory, "small.txt", std::string(300 * 1024, 'c'));

    // Whatever order the listing gives, one big file does not fit beside the others.
    std::vector<std::string> order;
    DIR* listing = opendir(directory.c_str());
    while (const dirent* entry = readdir(listing))
        if (entry->d_name[0] != '.') order.push_back(entry->d_name);
    closedir(listing);
    std::int64_t total = 0;
    std::string refused;
    std::int64_t totalWhenRefused = 0;
    for (const auto& name : order) {
        const std::int64_t size = name == "small.txt" ? 300 * 1024 : 600 * 1024;
        if (total + size > 1024 * 1024) {
            refused = name;
            totalWhenRefused = total;
        } else {
            total += size;
        }
    }

    collector->CollectFiles();
    std::set<std::string> expected = {"big1.txt", "big2.txt", "small.txt"};
    expected.erase(refused);
    EXPECT_EQ(QueuedNames(), expected);
    const std::vector<std::string> lines = TakeLog();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "file " + directory + "/" + refused + " ( size:614400B ) reached max.allowed package size ( "
                            "1024 kB )-now in queue is " + std::to_string(totalWhenRefused) + "B");

    // Waiting files do not count against the next pass.
    collector->CollectFiles();
    EXPECT_EQ(queue->FileCount(), 3);
}

TEST_F(FileCollectorTest, AnEmptyFileIsLoggedEveryPassAndNeverQueued) {
    const std::string directory = AddRule("Amadeus", "ama", ".*");
    WriteFile(directory, "empty.txt", "");
    const std::string line = "file " + directory + "/empty.txt ( size:0B ) skipped-empty file";
    for (int pass = 0; pass < 2; ++pass) {
        collector->CollectFiles();
        EXPECT_EQ(TakeLog(), std::vector<std::string>{line});
    }
    EXPECT_EQ(queue->FileCount(), 0);
}

TEST_F(FileCollectorTest, TheSameNameIsQueuedOncePerCrsTypeWhicheverRuleHoldsIt) {
    configuration._rData.rSupport.lDebugModeInLog = true;
    const std::vector<std::pair<std::string, std::string>> rules = {
        {"Amadeus", "ama1"}, {"Amadeus", "ama2"}, {"Sabre", "sabre"}};
    for (const auto& [crs, folder] : rules) WriteFile(AddRule(crs, folder, ".*"), "a.txt", folder);

    collector->CollectFiles();
    const std::vector<TQueued> entries = Queued();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].iBookingType, kAmadeus);
    EXPECT_EQ(entries[0].iDataRow, 0);
    EXPECT_EQ(entries[0].sMd5, StampMd5("ama1"));
    EXPECT_EQ(entries[1].iBookingType, kSabre);
    EXPECT_EQ(entries[1].iDataRow, 2);
    EXPECT_EQ(CountOf(TakeLog(), "[debug] file skipped-same file name for this KMR already in queue"), 1u);
}

TEST_F(FileCollectorTest, AFileAnotherProcessKeepsOpenForWritingWaitsForTheWriter) {
    configuration._rData.rSupport.lDebugModeInLog = true;
    const std::string directory = AddRule("Amadeus", "ama", ".*");
    const std::string path = WriteFile(directory, "PNR0001.txt", "first half");
    THelperProcess writer(Holder(), {path});
    ASSERT_EQ(writer.ReadLine(), "open");

    collector->CollectFiles();
    EXPECT_EQ(queue->FileCount(), 0);
    const std::vector<std::string> lines = TakeLog();
    for (const char* line : {"[debug] not opened:1", "[debug] not opened:2", "[debug] not opened:3"})
        EXPECT_EQ(CountOf(lines, line), 1u) << line;

    writer.CloseInput();
    ASSERT_EQ(writer.ReadLine(), "closed");
    collector->CollectFiles();
    ASSERT_EQ(queue->FileCount(), 1);
    EXPECT_EQ(Queued()[0].sMd5, StampMd5("first half"));
}

TEST_F(FileCollectorTest, AFullQueueEndsThePass) {
    configuration._rData.rSupport.lDebugModeInLog = true;
    const std::string first = AddRule("Amadeus", "ama", ".*");
    const std::string second = AddRule("Sabre", "sabre", ".*");
    for (const char* name : {"a.txt", "b.txt", "c.txt"}) WriteFile(first, name, name);
    WriteFile(second, "d.txt", "d");
    for (int i = 0; i < 255; ++i) ASSERT_TRUE(queue->PutFile(kSabre, 1, 1, "q" + std::to_string(i), "C", "M", "S"));

    collector->CollectFiles();
    EXPECT_EQ(queue->FileCount(), 256);
    EXPECT_EQ(poster.Count(WM_FILEQUEUED), 1u);
    std::vector<std::string> lines = TakeLog();
    EXPECT_EQ(CountOf(lines, "[debug] queue is full at the moment ( 256 )"), 1u);
    EXPECT_EQ(CountOf(lines, "[debug] include file mask:" + second + " | .*, rc:0"), 0u) << "second rule not scanned";

    collector->CollectFiles();
    lines = TakeLog();
    EXPECT_EQ(lines.back(), "[debug] (start)files in queue:256, max.:256");
}

TEST_F(FileCollectorTest, ARuleThatCannotBeWatchedIsReportedEveryPassAndTheOthersGoOn) {
    struct TCase {
        const char* what;
        TProtocolType protocol;
        std::string crsType, mask;
        bool encodingMissing;
        std::string line;  // empty: the rule works
    };
    const std::vector<TCase> cases = {
        {"bad mask", tptHttp, "Amadeus", "a(b", false,
         "error-file mask |a(b| of rule 1 is not a valid regular expression ( missing closing parenthesis at offset "
         "3 )-rule not watched"},
        {"unknown type", tptHttp, "Nonesuch", ".*", false, "error-crs type |Nonesuch| of rule 1 is not known-rule not watched"},
        {"no encoding", tptHttp, "Amadeus", ".*", true,
         "CRS Amadeus not watched, because encoding type for this CRS is not defined"},
        {"ftp needs none", tptFtp, "Amadeus", ".*", true, ""},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.what);
        configuration._rData.rWatchingRules = {};
        configuration._rData.ptUploadProtocol = c.protocol;
        queue->ClearQueue();
        asCRSTypeEncodings[kAmadeus] = c.encodingMissing ? "" : "iso-8859-1";
        WriteFile(AddRule(c.crsType, std::string("first-") + c.what, c.mask), "a.txt", "a");
        WriteFile(AddRule("Sabre", std::string("second-") + c.what, ".*"), "s.txt", "s");

        for (int pass = 0; pass < 2; ++pass) {
            collector->CollectFiles();
            const std::vector<std::string> lines = TakeLog();
            if (c.line.empty()) {
                EXPECT_TRUE(lines.empty());
            } else {
                EXPECT_EQ(lines, std::vector<std::string>{c.line});
            }
        }
        const std::set<std::string> expected =
            c.line.empty() ? std::set<std::string>{"a.txt", "s.txt"} : std::set<std::string>{"s.txt"};
        EXPECT_EQ(QueuedNames(), expected);
    }
}

TEST_F(FileCollectorTest, NamesThatCannotTravelSafelyStayWhereTheyAre) {
    const std::string directory = AddRule("Amadeus", "ama", kNothing, false);
    const std::vector<std::pair<std::string, std::string>> unsafe = {
        {"a\nb.txt", "control characters"}, {"a\rb.txt", "control characters"},
        {"tab\t.txt", "control characters"}, {"c1\xC2\x85.txt", "control characters"},
        {"latin1-\xFC.txt", "is not valid utf-8"}};
    for (const auto& [name, reason] : unsafe) WriteFile(directory, name, "x");
    WriteFile(directory, "fine.txt", "x");

    collector->CollectFiles();
    EXPECT_EQ(QueuedNames(), std::set<std::string>{"fine.txt"});
    const std::vector<std::string> lines = TakeLog();
    for (const auto& [name, reason] : unsafe) {
        const std::string line = "warning-file " + directory + "/" + name + " skipped-file name " +
                                 (reason == "control characters" ? "holds control characters" : reason);
        EXPECT_EQ(CountOf(lines, line), 1u) << line;
        EXPECT_TRUE(fs::exists(directory + "/" + name));
    }
}

TEST_F(FileCollectorTest, UnicodeBlankAndLongestNamesGoThroughUnchanged) {
    const std::string directory = AddRule("Amadeus", "ama", kNothing, false);
    const std::set<std::string> names = {"Prüfung vom 1. März.txt", "日本語 ファイル.dat", " leading and trailing ",
                                         std::string(251, 'x') + ".txt", "Ελληνικά_ΑΒΓ.TXT"};
    for (const auto& name : names) WriteFile(directory, name, "content " + name);

    collector->CollectFiles();
    EXPECT_EQ(QueuedNames(), names);
    for (const TQueued& e : Queued()) EXPECT_EQ(e.sSha1, StampSha1("content " + e.sName)) << e.sName;
}

TEST_F(FileCollectorTest, AMissingDataDirectoryIsPassedOver) {
    configuration._rData.rSupport.lDebugModeInLog = true;
    const std::string missing = AddRule("Amadeus", "gone", ".*");
    fs::remove(missing);
    WriteFile(AddRule("Sabre", "sabre", ".*"), "s.txt", "s");

    collector->CollectFiles();
    EXPECT_EQ(QueuedNames(), std::set<std::string>{"s.txt"});
    EXPECT_EQ(CountOf(TakeLog(), "[debug] include file mask:" + missing + " | .*, rc:2"), 1u);
}

TEST(FileCollectorCreateTest, EachMissingCollaboratorIsNamed) {
    TSandbox sandbox;
    TEnvironment environment{TEnvironmentOptions{}, sandbox.platform};
    TConfigurationData configuration{environment};
    TLogData logData{16, 256, 4, false};
    const std::string mutexName = "zelkotest_fcreate_" + std::to_string(getpid());
    TFileQueue queue(environment, mutexName);
    const std::string prefix = "TFileCollector error: cannot create object, ";
    const auto messageOf = [](auto create) {
        try {
            create();
        } catch (const EFileCollector& error) {
            return std::string(error.what());
        }
        return std::string("no exception");
    };
    EXPECT_EQ(messageOf([&] { TFileCollector c(nullptr, nullptr, nullptr); }), prefix + "configuration data not defined");
    EXPECT_EQ(messageOf([&] { TFileCollector c(&configuration, nullptr, &queue); }), prefix + "log data not defined");
    EXPECT_EQ(messageOf([&] { TFileCollector c(&configuration, &logData, nullptr); }), prefix + "file queue not defined");
    platform::TNamedMutex::Remove(mutexName);
}

// The worker thread: names itself, collects every interval, skips passes while told to
// wait and ends promptly between passes.
class FileCollectorConcurrencyTest : public FileCollectorTest {};

TEST_F(FileCollectorConcurrencyTest, TheWorkerCollectsUntilStoppedAndStopsPromptlyBetweenPasses) {
    configuration._rData.rWatchingRules.iCollectorInterval = 1;
    configuration._rData.rSupport.lDebugModeInLog = true;
    const std::string directory = AddRule("Amadeus", "ama", ".*");
    WriteFile(directory, "a.txt", "a");

    collector->Start();
    collector->Start();  // a second start keeps the running worker
    ASSERT_TRUE(waitFor([&] { return queue->FileCount() == 1; }));
    WriteFile(directory, "b.txt", "b");
    ASSERT_TRUE(waitFor([&] { return queue->FileCount() == 2; })) << "a later pass picks up the new file";

    bool named = false;
    for (const auto& task : fs::directory_iterator("/proc/self/task"))
        named = named || TSandbox::ReadFile((task.path() / "comm").string()) == "THREADFILECOLLE\n";
    EXPECT_TRUE(named);

    collector->Wait();
    // A pass that was running when Wait was called may still end; after that none starts.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    TakeLog();
    WriteFile(directory, "c.txt", "c");
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_TRUE(TakeLog().empty()) << "no pass while waiting";
    EXPECT_EQ(QueuedNames().count("c.txt"), 0u);
    collector->Run();
    ASSERT_TRUE(waitFor([&] { return QueuedNames().count("c.txt") == 1; }));

    const auto start = std::chrono::steady_clock::now();
    collector->Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_FALSE(collector->Started());
}

TEST_F(FileCollectorConcurrencyTest, AStopDuringALongIntervalIsHonouredAtOnce) {
    configuration._rData.rWatchingRules.iCollectorInterval = 30;
    WriteFile(AddRule("Amadeus", "ama", ".*"), "a.txt", "a");
    collector->Start();
    ASSERT_TRUE(waitFor([&] { return queue->FileCount() == 1; }));

    const auto start = std::chrono::steady_clock::now();
    collector->Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));

    WriteFile(configuration._rData.rWatchingRules.slDataDirs[0], "b.txt", "b");
    collector->Start();  // a new worker after a stop, with a first pass at once
    EXPECT_TRUE(waitFor([&] { return queue->FileCount() == 2; }));
    collector->Stop();
}
