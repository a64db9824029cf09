#include "transfer/OSendEngineFtp.h"

#include <fstream>
#include <thread>

#include "collect/OFileQueue.h"
#include "config/OConfigurationData.h"
#include "foundation/VeltEnvironment.h"
#include "foundation/VeltUtilsBooleanOperations.h"
#include "foundation/VeltUtilsStringOperations.h"
#include "foundation/platform/FileCopy.h"
#include "log/VeltStraightLogData.h"
#include "log/VeltStraightLogReporter.h"

namespace {

const char* const kCrLf = "\r\n";

std::string Number(long long value) { return IntToTrimmedStr(value); }

std::string EntryOf(const TStringList& list, std::int32_t index) {
    return index >= 0 && static_cast<std::size_t>(index) < list.size() ? list[static_cast<std::size_t>(index)]
                                                                       : std::string();
}

std::string JoinPath(const std::string& directory, const std::string& name) {
    return (!directory.empty() && directory.back() == '/') ? directory + name : directory + "/" + name;
}

// The session id names a local file and a remote directory: the server must not be
// able to point either anywhere else.
bool IsUsableSessionId(const std::string& id) {
    if (id.empty() || id == "." || id == "..") return false;
    for (const char c : id) {
        if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
    }
    return true;
}

}  // namespace

TSendEngineFTP::TSendEngineFTP(const TEnvironment& environment, TConfigurationData* AConfigurationData,
                               TLogData* ALogData, TFileQueue* AFileQueue, TMessagePoster* poster,
                               TSendEngineFtpOptions options)
    : TSendEngine("TSendEngineFTP", environment, AConfigurationData, ALogData, AFileQueue, poster) {
    _ftpSender = std::make_unique<TSenderFTP>(AConfigurationData, ALogData);
    SetOptions(options);
    DefineTransactions();
}

void TSendEngineFTP::SetOptions(const TSendEngineFtpOptions& options) {
    _rOptions = options;
    _ftpSender->SetIdentPort(options.iIdentPort);
    _ftpSender->SetAttemptPause(options.iAttemptPause);
}

TSendEngineFTP::~TSendEngineFTP() = default;

void TSendEngineFTP::DefineTransactions() {
    _tsPrepareHost = std::make_unique<TTransactionSimple>("JOB PREPAREHOST", 3);
    _tsPrepareHost->DefineProcedure("getremotedatetime", 1, [this] { return GetRemoteDateTime(); }, {});
    _tsPrepareHost->DefineProcedure("createremotedir", 2, [this] { return CreateRemoteDir(); },
                                    [this] { return RollbackCreateRemoteDir(); });
    _tsPrepareHost->DefineProcedure("changeremotedir", 3, [this] { return ChangeRemoteDir(); },
                                    [this] { return RollbackChangeRemoteDir(); });

    _tsUpload = std::make_unique<TTransactionSimple>("JOB UPLOADFILES", 4);
    _tsUpload->DefineProcedure("backupfiletotmp", 1, [this] { return BackupFileToTmp(); }, {});
    _tsUpload->DefineProcedure("sendfile", 2, [this] { return SendFileToRemote(); }, {});
    _tsUpload->DefineProcedure("backupfiletobak", 3, [this] { return BackupFileToBak(); },
                               [this] { return RollbackBackupFileToBak(); });
    _tsUpload->DefineProcedure("deleteinputfile", 4, [this] { return DeleteInputFile(); }, {});

    _tsJob = std::make_unique<TTransactionSimple>("JOB", 6);
    _tsJob->DefineProcedure("checkremotecertificate", 1, [this] { return CheckRemoteCertificate(); },
                            [this] { return RollbackCheckRemoteCertificate(); });
    _tsJob->DefineTransaction("preparehost", 2, _tsPrepareHost.get());
    _tsJob->DefineProcedure("createsfvfile", 3, [this] { return CreateSfvFile(); },
                            [this] { return RollbackCreateSfvFile(); });
    _tsJob->DefineProcedure("sendsfvfile", 4, [this] { return SendSfvFile(); }, {});
    _tsJob->DefineProcedure("uploadfiles", 5, [this] { return UploadFiles(); }, {});
    _tsJob->DefineProcedure("awayfiles", 6, [this] { return AwayFilesFromQueue(); }, {});
}

