#include "collect/OFileCollector.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>

#include "collect/OFileQueue.h"
#include "config/OCRSTypes.h"
#include "config/OConfigurationData.h"
#include "foundation/VeltUtilsStringOperations.h"
#include "foundation/platform/ExclusiveFile.h"
#include "log/VeltStraightLogData.h"

namespace {

constexpr const char* kMarker = "COLLECTOR";
constexpr std::size_t kReadBufferSize = 256 * 1024;

std::string EntryOf(const TStringList& list, std::size_t row) { return row < list.size() ? list[row] : std::string(); }

std::string JoinPath(const std::string& directory, const std::string& name) {
    return (!directory.empty() && directory.back() == '/') ? directory + name : directory + "/" + name;
}

// Only plain files are collected: a symbolic link could hand the upload any file the
// agent may read, wherever it lies.
bool IsPlainFile(const dirent& entry, const std::string& path) {
    if (entry.d_type != DT_UNKNOWN) return entry.d_type == DT_REG;
    struct stat status {};
    return lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

enum class TNameSafety { Safe, ControlCharacters, NotUtf8 };

// Names travel in FTP commands and in the upload document: a line break would inject a
// command or break the document, and bytes that are not UTF-8 have no characters at all.
TNameSafety CheckNameSafety(const std::string& name) {
    for (std::size_t i = 0; i < name.size(); ++i) {
        const auto byte = static_cast<unsigned char>(name[i]);
        const bool c0OrDelete = byte < 0x20 || byte == 0x7F;
        // U+0080..U+009F in UTF-8: C2 80..C2 9F.
        const bool c1 = byte == 0xC2 && i + 1 < name.size() && static_cast<unsigned char>(name[i + 1]) <= 0x9F &&
                        static_cast<unsigned char>(name[i + 1]) >= 0x80;
        if (c0OrDelete || c1) return TNameSafety::ControlCharacters;
    }
    // Invalid sequences come back from the round trip as U+FFFD.
    if (Utf16ToUtf8(Utf8ToUtf16(name)) != name) return TNameSafety::NotUtf8;
    return TNameSafety::Safe;
}

// The result code of a listing step: 0 for an entry, else why there is none.
int ListingCode(const dirent* entry, int error) {
    if (entry != nullptr) return 0;
    return error != 0 ? error : ENOENT;
}

}  // namespace

// ---- TFileCollectorThread ----

namespace {

int NapsBetweenCollections(const TConfigurationData& configurationData) {
    const std::int32_t interval = configurationData._rData.rWatchingRules.iCollectorInterval;
    return interval * 1000 / TPassThread::kNapMilliseconds;
}

}  // namespace

TFileCollectorThread::TFileCollectorThread(TFileCollector& owner)
    : TPassThread(TFileCollector::kThreadName, NapsBetweenCollections(*owner._oConfigurationData),
                  [&owner] { owner.CollectFiles(); }) {}

// ---- TFileCollector ----

TFileCollector::TFileCollector(TConfigurationData* configurationData, TLogData* logData, TFileQueue* fileQueue,
                               TMessagePoster* poster)
    : _oConfigurationData(configurationData),
      _oLogData(logData),
      _oFileQueue(fileQueue),
      _oPoster(poster),
      _aReadBuffer(kReadBufferSize) {
    const std::string prefix = "TFileCollector error: cannot create object, ";
    if (configurationData == nullptr) throw EFileCollector(prefix + "configuration data not defined");
    if (logData == nullptr) throw EFileCollector(prefix + "log data not defined");
    if (fileQueue == nullptr) throw EFileCollector(prefix + "file queue not defined");
}

TFileCollector::~TFileCollector() { Stop(); }

void TFileCollector::Start() {
    if (_thWorker) return;
    _thWorker = std::make_unique<TFileCollectorThread>(*this);
    _thWorker->SetWait(false);
    _thWorker->Start();
}

void TFileCollector::Stop() {
    if (!_thWorker) return;
    _thWorker->Terminate();
    _thWorker.reset();
}

void TFileCollector::Wait() {
    if (_thWorker) _thWorker->SetWait(true);
}

void TFileCollector::Run() {
    if (_thWorker) _thWorker->SetWait(false);
}

void TFileCollector::CollectFiles() {
    // Whatever goes wrong in one pass ends only that pass; the next one starts afresh.
    try {
        Debug("start collecting files...");
        LookForFiles();
    } catch (const std::exception& error) {
        Log(std::string("error-while collecting files-") + error.what());
    }
}

bool TFileCollector::DebugMode() const { return _oConfigurationData->_rData.rSupport.lDebugModeInLog; }

void TFileCollector::Log(const std::string& text) const {
    _oLogData->LineWrite(_oConfigurationData->GetLogDataStamp(kMarker) + text);
}

void TFileCollector::Debug(const std::string& text) const {
    if (DebugMode()) Log("[debug] " + text);
}

std::string TFileCollector::QueueCounters() const {
    return "( " + std::to_string(_oFileQueue->FilesPut()) + "," + std::to_string(_oFileQueue->FilesAway()) + " )";
}

void TFileCollector::LookForFiles() {
    const std::int32_t maxFiles = _oFileQueue->MaxFilesAllowed();
    TPass pass;
    pass.lFull = _oFileQueue->FileCount() >= maxFiles;
    Debug("(start)files in queue:" + std::to_string(_oFileQueue->FileCount()) + ", max.:" + std::to_string(maxFiles));
    if (pass.lFull) return;

    const std::size_t rules = _oConfigurationData->_rData.rWatchingRules.slDataDirs.size();
    Debug("dirs set:" + std::to_string(rules));
    for (std::size_t row = 0; row < rules; ++row) {
        CollectRule(row, pass);
        if (pass.lFull) {
            Debug("queue is full at the moment ( " + std::to_string(maxFiles) + " )");
            return;
        }
    }
}

bool TFileCollector::PrepareRule(std::size_t row, TRule& rule) {
    const TConfigurationDataRecord& data = _oConfigurationData->_rData;
    const std::string crsName = EntryOf(data.rWatchingRules.slCRSTypes, row);
    const std::string ruleNumber = std::to_string(row + 1);
    rule.iRow = row;
    rule.iCRSRow = CRSTypeRowOfName(crsName);
    if (rule.iCRSRow == 0) {
        Log("error-crs type |" + crsName + "| of rule " + ruleNumber + " is not known-rule not watched");
        return false;
    }
    // FTP sends no encoding and never fetches the dictionary, so only HTTPS needs one.
    if (data.ptUploadProtocol == tptHttp && asCRSTypeEncodings[rule.iCRSRow].empty()) {
        Log("CRS " + crsName + " not watched, because encoding type for this CRS is not defined");
        return false;
    }
    const std::string mask = EntryOf(data.rWatchingRules.slDataFileMask, row);
    if (!_preExclFileMask.Load(mask)) {
        Log("error-file mask |" + mask + "| of rule " + ruleNumber + " is not a valid regular expression ( " +
            _preExclFileMask.ErrorText() + " )-rule not watched");
        return false;
    }
    rule.sDataDir = EntryOf(data.rWatchingRules.slDataDirs, row);
    rule.lInclude = data.rWatchingRules.biDataFileMaskIncl.Bit(row);
    return true;
}

void TFileCollector::CollectRule(std::size_t row, TPass& pass) {
    TRule rule;
    if (!PrepareRule(row, rule)) return;

    DIR* listing = opendir(rule.sDataDir.c_str());
    const int startCode = listing != nullptr ? 0 : errno;
    Debug(std::string(rule.lInclude ? "include" : "exclude") + " file mask:" + rule.sDataDir + " | " +
          EntryOf(_oConfigurationData->_rData.rWatchingRules.slDataFileMask, row) + ", rc:" +
          std::to_string(startCode));
    if (listing == nullptr) return;

    errno = 0;
    const dirent* entry = readdir(listing);
    while (entry != nullptr && !pass.lFull) {
        ConsiderEntry(rule, *entry, pass);
        errno = 0;
        entry = readdir(listing);
        Debug("next:" + std::to_string(ListingCode(entry, errno)));
    }
    closedir(listing);
}

void TFileCollector::ConsiderEntry(const TRule& rule, const dirent& entry, TPass& pass) {
    const std::string name = entry.d_name;
    Debug("name found:|" + name + "|");
    if (name == "." || name == "..") return;
    const std::string path = JoinPath(rule.sDataDir, name);
    if (!IsPlainFile(entry, path)) return;
    if (!Admitted(rule, name, path)) return;

    Debug("filequeue before find " + QueueCounters());
    if (_oFileQueue->FindFile(rule.iCRSRow, name)) {
        Debug("file skipped-same file name for this KMR already in queue");
        return;
    }

    platform::TExclusiveFile file;
    if (!OpenWithRetries(file, path)) return;
    const std::int64_t size = file.Size();
    const std::string sizeText = std::to_string(size);
    if (size <= 0) {
        file.Close();
        Log("file " + path + " ( size:" + sizeText + "B ) skipped-empty file");
        return;
    }
    const std::int64_t maxKilobytes = _oConfigurationData->_rData.rWatchingRules.iCollectorPackageMaxSize;
    // A queue entry holds the size in 32 bits; a larger file never fits a package anyway.
    if (pass.iTotalBytes + size > maxKilobytes * 1024 || size > INT32_MAX) {
        file.Close();
        Log("file " + path + " ( size:" + sizeText + "B ) reached max.allowed package size ( " +
            std::to_string(maxKilobytes) + " kB )-now in queue is " + std::to_string(pass.iTotalBytes) + "B");
        return;
    }
    TFileStamps stamps;
    const std::int64_t bytesRead = StampFile(file, size, _oStamper, _aReadBuffer, stamps);
    file.Close();
    if (bytesRead < size) {
        // Stamps of a part of the file would not describe what the sender uploads; the
        // file is looked at again in the next pass.
        Debug("less bytes read:" + std::to_string(bytesRead));
        return;
    }
    pass.iTotalBytes += size;
    Debug("crc32 - md5 - sha1: " + stamps.sCrc32 + " - " + stamps.sMd5 + " - " + stamps.sSha1);
    QueueFile(rule, name, path, size, stamps, pass);
}

bool TFileCollector::Admitted(const TRule& rule, const std::string& name, const std::string& path) {
    const TFileMaskMatcher::TResult match = _preExclFileMask.Test(name);
    if (match == TFileMaskMatcher::TResult::Error) {
        Log("error-file " + path + " skipped-file mask of rule " + std::to_string(rule.iRow + 1) +
            " cannot be tested against its name");
        return false;
    }
    const bool matches = match == TFileMaskMatcher::TResult::Whole;
    if (rule.lInclude != matches) {
        Debug("file skipped-does not match defined file mask");
        return false;
    }
    switch (CheckNameSafety(name)) {
        case TNameSafety::ControlCharacters:
            Log("warning-file " + path + " skipped-file name holds control characters");
            return false;
        case TNameSafety::NotUtf8:
            Log("warning-file " + path + " skipped-file name is not valid utf-8");
            return false;
        case TNameSafety::Safe:
            break;
    }
    return true;
}

bool TFileCollector::OpenWithRetries(platform::TExclusiveFile& file, const std::string& path) {
    for (int attempt = 1; attempt <= kOpenAttempts; ++attempt) {
        if (file.Open(path) == platform::TExclusiveOpen::Opened) {
            Debug("opened:" + std::to_string(attempt - 1) + ", file size:" + std::to_string(file.Size()));
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kOpenPauseMilliseconds));
        Debug("not opened:" + std::to_string(attempt));
    }
    return false;
}

