#include "foundation/platform/FileCopy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "foundation/platform/ExclusiveFile.h"

namespace platform {

namespace {

constexpr std::size_t kCopyBufferSize = 256 * 1024;

bool WriteAll(int fd, const char* data, std::size_t count) {
    while (count > 0) {
        const ssize_t n = write(fd, data, count);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

bool CopyBytes(TExclusiveFile& source, int target) {
    std::vector<char> buffer(kCopyBufferSize);
    for (;;) {
        const std::int64_t n = source.Read(buffer.data(), buffer.size());
        if (n == 0) return true;
        if (n < 0 || !WriteAll(target, buffer.data(), static_cast<std::size_t>(n))) return false;
    }
}

std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The new name itself must survive a crash too, not only the bytes behind it: the
// input file is deleted on the strength of this copy.
void SyncDirectoryOf(const std::string& path) {
    const int fd = open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

// Completes the copy on an open, freshly created target; False leaves it to the caller
// to remove the target.
bool FillTarget(TExclusiveFile& source, int target, const struct stat& sourceStatus, bool durable) {
    if (!CopyBytes(source, target)) return false;
    const struct timespec times[2] = {sourceStatus.st_atim, sourceStatus.st_mtim};
    if (futimens(target, times) != 0) return false;
    return !durable || fsync(target) == 0;
}

TFileState StateOf(const struct stat& status) {
    return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino),
            static_cast<std::int64_t>(status.st_size), static_cast<std::int64_t>(status.st_mtim.tv_sec),
            static_cast<std::int64_t>(status.st_mtim.tv_nsec)};
}

}  // namespace

TCopyResult CopyFileNoOverwrite(const std::string& source, const std::string& target, TFileState* sourceState,
                                bool durable) {
    TExclusiveFile input;
    switch (input.Open(source)) {
        case TExclusiveOpen::Opened: break;
        case TExclusiveOpen::Busy: return TCopyResult::SourceBusy;
        case TExclusiveOpen::Failed: return TCopyResult::SourceFailed;
    }
    struct stat sourceStatus {};
    if (stat(source.c_str(), &sourceStatus) != 0) return TCopyResult::SourceFailed;

    const int output = open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                            sourceStatus.st_mode & 0666);
    if (output < 0) return errno == EEXIST ? TCopyResult::TargetExists : TCopyResult::TargetFailed;

    const bool filled = FillTarget(input, output, sourceStatus, durable);
    const bool closed = close(output) == 0;
    input.Close();
    if (!filled || !closed) {
        unlink(target.c_str());
        return TCopyResult::WriteFailed;
    }
    if (durable) SyncDirectoryOf(target);
    if (sourceState != nullptr) *sourceState = StateOf(sourceStatus);
    return TCopyResult::Copied;
}

bool RemoveFile(const std::string& path) { return unlink(path.c_str()) == 0; }

bool FileExists(const std::string& path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0;
}

TFileState FileStateOf(const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) return {};
    return StateOf(status);
}

}  // namespace platform
