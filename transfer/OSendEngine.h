#pragma once
// The base of the protocol engines: their collaborators, the paths of the file being
// worked on, the session counters and the job transaction, plus the naming, copying and
// deleting helpers both engines share. An engine runs only on the sender thread.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "foundation/MessagePoster.h"
#include "foundation/VeltExceptions.h"
#include "transfer/VeltTransactionSimple.h"

class TConfigurationData;
class TEnvironment;
class TFileQueue;
class TLogData;
namespace platform {
struct TFileState;
}

VELT_DECLARE_EXCEPTION(ESendEngine);

class TSendEngine {
public:
    static constexpr int kFileAttempts = 10;
    static constexpr std::chrono::milliseconds kFilePause{500};
    static constexpr std::int64_t kProcessedFactor = 1000000;

    TSendEngine(const TSendEngine&) = delete;
    TSendEngine& operator=(const TSendEngine&) = delete;
    virtual ~TSendEngine();

    // Sends the batch of the iFilesNumb oldest queue entries; returns
    // processed * 1,000,000 + errors.
    virtual std::int64_t SendFiles(std::int32_t iFilesNumb) = 0;

    // The counters of the last session.
    std::int32_t FilesQueue() const { return _iFilesQueue; }
    std::int32_t FilesProcessed() const { return _iFilesProcessed; }
    std::int32_t FilesErrors() const { return _iFilesErrors; }

    // The pause between two attempts of the copy and delete helpers; tests shorten it.
    void SetFilePause(std::chrono::milliseconds pause) { _iFilePause = pause; }

    // N with the suffix inserted before its last extension (or appended when it has
    // none), behind the CRS code of row crsRow and "_": ("PNR1.txt", S, 1) -> "ama_PNR1" S ".txt".
    static std::string MakeTransferFileName(const std::string& sFileName, const std::string& sSuffix,
                                            std::int32_t iCRSRow);

protected:
    // Checks the collaborators in this order and raises ESendEngine with sClassName in
    // front of the message. The poster may be null: then nothing is posted.
    TSendEngine(const std::string& sClassName, const TEnvironment& environment,
                TConfigurationData* AConfigurationData, TLogData* ALogData, TFileQueue* AFileQueue,
                TMessagePoster* poster);

    // The SendFiles contract every engine follows: posts the start message, resets the
    // counters (and, through ResetSessionState, the engine's own state), writes the
    // start line, runs _tsJob with the reporter linked, posts done or failed, writes the
    // end lines and returns the session result.
    std::int64_t RunSession(std::int32_t iFilesNumb, const std::string& sSessionStartLine);
    virtual void ResetSessionState() {}

    // At most kFileAttempts copies, never overwriting the target; a debug line and a
    // pause after each failure. The source is opened with exclusive sharing, so a file
    // another program is still writing counts as a failed attempt. A source that is gone
    // ends the attempts at once. sourceState receives the state of the source copied;
    // durable false makes a scratch copy (see CopyFileNoOverwrite).
    bool CopyFileWithRetries(const std::string& sSource, const std::string& sTarget,
                             platform::TFileState* sourceState = nullptr, bool durable = true);
    // At most kFileAttempts deletions, a debug line and a pause after each failure; a
    // file that is not there (any more) ends the attempts.
    bool DeleteFileWithRetries(const std::string& sPath);

    bool DebugMode() const;
    // Lines marked "SEND"; Debug writes "[debug] " + text only in debug mode.
    void Log(const std::string& text) const;
    void Debug(const std::string& text) const;
    void Post(unsigned message, std::intptr_t wParam = 0, std::intptr_t lParam = 0) const;

    const TEnvironment& _oEnvironment;
    TConfigurationData* _oConfigurationData;
    TLogData* _oLogData;
    TFileQueue* _oFileQueue;
    TMessagePoster* _oPoster;

    std::string _sDataFile;        // the current input file in its data directory
    std::string _sDataFileBakTmp;  // its temporary copy
    std::string _sDataFileBak;     // its copy in the backup directory
    std::int32_t _iFilesQueue = 0;
    std::int32_t _iFilesProcessed = 0;
    std::int32_t _iFilesErrors = 0;
    // Created and defined by the engine's constructor.
    std::unique_ptr<TTransactionSimple> _tsJob;

private:
    std::chrono::milliseconds _iFilePause = kFilePause;
};
