#pragma once
// The one object that owns and wires every working part of the agent: log data and
// writer, state manager, configurator, new version checker, file queue, collector and
// sender. Its constructor builds them in order and runs the first transition; every
// transition's action is one of its methods. Used on the user-interface thread only.
#include <cstdint>
#include <memory>
#include <string>

#include "foundation/VeltExceptions.h"

class TConfigurationData;
class TConfigurator;
class TEnvironment;
class TFileCollector;
class TFileQueue;
class TFileSender;
class TLogData;
class TLogWriter;
class TMessagePoster;
class TNewVersionChecker;
class TProgramStateManager;
class TUserInterface;

VELT_DECLARE_EXCEPTION(EController);

// Program states.
inline constexpr std::int32_t stStart = 1;
inline constexpr std::int32_t stNotConfigured = 2;
inline constexpr std::int32_t stConfiguration = 3;
inline constexpr std::int32_t stIdle = 4;
inline constexpr std::int32_t stUpgradeFromIdle = 5;
inline constexpr std::int32_t stLogOffFromIdle = 6;
inline constexpr std::int32_t stWatching = 7;
inline constexpr std::int32_t stUpgradeFromWatch = 8;
inline constexpr std::int32_t stLogOffFromWatch = 9;
inline constexpr std::int32_t stFinishing = 10;

struct TControllerOptions {
    // Tests give each controller a mutex name of its own; the program keeps the default.
    std::string sFileQueueMutexName = "ZELKOTRANSFER_FILEQUEUE_AWAY_";
};

class TController {
public:
    // The environment, the user interface and the poster (null: nobody to tell) must
    // outlive the controller. Exceptions other than the configuration errors it handles
    // itself propagate.
    TController(const TEnvironment& environment, TUserInterface& userInterface, TMessagePoster* poster,
                const TControllerOptions& options = {});
    ~TController();
    TController(const TController&) = delete;
    TController& operator=(const TController&) = delete;

    // Sets the help file after the help language, unless one is set already.
    void AssignHelpFile();
    // Shows the login of the protocol in use; an empty login leaves the display alone.
    void InformStatusLogin();

    // Runs a transition from the current state with the controller's log data and debug
    // mode. A refused request is logged and raised (EProgramStateManager).
    void RunChangeState(const std::string& marker, std::int32_t stateTo, bool announce);

    std::int32_t CurrentState() const;
    bool DebugMode() const;
    // The stamp of the controller's log lines with the suffix, followed by the text.
    void Log(const std::string& suffix, const std::string& text) const;

    const TEnvironment& Environment() const { return _oEnvironment; }
    TUserInterface& UserInterface() const { return _oUserInterface; }
    TLogData& LogData() const { return *_ocLogData; }
    TLogWriter& LogWriter() const { return *_ocLogWriter; }
    TProgramStateManager& StateManager() const { return *_stmStateManager; }
    TConfigurator& Configurator() const { return *_ocConfigurator; }
    TConfigurationData& ConfigurationData() const;
    // Absent when the program ends right after creation.
    TNewVersionChecker* NewVersionChecker() const { return _ocNewVersionChecker.get(); }
    TFileQueue* FileQueue() const { return _ocFileQueue.get(); }
    TFileCollector* FileCollector() const { return _ocFileCollector.get(); }
    TFileSender* FileSender() const { return _ocFileSender.get(); }

    // The main window's log list: 0 until the front end adds it.
    std::int32_t LogWriteDriverStringListId() const { return _iLogWriteDriverStringListId; }
    void SetLogWriteDriverStringListId(std::int32_t id) { _iLogWriteDriverStringListId = id; }
    std::int32_t LogWriteDriverDiskFileId() const { return _iLogWriteDriverDiskFileId; }

private:
    void DefineTransitions();
    void ReadConfigurationAndStart();
    void CreateWorkers(const TControllerOptions& options);

    void HandleConfigurationError(bool directoryProblem, const std::exception& error);
    bool NewVersionCheckAllowed() const;
    int EnterConfiguration();
    bool ReadCRSEncodingTask();
    void StopWatchingTask();

    bool ActionStartToConfiguration();
    bool ActionStartToIdle() { return true; }
    bool ActionStartToFinishing() { return true; }
    bool ActionNotConfiguredToConfiguration();
    bool ActionNotConfiguredToFinishing() { return true; }
    bool ActionConfigurationToIdle();
    bool ActionConfigurationToNotConfigured() { return true; }
    bool ActionIdleToConfiguration();
    bool ActionIdleToUpgrade();
    bool ActionIdleToLogOff();
    bool ActionIdleToWatching();
    bool ActionIdleToFinishing();
    bool ActionWatchingToIdle();
    bool ActionWatchingToUpgrade();
    bool ActionWatchingToLogOff();
    bool ActionWatchingToFinishing();

    // Start watching: the checks in order; False (with the reason logged) at the first failure.
    bool PermittedMachine();
    bool ServerCheckPassed();
    bool EncryptionKeyValid();

    bool IsElevated() const;
    void ShowElevationInfo();
    bool Confirmed(const std::string& question);
    void StopWatching(const std::string& info);
    void DisableStringListDriver();
    void Nested(const std::string& marker, std::int32_t stateTo);
    void LogLine(const std::string& text) const;
    bool NowSending() const;

    const TEnvironment& _oEnvironment;
    TUserInterface& _oUserInterface;
    TMessagePoster* _oPoster;

    std::unique_ptr<TLogData> _ocLogData;
    std::unique_ptr<TLogWriter> _ocLogWriter;
    std::int32_t _iLogWriteDriverStringListId = 0;
    std::int32_t _iLogWriteDriverDiskFileId = 0;
    std::unique_ptr<TProgramStateManager> _stmStateManager;
    std::unique_ptr<TConfigurator> _ocConfigurator;
    std::unique_ptr<TNewVersionChecker> _ocNewVersionChecker;
    std::unique_ptr<TFileQueue> _ocFileQueue;
    std::unique_ptr<TFileCollector> _ocFileCollector;
    std::unique_ptr<TFileSender> _ocFileSender;
};
