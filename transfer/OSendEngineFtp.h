#pragma once
// The send engine of the FTP/FTPS protocol: logs in to the current host, asks it for a
// session id, makes a session directory of that name, uploads the batch's SFV file and
// then each file under its transfer name, backs the files up and removes them from
// their data directories. A job that fails on one host is repeated on the next one,
// each host at most once per session. Runs only on the sender thread.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "transfer/OIdentServer.h"
#include "transfer/OSendEngine.h"
#include "transfer/OSenderFtp.h"

struct TSendEngineFtpOptions {
    // The ident responder's port during logins; tests use a free one (0: any).
    int iIdentPort = TIdentServer::kDefaultPort;
    // The pause after a failed remote command, login, upload or logout.
    std::chrono::milliseconds iAttemptPause = TSenderFTP::kAttemptPause;
};

class TSendEngineFTP : public TSendEngine {
public:
    static constexpr int kRemoteAttempts = 3;

    // Raises ESendEngine (class name "TSendEngineFTP") for the first collaborator
    // missing. The poster may be null.
    TSendEngineFTP(const TEnvironment& environment, TConfigurationData* AConfigurationData, TLogData* ALogData,
                   TFileQueue* AFileQueue, TMessagePoster* poster = nullptr, TSendEngineFtpOptions options = {});
    ~TSendEngineFTP() override;

    std::int64_t SendFiles(std::int32_t iFilesNumb) override;

    // Index of the host the next session starts with.
    std::int32_t CurrentHost() const { return _iCurrentHost; }
    // The session id of the last session that got one.
    const std::string& RemoteDir() const { return _sRemoteDir; }
    TSenderFTP& FtpSender() { return *_ftpSender; }
    // For an engine that someone else created (the sender's): see TSendEngineFtpOptions.
    void SetOptions(const TSendEngineFtpOptions& options);

    // "Files_" + id + ".sfv"
    static std::string SfvFileName(const std::string& sSessionId);
    // The session id in the first line of a "site uniquetime" reply: the text after its
    // first "-", trimmed (the whole line trimmed when it holds none).
    static std::string SessionIdOfReply(const std::string& sFirstLine);

private:
    void DefineTransactions();
    bool RunJobGuarded();
    void TakeNextHost();
    std::string HostName() const;
    std::string HostPort() const;
    std::string HostText() const { return HostName() + ":" + HostPort(); }
    // Up to kRemoteAttempts tries; after each failure the debug lines with the server's
    // response and a pause.
    bool RemoteWithRetries(const std::string& sWhat, const TObjectBooleanFunc& attempt);

    // "JOB"
    bool CheckRemoteCertificate();
    bool RollbackCheckRemoteCertificate();
    bool CreateSfvFile();
    bool RollbackCreateSfvFile();
    bool SendSfvFile();
    bool UploadFiles();
    bool AwayFilesFromQueue();
    // "JOB PREPAREHOST"
    bool GetRemoteDateTime();
    bool CreateRemoteDir();
    bool RollbackCreateRemoteDir();
    bool ChangeRemoteDir();
    bool RollbackChangeRemoteDir();
    // "JOB UPLOADFILES"
    bool BackupFileToTmp();
    bool SendFileToRemote();
    bool BackupFileToBak();
    bool RollbackBackupFileToBak();
    bool DeleteInputFile();

    TSendEngineFtpOptions _rOptions;
    std::int32_t _iCurrentHost = 0;
    std::unique_ptr<TSenderFTP> _ftpSender;
    std::string _msSFV;
    std::unique_ptr<TTransactionSimple> _tsPrepareHost;
    std::unique_ptr<TTransactionSimple> _tsUpload;
    std::int32_t _iHostChanges = 0;
    std::string _sSFVName;
    std::string _sRemoteDir;
};
