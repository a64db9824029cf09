#pragma once
// The collector: a worker thread that scans the data directory of every watching rule
// every iCollectorInterval seconds, stamps the files the rule's mask admits and puts them
// into the file queue for the sender. It never moves or deletes an input file.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "collect/OFileMaskMatcher.h"
#include "foundation/MessagePoster.h"
#include "foundation/VeltDigitalStamps.h"
#include "foundation/VeltExceptions.h"
#include "foundation/VeltPassThread.h"

class TConfigurationData;
class TLogData;
class TFileQueue;
struct dirent;
namespace platform {
class TExclusiveFile;
}

VELT_DECLARE_EXCEPTION(EFileCollector);

class TFileCollector;

// The collector's worker: a pass every iCollectorInterval seconds (read once, at start).
class TFileCollectorThread : public TPassThread {
public:
    explicit TFileCollectorThread(TFileCollector& owner);
};

class TFileCollector {
public:
    // Raises EFileCollector for the first collaborator missing (configuration, log data,
    // file queue). The poster may be null: then nothing is posted.
    TFileCollector(TConfigurationData* configurationData, TLogData* logData, TFileQueue* fileQueue,
                   TMessagePoster* poster = nullptr);
    ~TFileCollector();
    TFileCollector(const TFileCollector&) = delete;
    TFileCollector& operator=(const TFileCollector&) = delete;

    // Starts the worker unless one runs; it reads the interval once, at its start.
    void Start();
    // Ends the worker (after a pass in progress) and forgets it.
    void Stop();
    // Skip passes from the next one on / resume them. Nothing happens without a worker.
    void Wait();
    void Run();
    bool Started() const { return _thWorker != nullptr; }

    // One pass on the calling thread, exactly as the worker runs it. Never call it while
    // the worker runs.
    void CollectFiles();

    // CRC-32, MD5 and SHA-1 of the first `size` bytes of an open file in one read pass.
    // Returns the number of bytes read, which is less than `size` when the file ended
    // early or a read failed.
    static std::int64_t StampFile(platform::TExclusiveFile& file, std::int64_t size, TStamper& stamper,
                                  std::vector<char>& buffer, TFileStamps& stamps);

    static constexpr const char* kThreadName = "THREADFILECOLLECT";
    static constexpr int kOpenAttempts = 3;
    static constexpr int kOpenPauseMilliseconds = 100;

private:
    friend class TFileCollectorThread;

    struct TPass {
        std::int64_t iTotalBytes = 0;
        bool lFull = false;
    };
    struct TRule {
        std::size_t iRow = 0;  // 0-based
        int iCRSRow = 0;       // 1..21
        std::string sDataDir;
        bool lInclude = true;
    };

    void LookForFiles();
    void CollectRule(std::size_t row, TPass& pass);
    // Fills rule and loads its mask; False (with the reason logged) when it cannot be watched.
    bool PrepareRule(std::size_t row, TRule& rule);
    void ConsiderEntry(const TRule& rule, const dirent& entry, TPass& pass);
    bool Admitted(const TRule& rule, const std::string& name, const std::string& path);
    bool OpenWithRetries(platform::TExclusiveFile& file, const std::string& path);
    void QueueFile(const TRule& rule, const std::string& name, const std::string& path, std::int64_t size,
                   const TFileStamps& stamps, TPass& pass);

    bool DebugMode() const;
    void Log(const std::string& text) const;
    void Debug(const std::string& text) const;
    std::string QueueCounters() const;

    TFileMaskMatcher _preExclFileMask;
    TConfigurationData* _oConfigurationData;
    TLogData* _oLogData;
    TFileQueue* _oFileQueue;
    TMessagePoster* _oPoster;
    TStamper _oStamper;
    std::vector<char> _aReadBuffer;
    std::unique_ptr<TFileCollectorThread> _thWorker;
};
