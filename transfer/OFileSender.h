#pragma once
// The sender: a worker thread that looks at the file queue about once a second, sizes a
// batch of the oldest files and hands it to the engine of the configured protocol, then
// tells the main window how many files went through. It owns both engines.
#include <atomic>
#include <cstdint>
#include <memory>

#include "foundation/MessagePoster.h"
#include "foundation/VeltExceptions.h"
#include "foundation/VeltPassThread.h"
#include "transfer/OSendEngine.h"

class TConfigurationData;
class TEnvironment;
class TFileQueue;
class TLogData;
class TSendEngineHTTP;

VELT_DECLARE_EXCEPTION(EFileSender);

class TFileSender;

// The sender's worker: a pass, then five naps of 200 ms.
class TFileSenderThread : public TPassThread {
public:
    static constexpr int kNapsBetweenPasses = 5;
    explicit TFileSenderThread(TFileSender& owner);
};

class TFileSender {
public:
    static constexpr const char* kThreadName = "THREADFILESEND";
    static constexpr std::int32_t kHttpBatchMaxSize = 2097152;  // bytes
    static constexpr std::int32_t kFtpBatchMaxFiles = 16;

    // Raises EFileSender for the first collaborator missing (configuration, log data,
    // file queue). The poster may be null: then nothing is posted.
    TFileSender(const TEnvironment& environment, TConfigurationData* AConfigurationData, TLogData* ALogData,
                TFileQueue* AFileQueue, TMessagePoster* poster = nullptr);
    ~TFileSender();
    TFileSender(const TFileSender&) = delete;
    TFileSender& operator=(const TFileSender&) = delete;

    // Picks the engine of the configured protocol (on every call), then starts the worker
    // unless one runs.
    void Start();
    // Ends the worker after the pass in progress, network retries included, and forgets it.
    void Stop();
    // Skip send passes from the next one on / resume them. Nothing happens without a worker.
    void Wait();
    void Run();
    bool Started() const { return _thWorker != nullptr; }
    // True while the worker is inside a send pass; read by the user-interface thread.
    bool NowSending() const { return _lNowSending.load(); }

    // One pass on the calling thread, exactly as the worker runs it. Never call it while
    // the worker runs.
    void SendFiles();

    TSendEngineHTTP& SendEngineHTTP() { return *_oSendEngineHTTP; }
    TSendEngine& SendEngineFTP() { return *_oSendEngineFTP; }

private:
    friend class TFileSenderThread;

    // The worker's pass: SendFiles with the sending flag raised around it.
    void SendPass();

    void SelectSendEngine();
    std::int32_t BatchSize();
    void Debug(const std::string& text) const;
    void Log(const std::string& text) const;

    TConfigurationData* _oConfigurationData;
    TLogData* _oLogData;
    TFileQueue* _oFileQueue;
    TMessagePoster* _oPoster;
    std::unique_ptr<TSendEngineHTTP> _oSendEngineHTTP;
    std::unique_ptr<TSendEngine> _oSendEngineFTP;
    TSendEngine* _oSendEngine = nullptr;
    std::unique_ptr<TFileSenderThread> _thWorker;
    std::atomic<bool> _lNowSending{false};
};