std::string TSendEngineFTP::SfvFileName(const std::string& sSessionId) {
    return ReplaceAll("Files_$.sfv", "$", sSessionId);
}

std::string TSendEngineFTP::SessionIdOfReply(const std::string& sFirstLine) {
    const std::size_t dash = sFirstLine.find('-');
    return TrimBlanks(dash == std::string::npos ? sFirstLine : sFirstLine.substr(dash + 1));
}

std::string TSendEngineFTP::HostName() const {
    return EntryOf(_oConfigurationData->_rData.rFtpTransfer.slHostNames, _iCurrentHost);
}

std::string TSendEngineFTP::HostPort() const {
    return EntryOf(_oConfigurationData->_rData.rFtpTransfer.slHostPorts, _iCurrentHost);
}

// ---- session ----

std::int64_t TSendEngineFTP::SendFiles(std::int32_t iFilesNumb) {
    Post(WM_SENDINGSTARTED);
    _iHostChanges = 0;
    _iFilesQueue = iFilesNumb;
    _iFilesProcessed = 0;
    const auto hosts = static_cast<std::int32_t>(_oConfigurationData->_rData.rFtpTransfer.slHostNames.size());
    // A host list shortened since the last session starts over at its first host.
    if (_iCurrentHost < 0 || _iCurrentHost >= hosts) _iCurrentHost = 0;

    bool done = false;
    if (hosts == 0) {
        Log("error-no remote host defined");
    } else {
        Log("start file send session to remote host " + HostText() + ", files found: " + Number(iFilesNumb));
        Debug(_oConfigurationData->_rData.rFtpTransfer.lPassive ? "ftp client in passive mode"
                                                                : "ftp client in active mode");
        TReporterLink link(_oLogData, _oEnvironment, DebugMode());
        do {
            done = RunJobGuarded();
            if (done) break;
            TakeNextHost();
        } while (_iHostChanges != hosts);
    }

    _iFilesErrors = _iFilesQueue - _iFilesProcessed;
    Post(done ? WM_SENDINGDONE : WM_SENDINGFAILED);
    Log("files processed: " + Number(_iFilesProcessed));
    Log("end file send session");
    return static_cast<std::int64_t>(_iFilesProcessed) * kProcessedFactor + _iFilesErrors;
}

bool TSendEngineFTP::RunJobGuarded() {
    try {
        return _tsJob->Run();
    } catch (const std::exception& error) {
        // Only a definition error gets here; the batch stays queued like after any failure.
        Log(std::string("error-while running file send job-") + error.what());
        return false;
    }
}

void TSendEngineFTP::TakeNextHost() {
    const auto hosts = static_cast<std::int32_t>(_oConfigurationData->_rData.rFtpTransfer.slHostNames.size());
    if (_iHostChanges >= hosts) {
        Log("error-no more remote host defined");
        _iHostChanges = hosts;
        return;
    }
    ++_iHostChanges;
    _iCurrentHost = (_iCurrentHost + 1) % hosts;
    if (_iHostChanges == hosts) {
        Log("warning-cannot take next remote host-no more hosts-all defined were tried");
    } else {
        Log("taking next remote host " + HostText());
    }
}

bool TSendEngineFTP::RemoteWithRetries(const std::string& sWhat, const TObjectBooleanFunc& attempt) {
    for (int n = 1; n <= kRemoteAttempts; ++n) {
        if (attempt()) return true;
        Debug(sWhat + Number(n) + " time(s) unsuccessful");
        Debug("remote response:");
        int j = 0;
        for (const std::string& line : _ftpSender->FullResult()) Debug(Number(++j) + ":" + line);
        std::this_thread::sleep_for(_rOptions.iAttemptPause);
    }
    return false;
}

// ---- "JOB" ----

bool TSendEngineFTP::CheckRemoteCertificate() {
    const TConfigurationDataFtpTransfer& ftp = _oConfigurationData->_rData.rFtpTransfer;
    Log("checking certificate of remote host " + HostText());
    const std::int32_t result =
        _ftpSender->CheckRemoteCertificate(DebugMode(), true, true, ftp.sLogin, ftp.sIdent, ftp.sPassword, HostName(),
                                           HostPort(), ftp.iConnTimeout, ftp.lPassive, ftp.lSecure);
    if (result == kFtpCheckVerified) return true;
    Log("error-while checking remote host certificate-rollback");
    return false;
}

