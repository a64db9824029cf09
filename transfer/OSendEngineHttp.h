#pragma once
// The HTTPS send engine: uploads a whole batch in one XML document to the filekey
// server's "/upload.php", reads the server's verdict for every file, and for each
// accepted file keeps a copy in the rule's backup directory and removes the input.
// The job is a transaction; preparing and completing each file are small transactions
// of their own, so a failure undoes exactly the copies made so far.
#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <pugixml.hpp>

#include "foundation/platform/FileCopy.h"
#include "transfer/OSendEngine.h"
#include "transfer/OSenderHttp.h"

class TSendEngineHTTP : public TSendEngine {
public:
    static constexpr std::int32_t kMaxBatchFiles = 256;  // the queue's capacity
    // Removing the batch waits for the queue's mutex; a busy collector must not make a
    // finished job roll back, so the removal is retried before it fails.
    static constexpr int kAwayAttempts = 10;
    static constexpr std::chrono::milliseconds kAwayPause{500};

    // Raises ESendEngine (class name "TSendEngineHTTP") for the first collaborator
    // missing. The poster may be null.
    TSendEngineHTTP(const TEnvironment& environment, TConfigurationData* AConfigurationData, TLogData* ALogData,
                    TFileQueue* AFileQueue, TMessagePoster* poster = nullptr);
    ~TSendEngineHTTP() override;

    std::int64_t SendFiles(std::int32_t iFilesNumb) override;

    // The session time signature of the last job ("yyyymmddhhnnss").
    const std::string& Timesig() const { return _sTimesig; }
    TSenderHTTP& HttpSender() { return *_httpSender; }
    void SetAwayPause(std::chrono::milliseconds pause) { _iAwayPause = pause; }

private:
    struct TUploadResult {
        std::int32_t iElems = 0;
        std::vector<std::string> slName;
        std::vector<std::int32_t> aStatus;
        std::vector<std::string> slDescr;
    };
    struct TPreparedFiles {
        std::int32_t iFiles = 0;
        std::array<std::int32_t, kMaxBatchFiles + 1> aList{};  // 1-based batch positions
    };
    struct TQueueEntry {
        std::int32_t iBookingType = 0;
        std::int32_t iDataRow = 0;
        std::string sName, sCrc32, sMd5, sSha1;
    };

    void ResetSessionState() override;
    void DefineTransactions();
    // Temporary copies outlive a run that was killed. A new session in the same second
    // would meet them under its own names and fail to prepare those files.
    void RemoveLeftoverTemporaryCopies();

    // "JOB"
    bool CheckRemoteCertificate();
    bool PreparePackage();
    bool UnpreparePackage();
    bool SendPackage();
    bool CategorizeFiles();
    bool ResumePackage();
    bool AwayFiles();
    // "JOB PREPAREPACKAGE"
    bool BackupFileToTmp();
    bool DeleteTmpBackup();
    bool PrepareRequest();
    // "JOB RESUMEPACKAGE"
    bool BackupFileToBak();
    bool DeleteBakBackup();
    bool DeleteInputFile();

    // The next queue entry at the read cursor; its fields become the current file.
    bool ReadQueueEntry(TQueueEntry& entry);
    // Makes the entry's file current: its transfer name and the three paths.
    std::string SetCurrentFile(const TQueueEntry& entry);
    bool ParseUploadResponse();
    bool CheckUploadResponse();
    void CollectFileKeys(const pugi::xml_node& root);
    bool AllFilesReported();
    // The index of the transfer name in the answer's names, letter case ignored; -1 when absent.
    std::int32_t IndexOfName(const std::string& sTransferName) const;
    // AwayFiles with its retries while the queue's mutex is busy.
    bool AwayBatch();
    std::string QueueCounters() const;

    std::unique_ptr<TSenderHTTP> _httpSender;
    pugi::xml_document _xmlData;
    std::string _msFile;
    std::unique_ptr<TTransactionSimple> _tsPreparePackage;
    std::unique_ptr<TTransactionSimple> _tsResumePackage;
    std::string _sTimesig;
    std::string _sFileCrc32;
    std::string _sTransferName;  // of the current file
    TUploadResult _rUploadResult;
    TPreparedFiles _rPreparedFiles;
    // The batch position of the current file, and the state of each input when it was
    // copied: an input rewritten since then is not deleted, or the new content would be lost.
    std::int32_t _iPosition = 0;
    std::array<platform::TFileState, kMaxBatchFiles + 1> _aInputStates{};
    std::chrono::milliseconds _iAwayPause = kAwayPause;
};
