#include "transfer/OSendEngineHttp.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "collect/OFileQueue.h"
#include "config/OCRSTypes.h"
#include "config/OConfigurationData.h"
#include "foundation/VeltDigitalStamps.h"
#include "foundation/VeltEnvironment.h"
#include "foundation/VeltUtilsBooleanOperations.h"
#include "foundation/VeltUtilsDateTimeOperations.h"
#include "foundation/VeltUtilsStringOperations.h"
#include "foundation/VeltXmlLatin1Writer.h"

namespace {

std::string EntryOf(const TStringList& list, std::int32_t row) {
    return row >= 0 && static_cast<std::size_t>(row) < list.size() ? list[static_cast<std::size_t>(row)]
                                                                   : std::string();
}

std::string JoinPath(const std::string& directory, const std::string& name) {
    return (!directory.empty() && directory.back() == '/') ? directory + name : directory + "/" + name;
}

std::string Yes(bool value) { return BooleanToYesNo(value); }

std::string Number(long long value) { return IntToTrimmedStr(value); }

bool ReadWholeFile(const std::string& path, std::string& content) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// A decimal integer and nothing else, as the server's status texts must be.
bool ParseInteger(const std::string& text, std::int32_t& value) {
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    return !text.empty() && error == std::errc() && stop == end;
}

// The encoding the server expects for a CRS code: that of the first row with the code.
std::string EncodingOfCode(const std::string& code) {
    const int row = CRSTypeRowOfCode(code);
    return row == 0 ? std::string("unknown") : asCRSTypeEncodings[row];
}

void AddTextChild(pugi::xml_node parent, const char* name, const std::string& text) {
    parent.append_child(name).text().set(text.c_str());
}

bool EndsWithTimeSignature(const std::string& text) {
    constexpr std::size_t kDigits = 14;
    if (text.size() < kDigits) return false;
    return std::all_of(text.end() - kDigits, text.end(),
                       [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
}

// A name the engines give temporary copies: a CRS code, "_", the file name with a time
// signature before its extension (or at its end).
bool IsTransferName(const std::string& name) {
    const std::size_t underscore = name.find('_');
    if (underscore == std::string::npos || CRSTypeRowOfCode(name.substr(0, underscore)) == 0) return false;
    const std::size_t dot = name.rfind('.');
    return EndsWithTimeSignature(name) || (dot != std::string::npos && EndsWithTimeSignature(name.substr(0, dot)));
}

}  // namespace

TSendEngineHTTP::TSendEngineHTTP(const TEnvironment& environment, TConfigurationData* AConfigurationData,
                                 TLogData* ALogData, TFileQueue* AFileQueue, TMessagePoster* poster)
    : TSendEngine("TSendEngineHTTP", environment, AConfigurationData, ALogData, AFileQueue, poster),
      _httpSender(std::make_unique<TSenderHTTP>(environment, AConfigurationData, ALogData)) {
    _rUploadResult.slName.reserve(kMaxBatchFiles);
    _rUploadResult.aStatus.reserve(kMaxBatchFiles);
    _rUploadResult.slDescr.reserve(kMaxBatchFiles);
    DefineTransactions();
    RemoveLeftoverTemporaryCopies();
}

TSendEngineHTTP::~TSendEngineHTTP() = default;

void TSendEngineHTTP::DefineTransactions() {
    _tsResumePackage = std::make_unique<TTransactionSimple>("JOB RESUMEPACKAGE", 2);
    _tsResumePackage->DefineProcedure("backupfiletobak", 1, [this] { return BackupFileToBak(); },
                                      [this] { return DeleteBakBackup(); });
    _tsResumePackage->DefineProcedure("deleteinputandbaktmpfile", 2, [this] { return DeleteInputFile(); }, {});

    _tsPreparePackage = std::make_unique<TTransactionSimple>("JOB PREPAREPACKAGE", 2);
    _tsPreparePackage->DefineProcedure("backupfiletotmp", 1, [this] { return BackupFileToTmp(); },
                                       [this] { return DeleteTmpBackup(); });
    _tsPreparePackage->DefineProcedure("preparerequest", 2, [this] { return PrepareRequest(); }, {});

    _tsJob = std::make_unique<TTransactionSimple>("JOB", 6);
    _tsJob->DefineProcedure("checkremotecertificate", 1, [this] { return CheckRemoteCertificate(); }, {});
    _tsJob->DefineProcedure("preparepackage", 2, [this] { return PreparePackage(); },
                            [this] { return UnpreparePackage(); });
    _tsJob->DefineProcedure("sendpackage", 3, [this] { return SendPackage(); }, {});
    _tsJob->DefineProcedure("categorizefiles", 4, [this] { return CategorizeFiles(); }, {});
    _tsJob->DefineProcedure("resumepackage", 5, [this] { return ResumePackage(); }, {});
    _tsJob->DefineProcedure("awayfiles", 6, [this] { return AwayFiles(); }, {});
}

void TSendEngineHTTP::RemoveLeftoverTemporaryCopies() {
    // Never the only copy of anything: an input is deleted only after its backup copy exists.
    const std::string& directory = _oEnvironment.Paths().sUserLocalTemp;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        std::error_code typeError;
        if (!it->is_regular_file(typeError) || !IsTransferName(name)) continue;
        if (platform::RemoveFile(it->path().string())) Debug("temporary file of an earlier run removed: " + name);
    }
}

std::int64_t TSendEngineHTTP::SendFiles(std::int32_t iFilesNumb) {
    // A batch never exceeds the queue; positions beyond it would have nowhere to go.
    iFilesNumb = std::clamp(iFilesNumb, 0, kMaxBatchFiles);
    return RunSession(iFilesNumb, "start file send session, file(s) found: " + Number(iFilesNumb));
}

void TSendEngineHTTP::ResetSessionState() {
    _rPreparedFiles.iFiles = 0;
    _rPreparedFiles.aList.fill(0);
    _aInputStates.fill({});
    _rUploadResult = {};
    _iPosition = 0;
}

// ---- the current file ----

bool TSendEngineHTTP::ReadQueueEntry(TQueueEntry& entry) {
    return _oFileQueue->GetInfoFile(entry.iBookingType, entry.iDataRow, entry.sName, entry.sCrc32, entry.sMd5,
                                    entry.sSha1);
}

std::string TSendEngineHTTP::SetCurrentFile(const TQueueEntry& entry) {
    const TConfigurationDataWatchingRules& rules = _oConfigurationData->_rData.rWatchingRules;
    _sTransferName = MakeTransferFileName(entry.sName, _sTimesig, entry.iBookingType);
    _sFileCrc32 = entry.sCrc32;
    _sDataFile = JoinPath(EntryOf(rules.slDataDirs, entry.iDataRow), entry.sName);
    _sDataFileBakTmp = _oEnvironment.Paths().sUserLocalTemp + _sTransferName;
    _sDataFileBak = JoinPath(EntryOf(rules.slBakDirs, entry.iDataRow), _sTransferName);
    return _sTransferName;
}

// ---- step 1 ----

bool TSendEngineHTTP::CheckRemoteCertificate() {
    const TConfigurationDataHttpTransfer& http = _oConfigurationData->_rData.rHttpTransfer;
    Log("checking certificate of remote host " + http.rBase.sUrl +
        (http.rBase.sPort.empty() ? std::string() : " on port " + http.rBase.sPort));
    Debug("proxy active: " + Yes(http.rProxy.lProxyActive));
    Debug("proxy IE type: " + Yes(http.rProxy.lProxyIEType));
    Debug("proxy host: " + http.rProxy.sProxyHost);
    Debug("proxy port: " + http.rProxy.sProxyPort);
    const int result = http.rCheck.lValidCertOnWatchAndUpload
                           ? _httpSender->CheckRemoteCertificate(DebugMode(), true, http.rBase, http.rProxy,
                                                                 http.rCert)
                           : kCheckVerified;
    if (result != kCheckVerified) {
        Log("error-while checking remote host certificate-rollback");
        return false;
    }
    return true;
}

// ---- step 2 ----

bool TSendEngineHTTP::PreparePackage() {
    const TConfigurationDataHttpTransferBase& base = _oConfigurationData->_rData.rHttpTransfer.rBase;
    _rPreparedFiles.aList.fill(0);
    _sTimesig = NowAsCompactText();
    Log("session id: " + _sTimesig);

    _httpSender->PrepareXmlRequest(kRequestUpload, "1.0", base.sLogin, base.sPassword);
    std::string& request = _httpSender->RequestStream();
    _xmlData.load_buffer(request.data(), request.size(), pugi::parse_default, pugi::encoding_auto);
    request.clear();

    _oFileQueue->ResetGetInfoFile();
    for (_iPosition = 1; _iPosition <= _iFilesQueue; ++_iPosition) {
        TQueueEntry entry;
        if (!ReadQueueEntry(entry)) {
            Debug("prepare getinfofile error:no");
            continue;
        }
        Debug("prepare:" + Number(_iPosition) + "," + entry.sName + "," + entry.sCrc32 + "," + entry.sMd5);
        SetCurrentFile(entry);
        Log("preparing file " + _sDataFile + " to send");
        const bool prepared = _tsPreparePackage->Run();
        Debug("prepare result:" + Yes(prepared));
        if (prepared) {
            ++_rPreparedFiles.iFiles;
            _rPreparedFiles.aList[static_cast<std::size_t>(_iPosition)] = 1;
        } else {
            Log("warning-file " + _sDataFile + " not prepared");
            if (!platform::FileExists(_sDataFile)) {
                Log("warning-file " + _sDataFile + " no longer in its data directory-queue entry dropped");
            }
        }
    }

    if (_rPreparedFiles.iFiles > 0) request = SaveXmlAsLatin1(_xmlData);
    _xmlData.reset();
    if (_rPreparedFiles.iFiles > 0) return true;

    // Retrying a batch none of whose files can be read would hold up the queue forever.
    // The files still there are collected again and come back in a batch of their own.
    if (_iFilesQueue > 0 && AwayBatch()) {
        Log("warning-no file of the batch prepared-" + Number(_iFilesQueue) + " file(s) removed from queue");
    }
    return false;
}

bool TSendEngineHTTP::BackupFileToTmp() {
    Debug("copying file " + _sDataFile + " to " + _sDataFileBakTmp);
    // Nothing relies on the temporary copy after a crash: it need not reach the disk.
    const bool copied = CopyFileWithRetries(_sDataFile, _sDataFileBakTmp,
                                            &_aInputStates[static_cast<std::size_t>(_iPosition)], false);
    if (!copied) Debug("copy file unsuccessfull");
    return copied;
}

bool TSendEngineHTTP::DeleteTmpBackup() {
    Debug("deleting file " + _sDataFileBakTmp);
    if (!platform::FileExists(_sDataFileBakTmp)) return true;
    const bool deleted = DeleteFileWithRetries(_sDataFileBakTmp);
    if (!deleted) Log("error-file " + _sDataFileBakTmp + " not deleted");
    return deleted;
}

bool TSendEngineHTTP::PrepareRequest() {
    Debug("posting file: " + _sDataFileBakTmp + "," + _sFileCrc32);
    if (!ReadWholeFile(_sDataFileBakTmp, _msFile)) {
        Debug("cannot read file " + _sDataFileBakTmp);
        _msFile.clear();
        return false;
    }
    const std::string content = std::move(_msFile);
    _msFile.clear();

    const std::string code = _sTransferName.substr(0, _sTransferName.find('_'));
    pugi::xml_node fileKey = _xmlData.document_element().append_child("FileKey");
    AddTextChild(fileKey, "Name", _sTransferName);
    AddTextChild(fileKey, "KmrCode", code);
    AddTextChild(fileKey, "KmrEncoding", EncodingOfCode(code));
    AddTextChild(fileKey, "ContentType", "gzip/base64");
    AddTextChild(fileKey, "Content", Base64Encode(GzipCompress(content)));
    AddTextChild(fileKey, "SHA1", StampSha1(content));
    return true;
}

bool TSendEngineHTTP::UnpreparePackage() {
    if (_rPreparedFiles.iFiles == 0) return true;
    bool allUndone = true;
    for (std::int32_t position = _iFilesQueue; position >= 1; --position) {
        if (_rPreparedFiles.aList[static_cast<std::size_t>(position)] != 1) continue;
        _oFileQueue->ResetGetInfoFile();
        TQueueEntry entry;
        std::int32_t read = 0;
        while (read < position && ReadQueueEntry(entry)) ++read;
        if (read < position) {
            Debug("unpreparepackage getinfofile error: " + Number(position) + "," + Number(read));
            allUndone = false;
            continue;
        }
        _iPosition = position;
        SetCurrentFile(entry);
        Debug("unprepare: " + Number(position) + "," + _sDataFileBakTmp);
        const bool undone = _tsPreparePackage->FullRollback();
        Debug("unprepare result:" + Yes(undone));
        allUndone = allUndone && undone;
    }
    if (!allUndone) Log("warning-not all files unprepared");
    return true;
}

// ---- step 3 ----

bool TSendEngineHTTP::SendPackage() {
    const TConfigurationDataHttpTransfer& http = _oConfigurationData->_rData.rHttpTransfer;
    Log("uploading " + Number(_rPreparedFiles.iFiles) + " file(s) to remote");
    if (!_httpSender->SendHttpData(DebugMode(), http.rBase.sUrl + TSenderHTTP::ScriptOfRequest(kRequestUpload),
                                   http.rBase.sPort, http.rProxy)) {
        Log("error-sending files to remote, rollback");
        return false;
    }
    return true;
}

// ---- step 4 ----

bool TSendEngineHTTP::CategorizeFiles() {
    const bool accepted = ParseUploadResponse() && CheckUploadResponse();
    _xmlData.reset();
    return accepted;
}

bool TSendEngineHTTP::ParseUploadResponse() {
    std::string& body = _httpSender->Document();
    const pugi::xml_parse_result parsed =
        _xmlData.load_buffer(body.data(), body.size(), pugi::parse_default, pugi::encoding_auto);
    if (!parsed || !_xmlData.document_element()) {
        Debug("bad response format:");
        for (const std::string& line : TSenderHTTP::SplitLines(body)) Debug(line);
        body.clear();
        return false;
    }
    body.clear();
    return true;
}

bool TSendEngineHTTP::CheckUploadResponse() {
    const pugi::xml_node root = _xmlData.document_element();
    if (std::string(root.name()) != "ZelkoUploadResult") {
        Debug("bad response data-invalid root node");
        return false;
    }
    static const std::pair<const char*, const char*> kRequiredChildren[] = {
        {"UserName", "bad response data-no user data"},
        {"Password", "bad response data-no pwd data"},
        {"Status", "bad response data-no verify status data"},
        {"Description", "bad response data-no verify description data"}};
    for (const auto& [name, complaint] : kRequiredChildren) {
        if (!root.child(name)) {
            Debug(complaint);
            return false;
        }
    }
    std::string password;
    if (!Base64DecodeStrict(root.child_value("Password"), password)) {
        Debug("bad response data-cannot decode data");
        return false;
    }
    const TConfigurationDataHttpTransferBase& base = _oConfigurationData->_rData.rHttpTransfer.rBase;
    if (root.child_value("UserName") != base.sLogin || password != base.sPassword) {
        Debug("bad response data-invalid user/password data");
        return false;
    }
    const std::string statusText = root.child_value("Status");
    std::int32_t status = 0;
    if (!ParseInteger(statusText, status)) {
        Debug("bad response data-unknown status:" + statusText);
        return false;
    }
    if (status != 0) {
        Log("error-status:" + statusText + ", filekey server explanation:" + root.child_value("Description"));
        return false;
    }
    CollectFileKeys(root);
    if (!AllFilesReported()) return false;

    bool anyRefused = false;
    _oFileQueue->ResetGetInfoFile();
    for (std::int32_t position = 1; position <= _iFilesQueue; ++position) {
        TQueueEntry entry;
        if (!ReadQueueEntry(entry)) {
            Debug("categorizefiles getinfofile error:" + Number(position));
            return false;
        }
        if (_rPreparedFiles.aList[static_cast<std::size_t>(position)] != 1) continue;
        const std::string transferName = MakeTransferFileName(entry.sName, _sTimesig, entry.iBookingType);
        const std::int32_t index = IndexOfName(transferName);
        if (index < 0) {
            Debug("response data-file name missing:" + transferName);
            return false;
        }
        if (_rUploadResult.aStatus[static_cast<std::size_t>(index)] == 1) {
            anyRefused = true;
            Debug("file not uploaded:" + transferName +
                  ", filekey server explanation: " + _rUploadResult.slDescr[static_cast<std::size_t>(index)]);
        }
    }
    if (anyRefused) {
        Log("warning-some files uploaded with errors to remote, they will be repeated");
    } else {
        Log("files uploaded correctly: " + Number(_rPreparedFiles.iFiles));
    }
    return true;
}

void TSendEngineHTTP::CollectFileKeys(const pugi::xml_node& root) {
    _rUploadResult = {};
    for (const pugi::xml_node& element : root.children("FileKey")) {
        ++_rUploadResult.iElems;
        if (element.child("Name")) _rUploadResult.slName.push_back(element.child_value("Name"));
        std::int32_t status = 0;
        if (element.child("Status") && ParseInteger(element.child_value("Status"), status) &&
            (status == 0 || status == 1)) {
            _rUploadResult.aStatus.push_back(status);
        }
        if (element.child("Description")) _rUploadResult.slDescr.push_back(element.child_value("Description"));
    }
}

bool TSendEngineHTTP::AllFilesReported() {
    const std::int32_t elements = _rUploadResult.iElems;
    const auto names = static_cast<std::int32_t>(_rUploadResult.slName.size());
    const auto statuses = static_cast<std::int32_t>(_rUploadResult.aStatus.size());
    const auto descriptions = static_cast<std::int32_t>(_rUploadResult.slDescr.size());
    if (_rPreparedFiles.iFiles != elements) {
        Debug("bad response data-not all filekeys reported ( " + Number(_rPreparedFiles.iFiles) + ", " +
              Number(elements) + " )");
        return false;
    }
    if (names != elements) {
        Debug("bad response data-too less file names ( " + Number(elements) + ", " + Number(names) + " )");
        return false;
    }
    if (statuses != elements) {
        Debug("bad response data-too less file stauses ( " + Number(elements) + ", " + Number(statuses) + " )");
        return false;
    }
    if (descriptions != elements) {
        Debug("bad response data-too less file descriptions ( " + Number(elements) + ", " + Number(descriptions) +
              " )");
        return false;
    }
    return true;
}

std::int32_t TSendEngineHTTP::IndexOfName(const std::string& sTransferName) const {
    const std::string wanted = LowerCaseAscii(sTransferName);
    for (std::size_t i = 0; i < _rUploadResult.slName.size(); ++i) {
        if (LowerCaseAscii(_rUploadResult.slName[i]) == wanted) return static_cast<std::int32_t>(i);
    }
    return -1;
}

// ---- step 5 ----

bool TSendEngineHTTP::ResumePackage() {
    _iFilesProcessed = 0;
    _oFileQueue->ResetGetInfoFile();
    for (_iPosition = 1; _iPosition <= _iFilesQueue; ++_iPosition) {
        TQueueEntry entry;
        if (!ReadQueueEntry(entry)) {
            Debug("resumepackage getinfofile error:" + Number(_iPosition));
            continue;
        }
        if (_rPreparedFiles.aList[static_cast<std::size_t>(_iPosition)] != 1) continue;
        const std::string transferName = SetCurrentFile(entry);
        const std::int32_t index = IndexOfName(transferName);
        if (index >= 0 && _rUploadResult.aStatus[static_cast<std::size_t>(index)] == 0) {
            Debug("resume:" + Number(_iPosition) + "," + _sDataFileBakTmp);
            const bool completed = _tsResumePackage->Run();
            if (completed) ++_iFilesProcessed;
            Debug("resume result:" + Yes(completed));
        }
        if (platform::FileExists(_sDataFileBakTmp)) {
            Debug("deleting file:" + Number(_iPosition) + "," + _sDataFileBakTmp);
            if (!DeleteFileWithRetries(_sDataFileBakTmp)) Debug("cannot delete backup file " + _sDataFileBakTmp);
        }
    }
    return true;
}

bool TSendEngineHTTP::BackupFileToBak() {
    Log("creating backup file for " + _sDataFile);
    Debug("copying file " + _sDataFileBakTmp + " to " + _sDataFileBak);
    if (CopyFileWithRetries(_sDataFileBakTmp, _sDataFileBak)) return true;
    Log("error-creating backup file for " + _sDataFile + ", rollback");
    Debug("file " + _sDataFileBakTmp + " not copied to backup dir as " + _sDataFileBak);
    return false;
}

bool TSendEngineHTTP::DeleteBakBackup() {
    Debug("deleting file " + _sDataFileBak);
    if (!platform::FileExists(_sDataFileBak)) return true;
    const bool deleted = DeleteFileWithRetries(_sDataFileBak);
    if (!deleted) Log("error-file " + _sDataFileBak + " not deleted");
    return deleted;
}

bool TSendEngineHTTP::DeleteInputFile() {
    Log("deleting file " + _sDataFile + " from input");
    Debug("deleting file " + _sDataFile);
    const platform::TFileState now = platform::FileStateOf(_sDataFile);
    // Gone already: what the input held is on the server and in the backup directory.
    if (now.iSize < 0 && !platform::FileExists(_sDataFile)) return true;

    bool deleted = false;
    if (now != _aInputStates[static_cast<std::size_t>(_iPosition)]) {
        Debug("file " + _sDataFile + " changed since it was copied");
    } else {
        deleted = DeleteFileWithRetries(_sDataFile);
    }
    if (!deleted) {
        Log("error-deleting file " + _sDataFile + " from input, rollback");
        if (DebugMode()) Log("[debug} file " + _sDataFile + " not deleted from input");
    }
    return deleted;
}

// ---- step 6 ----

bool TSendEngineHTTP::AwayFiles() {
    Debug("filequeue before away file " + QueueCounters());
    const bool removed = AwayBatch();
    Debug("filequeue after away file " + QueueCounters());
    return removed;
}

bool TSendEngineHTTP::AwayBatch() {
    for (int attempt = 1; attempt <= kAwayAttempts; ++attempt) {
        if (_oFileQueue->AwayFiles(_iFilesQueue)) return true;
        Debug("away files " + Number(attempt) + " time(s) unsuccessful");
        if (attempt < kAwayAttempts) std::this_thread::sleep_for(_iAwayPause);
    }
    return false;
}

std::string TSendEngineHTTP::QueueCounters() const {
    return "( " + Number(_oFileQueue->FilesPut()) + "," + Number(_oFileQueue->FilesAway()) + " )";
}
