#pragma once
// The program's update policy on top of TNewVersion: the update site and proxy of the
// configuration, the names of the descriptor, archive and installer, and the installer's
// command line. Used directly at program start, or by a background thread that looks
// every 5 minutes inside the configured day and hour window and posts
// WM_NEWVERSIONFOUND once it has prepared a new version.
#include <atomic>
#include <condition_variable>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "foundation/VeltCallbacks.h"
#include "foundation/VeltExceptions.h"

class TConfigurationData;
class TEnvironment;
class TLogData;
class TMessagePoster;
class TNewVersion;
class TNewVersionChecker;

VELT_DECLARE_EXCEPTION(ENewVersionChecker);

// The background checker. A stop is noticed within one 200 ms nap, or after the check
// in progress.
class TNewversionCheckerThread {
public:
    TNewversionCheckerThread(TNewVersionChecker& owner, int napsBetweenChecks);
    ~TNewversionCheckerThread();
    TNewversionCheckerThread(const TNewversionCheckerThread&) = delete;
    TNewversionCheckerThread& operator=(const TNewversionCheckerThread&) = delete;

    void Start();
    // Asks the thread to end and waits for it.
    void TerminateAndWait();
    // A suspended thread finishes the check in progress, then neither checks nor counts
    // its naps until resumed.
    void Suspend();
    void Resume();
    bool Suspended() const { return _lSuspended; }
    // True: the rounds skip their checks.
    void SetWait(bool wait) { _lWait = wait; }

private:
    void Execute();
    void CheckOnce();
    // Sleeps one nap; False when termination was asked for.
    bool Nap();

    TNewVersionChecker& _oOwner;
    const int _iNapsBetweenChecks;
    std::atomic<bool> _lWait{false};
    std::atomic<bool> _lSuspended{false};
    bool _lTerminated = false;  // guarded by _muNap
    std::mutex _muNap;
    std::condition_variable _cvNap;
    std::thread _thread;
};

class TNewVersionChecker {
public:
    using TClock = std::function<std::tm()>;

    static constexpr int kNapMilliseconds = 200;
    static constexpr int kNapsBetweenChecks = 1500;  // 5 minutes
    static constexpr const char* kLogMarker = "NVCHECKER";
    static constexpr const char* kThreadName = "THREADCHECKNEWVERSION";

    // The environment must outlive the object; poster (may be null) receives
    // WM_NEWVERSIONFOUND; clock tells the background thread the local time.
    // Raises ENewVersionChecker when the configuration or log data is missing.
    TNewVersionChecker(const TEnvironment& environment, const TConfigurationData* AConfigurationData,
                       TLogData* ALogData, TObjectBooleanFunc ALookForNewVersionAllowed,
                       TMessagePoster* poster = nullptr, TClock clock = TClock());
    ~TNewVersionChecker();
    TNewVersionChecker(const TNewVersionChecker&) = delete;
    TNewVersionChecker& operator=(const TNewVersionChecker&) = delete;

    bool IsNewVersion();
    // The installer's command line, or "" when the preparation failed.
    std::string PrepareNewVersion(const TObjectProcStr1& POnProgressDownload, const TObjectProcStr1& POnProgressUnpack);

    void Start();
    void Suspend();
    void Resume();
    void Wait();
    void Run();
    void Stop();

    bool ThereIsNewVersion() const { return FThereIsNewVersion; }
    std::string UpdateCommand() const;
    const std::string& HttpAgentName() const { return _sHTTPAgentName; }

    // Naps between two background checks; tests shorten it. Takes effect at Start.
    void SetNapsBetweenChecks(int naps) { _iNapsBetweenChecks = naps; }

private:
    friend class TNewversionCheckerThread;

    std::string BuildHttpAgentName() const;
    void SetProxyParameters();
    std::string DescriptorUrl() const;
    std::string ArchiveDirectoryUrl() const;
    std::string ArchiveName() const;
    // The user's temporary directory, without a trailing "/".
    std::string LocalStoreDir() const;
    std::string InstallerFile() const;
    std::string CommandLine(const std::string& installerFile) const;
    void LogLine(const std::string& text) const;
    bool WriteErrorReport(const std::string& text) const;
    void SetUpdateCommand(const std::string& command);

    const TEnvironment& _oEnvironment;
    const TConfigurationData* _oConfigurationData;
    TLogData* _oLogData;
    TObjectBooleanFunc _fLookForNewVersionAllowed;
    TMessagePoster* _oPoster;
    TClock _fClock;
    int _iNapsBetweenChecks = kNapsBetweenChecks;

    std::atomic<bool> FThereIsNewVersion{false};
    mutable std::mutex _muUpdateCommand;
    std::string FUpdateCommand;
    std::string _sHTTPAgentName;

    // The start-up check and the thread never overlap in the program; the lock makes it
    // safe should they ever.
    std::mutex _muNewVersion;
    std::string _sProxyHost, _sProxtPort, _sProxyLogin, _sProxyPassword;
    std::unique_ptr<TNewVersion> _nvNewVersion;
    std::unique_ptr<TNewversionCheckerThread> _thWorker;
};
