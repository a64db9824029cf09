#include "foundation/platform/LockFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

namespace {

// A previous holder removes the file while it still holds the lock; a copy that opened
// the old file just before gets the lock of a file nobody can see any more.
bool PathStillNamesFile(int fd, const std::string& path) {
    struct stat opened {}, named {};
    if (fstat(fd, &opened) != 0 || stat(path.c_str(), &named) != 0) return false;
    return opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

bool TryExclusiveLock(int fd) {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;  // the whole file, however long it grows
    return fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

}  // namespace

TLockAttempt TryLockFile(const std::string& path, int& fd) {
    fd = -1;
    constexpr int kAttempts = 10;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const int opened = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (opened < 0) return TLockAttempt::Failed;
        if (!TryExclusiveLock(opened)) {
            const int error = errno;
            close(opened);
            return (error == EAGAIN || error == EACCES) ? TLockAttempt::HeldByOther : TLockAttempt::Failed;
        }
        if (PathStillNamesFile(opened, path)) {
            fd = opened;
            return TLockAttempt::Locked;
        }
        close(opened);
    }
    return TLockAttempt::Failed;
}

bool ReplaceFileContent(int fd, const std::string& content) {
    if (ftruncate(fd, 0) != 0) return false;
    std::size_t written = 0;
    while (written < content.size()) {
        const ssize_t n = pwrite(fd, content.data() + written, content.size() - written,
                                 static_cast<off_t>(written));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        written += static_cast<std::size_t>(n);
    }
    return true;
}

void RemoveAndUnlockFile(int fd, const std::string& path) {
    if (fd < 0) return;
    if (PathStillNamesFile(fd, path)) unlink(path.c_str());
    close(fd);
}

std::optional<std::string> ReadWholeFile(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string content;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        content.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    return content;
}

}  // namespace platform