bool TSendEngineFTP::RollbackCheckRemoteCertificate() {
    Log("rollback-disconnect from remote host");
    return _ftpSender->DisconnectHost(DebugMode());
}

bool TSendEngineFTP::CreateSfvFile() {
    Log("creating CRC integrity checksum file");
    const TEnvironmentProgramData& program = _oEnvironment.ProgramData();
    _msSFV.clear();
    _msSFV += "# [" + program.sProgramLicence + "]" + "ZELKOTRANSFER" + " " + program.sProgramVersion + " ( " +
              _oConfigurationData->_rData.rHttpTransfer.rBase.sLogin + " )" + kCrLf;
    _oFileQueue->ResetGetInfoFile();
    for (std::int32_t i = 1; i <= _iFilesQueue; ++i) {
        std::int32_t crsRow = 0, dataRow = 0;
        std::string name, crc32, md5, sha1;
        // An entry that cannot be read gets no lines: they would repeat another file's.
        if (!_oFileQueue->GetInfoFile(crsRow, dataRow, name, crc32, md5, sha1)) {
            Debug("createsfvfile getinfofile error:" + Number(i));
            continue;
        }
        const std::string transferName = MakeTransferFileName(name, _sRemoteDir, crsRow);
        _msSFV += transferName + " " + crc32 + kCrLf;
        _msSFV += "# MD5: " + transferName + " " + md5 + kCrLf;
        _msSFV += "# SHA1: " + transferName + " " + sha1 + kCrLf;
    }
    _sSFVName = _oEnvironment.Paths().sUserLocalTemp + SfvFileName(_sRemoteDir);
    std::ofstream out(_sSFVName, std::ios::binary | std::ios::trunc);
    out.write(_msSFV.data(), static_cast<std::streamsize>(_msSFV.size()));
    out.close();
    if (out) return true;
    Log("error-creating CRC integrity checksum file-rollback");
    return false;
}

bool TSendEngineFTP::RollbackCreateSfvFile() {
    if (!platform::FileExists(_sSFVName)) return true;
    Debug("rollback-remove CRC file");
    return DeleteFileWithRetries(_sSFVName);
}

bool TSendEngineFTP::SendSfvFile() {
    Log("sending CRC data to remote");
    if (_ftpSender->SendFile(DebugMode(), _sSFVName)) return DeleteFileWithRetries(_sSFVName);
    Log("error-sending CRC data to remote-rollback");
    return false;
}

bool TSendEngineFTP::UploadFiles() {
    const TConfigurationDataWatchingRules& rules = _oConfigurationData->_rData.rWatchingRules;
    _iFilesProcessed = 0;
    _oFileQueue->ResetGetInfoFile();
    for (std::int32_t i = 1; i <= _iFilesQueue; ++i) {
        std::int32_t crsRow = 0, dataRow = 0;
        std::string name, crc32, md5, sha1;
        // Without its entry the file is unknown; what the previous one left must not be sent again.
        if (!_oFileQueue->GetInfoFile(crsRow, dataRow, name, crc32, md5, sha1)) {
            Debug("uploadfiles getinfofile error:" + Number(i));
            continue;
        }
        Debug("upload:" + Number(i) + ":" + name + "," + crc32 + "," + md5);
        const std::string transferName = MakeTransferFileName(name, _sRemoteDir, crsRow);
        _sDataFile = JoinPath(EntryOf(rules.slDataDirs, dataRow), name);
        _sDataFileBakTmp = _oEnvironment.Paths().sUserLocalTemp + transferName;
        _sDataFileBak = JoinPath(EntryOf(rules.slBakDirs, dataRow), transferName);
        const bool uploaded = _tsUpload->Run();
        if (uploaded) ++_iFilesProcessed;
        Debug("upload result:" + BooleanToYesNo(uploaded));
        if (platform::FileExists(_sDataFileBakTmp)) {
            Debug("delete file " + _sDataFileBakTmp);
            if (!DeleteFileWithRetries(_sDataFileBakTmp)) Debug("cannot delete backup file " + _sDataFileBakTmp);
        }
    }
    return true;
}