std::int64_t TFileCollector::StampFile(platform::TExclusiveFile& file, std::int64_t size, TStamper& stamper,
                                       std::vector<char>& buffer, TFileStamps& stamps) {
    std::int64_t total = 0;
    while (total < size) {
        const auto wanted = static_cast<std::size_t>(std::min<std::int64_t>(size - total, buffer.size()));
        const std::int64_t n = file.Read(buffer.data(), wanted);
        if (n <= 0) break;
        stamper.Update(buffer.data(), static_cast<std::size_t>(n));
        total += n;
    }
    stamps = stamper.Finish();
    return total;
}

void TFileCollector::QueueFile(const TRule& rule, const std::string& name, const std::string& path,
                               std::int64_t size, const TFileStamps& stamps, TPass& pass) {
    // Posted before the put, as the main window expects, even if the put then fails.
    if (_oPoster != nullptr) _oPoster->Post(WM_FILEQUEUED, 0, 0);
    Debug("adding to queue:" + std::to_string(rule.iRow + 1) + ", " + asCRSTypeCodes[rule.iCRSRow] + "-" + path);
    Debug("crs:" + std::to_string(rule.iCRSRow));
    Debug("filequeue before put " + QueueCounters());
    const std::int32_t before = _oFileQueue->FileCount();
    _oFileQueue->PutFile(rule.iCRSRow, static_cast<std::int32_t>(rule.iRow), static_cast<std::int32_t>(size), name,
                         stamps.sCrc32, stamps.sMd5, stamps.sSha1);
    const std::int32_t after = _oFileQueue->FileCount();
    Debug("filequeue after put " + QueueCounters());
    const std::string counts = "( " + std::to_string(before) + "," + std::to_string(after) + " )";
    Debug((after == before ? "not added " : "added ") + counts);
    pass.lFull = after >= _oFileQueue->MaxFilesAllowed();
}
