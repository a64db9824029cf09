#pragma once
// Opening a data file "with exclusive sharing": no other process writes it while we
// read. A read lease does this on Linux: taking it fails while any process has the file
// open for writing, and a writer that opens the file later waits in its open() until
// we let go. Where no lease can be had (not the file's owner, a file system without
// leases) a shared flock test plus a quiet period stand in: a file changed less than
// two seconds ago counts as still being written.
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

enum class TExclusiveOpen {
    Opened,  // ours until Close
    Busy,    // another process is (or may still be) writing it: try again later
    Failed   // missing, not a regular file, not readable
};

enum class TExclusiveGuard { None, Lease, FlockQuietPeriod };

class TExclusiveFile {
public:
    static constexpr int kQuietPeriodSeconds = 2;

    TExclusiveFile() = default;
    ~TExclusiveFile() { Close(); }
    TExclusiveFile(const TExclusiveFile&) = delete;
    TExclusiveFile& operator=(const TExclusiveFile&) = delete;

    // Opens a regular file read-only (a symbolic link is refused). `allowLease` false goes
    // straight to the flock and quiet-period test, as on a file system without leases.
    TExclusiveOpen Open(const std::string& path, bool allowLease = true);
    bool IsOpen() const { return _fd >= 0; }
    TExclusiveGuard Guard() const { return _guard; }

    // The position of the end of the file; -1 when it cannot be had.
    std::int64_t Size() const;
    // Up to `count` bytes from the current position; 0 at the end, -1 on an error.
    std::int64_t Read(void* buffer, std::size_t count);
    // Lets writers in again and closes the file.
    void Close();

private:
    TExclusiveOpen TakeLease();
    TExclusiveOpen TakeFlockAfterQuietPeriod();

    int _fd = -1;
    TExclusiveGuard _guard = TExclusiveGuard::None;
};

}  // namespace platform