bool TSendEngineFTP::AwayFilesFromQueue() {
    Debug("filequeue before away file ( " + Number(_oFileQueue->FilesPut()) + "," + Number(_oFileQueue->FilesAway()) +
          " )");
    const bool away = _oFileQueue->AwayFiles(_iFilesQueue);
    Debug("filequeue after away file ( " + Number(_oFileQueue->FilesPut()) + "," + Number(_oFileQueue->FilesAway()) +
          " )");
    return away;
}

// ---- "JOB PREPAREHOST" ----

bool TSendEngineFTP::GetRemoteDateTime() {
    Log("setting session");
    Debug("get remote uniquetime");
    return RemoteWithRetries("get timestamp ", [this] {
        if (_ftpSender->FtpCommand("site uniquetime") != 200 || _ftpSender->FullResult().empty()) return false;
        const std::string id = SessionIdOfReply(_ftpSender->FullResult().front());
        if (!IsUsableSessionId(id)) return false;
        _sRemoteDir = id;
        return true;
    });
}

bool TSendEngineFTP::CreateRemoteDir() {
    Debug("creating dir " + _sRemoteDir + " on remot host");
    return RemoteWithRetries("create remote dir ", [this] {
        _ftpSender->CreateDir(_sRemoteDir);
        return _ftpSender->ResultCode() == 257;
    });
}

bool TSendEngineFTP::RollbackCreateRemoteDir() {
    Debug("rollback-remove created dir on remote");
    return RemoteWithRetries("remove remote dir ", [this] {
        _ftpSender->DeleteDir(_sRemoteDir);
        return _ftpSender->ResultCode() == 250;
    });
}

bool TSendEngineFTP::ChangeRemoteDir() {
    Debug("changing remote dir to " + _sRemoteDir);
    const bool changed = RemoteWithRetries("change remote dir ", [this] {
        _ftpSender->ChangeWorkingDir(_sRemoteDir);
        return _ftpSender->ResultCode() == 250;
    });
    if (changed) {
        Log("session id: " + _sRemoteDir);
    } else {
        Log("error-setting session-rollback");
    }
    return changed;
}

bool TSendEngineFTP::RollbackChangeRemoteDir() {
    Debug("rollback-change to root dir on remote");
    return RemoteWithRetries("change remote dir to root", [this] {
        _ftpSender->ChangeToRootDir();
        return _ftpSender->ResultCode() == 250;
    });
}

// ---- "JOB UPLOADFILES" ----

bool TSendEngineFTP::BackupFileToTmp() {
    Debug("copying file " + _sDataFile + " to " + _sDataFileBakTmp);
    if (CopyFileWithRetries(_sDataFile, _sDataFileBakTmp)) return true;
    Debug("copy file unsuccessfull");
    return false;
}

bool TSendEngineFTP::SendFileToRemote() {
    Log("sending file " + _sDataFile + " to remote");
    if (_ftpSender->SendFile(DebugMode(), _sDataFileBakTmp)) return true;
    Log("error-cannot upload file to remote, rollback");
    Debug("upload file to remote unsuccessfull");
    return false;
}

bool TSendEngineFTP::BackupFileToBak() {
    if (DebugMode()) {
        Log("[debug] copying file " + _sDataFileBakTmp + " to " + _sDataFileBak);
    } else {
        Log("copying file to backup file " + _sDataFileBak);
    }
    if (CopyFileWithRetries(_sDataFileBakTmp, _sDataFileBak)) return true;
    Log("error-cannot create backup, rollback");
    Debug("copy file unsuccessfull");
    return false;
}

bool TSendEngineFTP::RollbackBackupFileToBak() {
    Debug("rollback, delete file " + _sDataFileBak);
    if (!platform::FileExists(_sDataFileBak)) return true;
    if (DeleteFileWithRetries(_sDataFileBak)) return true;
    Log("error-file " + _sDataFileBak + " not deleted");
    return false;
}

bool TSendEngineFTP::DeleteInputFile() {
    if (DebugMode()) {
        Log("[debug] delete file " + _sDataFile);
    } else {
        Log("removing file " + _sDataFile + " from input");
    }
    if (DeleteFileWithRetries(_sDataFile)) return true;
    Log("error-cannot delete input file, rollback");
    Debug("delete file unsuccessfull");
    return false;
}
