#include "update/VeltZipFlatExtractor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <cerrno>
#include <memory>
#include <vector>

#include "foundation/VeltUtilsIntegerOperations.h"

namespace {

struct TZipClose {
    void operator()(zip_t* archive) const { zip_discard(archive); }
};
struct TZipFileClose {
    void operator()(zip_file_t* file) const { zip_fclose(file); }
};
using TZipPtr = std::unique_ptr<zip_t, TZipClose>;
using TZipFilePtr = std::unique_ptr<zip_file_t, TZipFileClose>;

constexpr std::size_t kChunkSize = 64 * 1024;
constexpr mode_t kDefaultFileMode = 0666;  // the umask takes off what it should

TZipExtractResult Failure(TZipExtractOutcome outcome, int code, int systemError) {
    zip_error_t error;
    zip_error_init(&error);
    zip_error_set(&error, code, systemError);
    TZipExtractResult result{outcome, code, zip_error_strerror(&error)};
    zip_error_fini(&error);
    return result;
}

TZipExtractResult Failure(const zip_error_t* error) {
    zip_error_t copy;
    zip_error_init(&copy);
    zip_error_set(&copy, zip_error_code_zip(error), zip_error_code_system(error));
    TZipExtractResult result{TZipExtractOutcome::Failed, zip_error_code_zip(error), zip_error_strerror(&copy)};
    zip_error_fini(&copy);
    return result;
}

// How an entry is written: its permission bits, or none when it is not a plain file.
bool FileModeOf(zip_t* archive, zip_uint64_t index, mode_t& mode) {
    zip_uint8_t opsys = 0;
    zip_uint32_t attributes = 0;
    mode = kDefaultFileMode;
    if (zip_file_get_external_attributes(archive, index, 0, &opsys, &attributes) != 0) return true;
    if (opsys != ZIP_OPSYS_UNIX) return true;
    const mode_t stored = static_cast<mode_t>(attributes >> 16);
    const mode_t type = stored & S_IFMT;
    if (type != 0 && type != S_IFREG) return false;
    // Set-id and sticky bits have no business on a downloaded file.
    if ((stored & 0777) != 0) mode = stored & 0777;
    return true;
}

bool WriteAll(int fd, const char* data, std::size_t length) {
    while (length > 0) {
        const ssize_t written = write(fd, data, length);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

class TExtraction {
public:
    TExtraction(zip_t* archive, const std::string& targetDirectory, const TZipFlatExtractor::TOnPercent& onPercent,
                std::uint64_t maxUnpackedSize)
        : _archive(archive), _sTarget(targetDirectory), _fOnPercent(onPercent), _iMaxUnpacked(maxUnpackedSize) {}

    TZipExtractResult Run() {
        const zip_int64_t entries = zip_get_num_entries(_archive, 0);
        for (zip_int64_t i = 0; i < entries; ++i) _iTotal += DeclaredSize(static_cast<zip_uint64_t>(i));
        for (zip_int64_t i = 0; i < entries; ++i) {
            TZipExtractResult result = ExtractEntry(static_cast<zip_uint64_t>(i));
            if (result.tOutcome != TZipExtractOutcome::Extracted) return result;
        }
        return {};
    }

private:
    std::uint64_t DeclaredSize(zip_uint64_t index) const {
        zip_stat_t stat;
        if (zip_stat_index(_archive, index, 0, &stat) != 0 || (stat.valid & ZIP_STAT_SIZE) == 0) return 0;
        return stat.size;
    }

    TZipExtractResult ExtractEntry(zip_uint64_t index) {
        const char* name = zip_get_name(_archive, index, 0);
        const std::string flatName = TZipFlatExtractor::FlatName(name == nullptr ? "" : name);
        mode_t mode = kDefaultFileMode;
        if (flatName.empty() || !FileModeOf(_archive, index, mode)) return {};

        TZipFilePtr source(zip_fopen_index(_archive, index, 0));
        if (!source) return Failure(zip_get_error(_archive));
        const std::string target = _sTarget + "/" + flatName;
        // Replaced, never followed: whatever lies there under this name goes first.
        if (unlink(target.c_str()) != 0 && errno != ENOENT) return Failure(TZipExtractOutcome::Failed, ZIP_ER_REMOVE, errno);
        const int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd < 0) return Failure(TZipExtractOutcome::Failed, ZIP_ER_OPEN, errno);
        TZipExtractResult result = CopyContent(source.get(), fd);
        if (close(fd) != 0 && result.tOutcome == TZipExtractOutcome::Extracted) {
            result = Failure(TZipExtractOutcome::Failed, ZIP_ER_WRITE, errno);
        }
        if (result.tOutcome != TZipExtractOutcome::Extracted) unlink(target.c_str());
        return result;
    }

    TZipExtractResult CopyContent(zip_file_t* source, int fd) {
        std::vector<char> buffer(kChunkSize);
        for (;;) {
            const zip_int64_t read = zip_fread(source, buffer.data(), buffer.size());
            if (read < 0) return Failure(zip_file_get_error(source));
            if (read == 0) return {};
            _iDone += static_cast<std::uint64_t>(read);
            if (_iDone > _iMaxUnpacked) return Failure(TZipExtractOutcome::Failed, ZIP_ER_WRITE, EFBIG);
            if (!WriteAll(fd, buffer.data(), static_cast<std::size_t>(read))) {
                return Failure(TZipExtractOutcome::Failed, ZIP_ER_WRITE, errno);
            }
            ReportProgress();
        }
    }

    void ReportProgress() {
        if (!_fOnPercent || _iTotal == 0) return;
        const std::int32_t percent = ScaleClamped(100, static_cast<double>(_iDone) / static_cast<double>(_iTotal));
        if (percent == _iLastPercent) return;
        _iLastPercent = percent;
        _fOnPercent(percent);
    }

    zip_t* _archive;
    const std::string& _sTarget;
    const TZipFlatExtractor::TOnPercent& _fOnPercent;
    std::uint64_t _iMaxUnpacked;
    std::uint64_t _iTotal = 0;
    std::uint64_t _iDone = 0;
    std::int32_t _iLastPercent = -1;
};

}  // namespace

std::string TZipFlatExtractor::FlatName(const std::string& entryName) {
    const auto separator = entryName.find_last_of("/\\");
    const std::string name = separator == std::string::npos ? entryName : entryName.substr(separator + 1);
    if (name == "." || name == "..") return "";
    return name;
}

TZipExtractResult TZipFlatExtractor::Extract(const std::string& archiveFile, const std::string& targetDirectory,
                                             const TOnPercent& onPercent, std::uint64_t maxUnpackedSize) {
    int errorCode = 0;
    TZipPtr archive(zip_open(archiveFile.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &errorCode));
    if (!archive) {
        zip_error_t error;
        zip_error_init_with_code(&error, errorCode);
        TZipExtractResult result{TZipExtractOutcome::NotOpened, errorCode, zip_error_strerror(&error)};
        zip_error_fini(&error);
        return result;
    }
    return TExtraction(archive.get(), targetDirectory, onPercent, maxUnpackedSize).Run();
}
