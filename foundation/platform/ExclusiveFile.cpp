#include "foundation/platform/ExclusiveFile.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <mutex>

namespace platform {

namespace {

void IgnoreLeaseBreak(int) {}

// A writer opening a leased file makes the kernel signal us (SIGIO), whose default
// action ends the process. A handler that does nothing is enough: we release the lease
// right after reading anyway. A disposition someone else chose is left alone.
void InstallLeaseBreakHandlerOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction current {};
        if (sigaction(SIGIO, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) return;
        struct sigaction handler {};
        handler.sa_handler = &IgnoreLeaseBreak;
        handler.sa_flags = SA_RESTART;
        sigemptyset(&handler.sa_mask);
        sigaction(SIGIO, &handler, nullptr);
    });
}

bool ChangedWithinQuietPeriod(const struct stat& status) {
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    const long double age = static_cast<long double>(now.tv_sec - status.st_mtim.tv_sec) +
                            static_cast<long double>(now.tv_nsec - status.st_mtim.tv_nsec) / 1e9L;
    // A time stamp in the future counts as fresh too: a writer's clock may run ahead.
    return age < TExclusiveFile::kQuietPeriodSeconds;
}

}  // namespace

TExclusiveOpen TExclusiveFile::Open(const std::string& path, bool allowLease) {
    Close();
    // Non-blocking, so that a FIFO slipped in under the name cannot hang the open.
    _fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (_fd < 0) return TExclusiveOpen::Failed;
    struct stat status {};
    if (fstat(_fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        Close();
        return TExclusiveOpen::Failed;
    }
    TExclusiveOpen result = allowLease ? TakeLease() : TakeFlockAfterQuietPeriod();
    if (result != TExclusiveOpen::Opened) Close();
    return result;
}

TExclusiveOpen TExclusiveFile::TakeLease() {
    InstallLeaseBreakHandlerOnce();
    if (fcntl(_fd, F_SETLEASE, F_RDLCK) == 0) {
        _guard = TExclusiveGuard::Lease;
        return TExclusiveOpen::Opened;
    }
    // EAGAIN: somebody has it open for writing. Anything else means leases are not
    // ours to take here (another user's file, a file system without them).
    if (errno == EAGAIN) return TExclusiveOpen::Busy;
    return TakeFlockAfterQuietPeriod();
}

TExclusiveOpen TExclusiveFile::TakeFlockAfterQuietPeriod() {
    if (flock(_fd, LOCK_SH | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) return TExclusiveOpen::Busy;
        // No flock on this file system: the quiet period alone has to do.
    }
    struct stat status {};
    if (fstat(_fd, &status) != 0) return TExclusiveOpen::Failed;
    if (ChangedWithinQuietPeriod(status)) return TExclusiveOpen::Busy;
    _guard = TExclusiveGuard::FlockQuietPeriod;
    return TExclusiveOpen::Opened;
}

std::int64_t TExclusiveFile::Size() const {
    struct stat status {};
    if (_fd < 0 || fstat(_fd, &status) != 0) return -1;
    return static_cast<std::int64_t>(status.st_size);
}

std::int64_t TExclusiveFile::Read(void* buffer, std::size_t count) {
    if (_fd < 0) return -1;
    for (;;) {
        const ssize_t n = read(_fd, buffer, count);
        if (n < 0 && errno == EINTR) continue;
        return static_cast<std::int64_t>(n);
    }
}

void TExclusiveFile::Close() {
    if (_fd < 0) return;
    if (_guard == TExclusiveGuard::Lease) fcntl(_fd, F_SETLEASE, F_UNLCK);
    close(_fd);  // also drops the flock
    _fd = -1;
    _guard = TExclusiveGuard::None;
}

}  // namespace platform
