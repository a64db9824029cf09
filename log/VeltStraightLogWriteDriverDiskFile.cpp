#include "log/VeltStraightLogWriteDriverDiskFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <vector>

#include "foundation/VeltUtilsDateTimeOperations.h"
#include "foundation/VeltUtilsStringOperations.h"

namespace {

constexpr char kClassName[] = "TLogWriteDriverDiskFile";
constexpr char kLineEnd[] = "\r\n";

std::string DirectoryPart(const std::string& fileName) {
    const std::size_t slash = fileName.rfind('/');
    return slash == std::string::npos ? std::string() : fileName.substr(0, slash + 1);
}

std::string NamePart(const std::string& fileName) {
    const std::size_t slash = fileName.rfind('/');
    return slash == std::string::npos ? fileName : fileName.substr(slash + 1);
}

std::string ShrinkErrorLine(const std::string& message) {
    return "[ " + NowAsText() + " ] " + "error: " + message + kLineEnd;
}

}  // namespace

TLogWriteDriverDiskFile::TLogWriteDriverDiskFile(std::int32_t driverId, std::int32_t maxFileSize,
                                                 const std::string& fileName)
    : TLogWriteDriver(driverId), iMaxFileSize(maxFileSize * kMegabyte), sFileName(fileName) {
    const std::string directory = TrimTrailingChar(DirectoryPart(fileName), '/');
    if (!directory.empty()) {
        std::error_code ignored;  // a directory we cannot make shows up as a failed open
        std::filesystem::create_directories(directory, ignored);
    }
    OpenFile();
}

TLogWriteDriverDiskFile::~TLogWriteDriverDiskFile() { CloseFile(); }

void TLogWriteDriverDiskFile::OpenFile() {
    // Appending mode keeps every write at the end, also right after a shrink.
    fFile = ::open(sFileName.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fFile < 0) {
        throw ELogWriteDriver(std::string(kClassName) + " error: cannot create disk file log write driver ( " +
                              sFileName + " )");
    }
    struct stat status {};
    iFileSize = ::fstat(fFile, &status) == 0 ? status.st_size : 0;
}

void TLogWriteDriverDiskFile::CloseFile() {
    if (fFile >= 0) ::close(fFile);
    fFile = -1;
}

void TLogWriteDriverDiskFile::WriteLogLine(const std::string& line) {
    sBatch.assign(line);
    sBatch.append(kLineEnd);
    WriteBatchWithPolicy();
}

void TLogWriteDriverDiskFile::WriteLogLines(const char* lines, std::int32_t linesNumb) {
    // One write for the whole batch: far fewer system calls than one per record, same bytes.
    sBatch.clear();
    ForEachRecord(lines, linesNumb, [this](std::string_view record) {
        sBatch.append(record);
        sBatch.append(kLineEnd);
    });
    WriteBatchWithPolicy();
}

void TLogWriteDriverDiskFile::WriteBatchWithPolicy() {
    // A policy that fails with the file still open (split numbers used up) is reported,
    // but only after the batch is kept: an oversized log beats lost lines.
    std::exception_ptr policyFailure;
    try {
        ApplySizePolicy();
    } catch (const ELogWriteDriver&) {
        if (fFile < 0) throw;
        policyFailure = std::current_exception();
    }
    WriteAll(sBatch.data(), sBatch.size());
    if (policyFailure) std::rethrow_exception(policyFailure);
}

void TLogWriteDriverDiskFile::WriteAll(const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t done = ::write(fFile, data, size);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) {
            throw ELogWriteDriver(std::string(kClassName) + " error: cannot write disk file ( " + sFileName + " )");
        }
        data += done;
        size -= static_cast<std::size_t>(done);
        iFileSize += done;
    }
}

void TLogWriteDriverDiskFile::ApplySizePolicy() {
    if (fFile < 0) OpenFile();  // an earlier reopen failed; try again rather than write nowhere
    if (iMaxFileSize > 0) {
        if (iFileSize > iMaxFileSize * 12 / 10) ShrinkFile(iFileSize);
    } else if (iMaxFileSize < 0) {
        if (iFileSize > -iMaxFileSize) SplitFile();
    }
}

void TLogWriteDriverDiskFile::ShrinkFile(std::int64_t size) {
    const std::int64_t keep = iMaxFileSize * 8 / 10;
    std::vector<char> kept(static_cast<std::size_t>(keep));
    std::int64_t bytesRead = 0;
    while (bytesRead < keep) {
        const ssize_t done = ::pread(fFile, kept.data() + bytesRead, keep - bytesRead, size - keep + bytesRead);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) break;
        bytesRead += done;
    }
    std::int64_t bytesWritten = 0;
    if (::ftruncate(fFile, 0) == 0) {
        iFileSize = 0;
        while (bytesWritten < bytesRead) {
            const ssize_t done = ::write(fFile, kept.data() + bytesWritten, bytesRead - bytesWritten);
            if (done < 0 && errno == EINTR) continue;
            if (done <= 0) break;
            bytesWritten += done;
        }
        iFileSize = bytesWritten;
    }
    if (bytesRead < keep) {
        const std::string line = ShrinkErrorLine("too less data read during shrinking log file size");
        WriteAll(line.data(), line.size());
    }
    if (bytesWritten < keep) {
        const std::string line = ShrinkErrorLine("too less data written during shrinking log file size");
        WriteAll(line.data(), line.size());
    }
}

std::string TLogWriteDriverDiskFile::SplitFileName(std::int32_t counter) const {
    std::string name = NamePart(sFileName);
    const std::size_t extension = name.find(".log");
    if (extension != std::string::npos) name.erase(extension, 4);
    return DirectoryPart(sFileName) + name + PadLeftTo(std::to_string(counter), '0', 6) + ".log";
}

void TLogWriteDriverDiskFile::SplitFile() {
    CloseFile();
    for (;;) {
        ++iSplitCounter;
        if (iSplitCounter > kMaxSplitCounter) {
            OpenFile();  // keep a usable file for whatever the next call brings
            throw ELogWriteDriver(std::string(kClassName) + " error: counter in file splitter exceeds max.value " +
                                  std::to_string(kMaxSplitCounter));
        }
        const std::string candidate = SplitFileName(iSplitCounter);
        std::error_code ec;
        if (std::filesystem::exists(candidate, ec) || ec) continue;
        // A name taken since the check above is skipped too: never overwrite an older split file.
        if (MoveAside(candidate) || errno != EEXIST) break;
    }
    // After a failed move this reopens the same file and keeps appending to it.
    OpenFile();
}

bool TLogWriteDriverDiskFile::MoveAside(const std::string& target) const {
    if (::renameat2(AT_FDCWD, sFileName.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // File systems without no-replace renames: the existence check above is all we have.
    return std::rename(sFileName.c_str(), target.c_str()) == 0;
}
