#pragma once
// Advisory whole-file locks for the single-instance lock file. The locks are open file
// description locks (fcntl F_OFD_SETLK): they conflict even inside one process and are
// not dropped when some other descriptor of the same file is closed.
#include <optional>
#include <string>

namespace platform {

enum class TLockAttempt {
    Locked,       // the lock is ours; the descriptor is open
    HeldByOther,  // another open file description holds the lock
    Failed        // the file cannot be opened, created or locked
};

// Opens (creating) `path` and takes a non-blocking exclusive lock on it. Retries when
// the file was removed or replaced between the open and the lock, so the lock always
// belongs to the file the path names. On Locked, `fd` holds the descriptor.
TLockAttempt TryLockFile(const std::string& path, int& fd);

// Replaces the whole content of a locked file: truncates it, then writes from offset 0.
bool ReplaceFileContent(int fd, const std::string& content);

// Removes `path` while the lock is still held (only when the path still names the locked
// file), then closes the descriptor, which releases the lock.
void RemoveAndUnlockFile(int fd, const std::string& path);

// The whole content of a file; none when it cannot be opened or read.
std::optional<std::string> ReadWholeFile(const std::string& path);

}  // namespace platform
