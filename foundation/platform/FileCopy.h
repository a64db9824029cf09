#pragma once
// Copying and deleting the files the send engines move around. A copy never
// overwrites: the target is created exclusively, so an existing file of that name stays
// as it is and the copy fails. A copy either completes (bytes on disk, the source's
// modification time kept) or leaves no target behind.
#include <cstdint>
#include <string>

namespace platform {

// What tells one version of a file from another on its own file system: a rewrite
// changes the size or the modification time, a replacement the inode.
struct TFileState {
    std::uint64_t iDevice = 0;
    std::uint64_t iInode = 0;
    std::int64_t iSize = -1;
    std::int64_t iModifiedSeconds = 0;
    std::int64_t iModifiedNanoseconds = 0;

    bool operator==(const TFileState&) const = default;
};

enum class TCopyResult {
    Copied,
    SourceBusy,     // another process is (or may still be) writing the source
    SourceFailed,   // missing, not a regular file, not readable
    TargetExists,   // a file of the target's name is there already; left untouched
    TargetFailed,   // the target cannot be created (no such folder, no permission...)
    WriteFailed     // reading, writing or syncing broke off; the partial target is gone
};

// Opens the source with exclusive sharing (see ExclusiveFile.h) for the whole copy.
// sourceState, when given, receives the state of the source that was copied. A durable
// copy is on disk, name and bytes, when the call returns; a scratch copy that nothing
// relies on after a crash may skip that and save two disk flushes.
TCopyResult CopyFileNoOverwrite(const std::string& source, const std::string& target,
                                TFileState* sourceState = nullptr, bool durable = true);

// Removes a file (never a directory). True when this call removed it.
bool RemoveFile(const std::string& path);

// True when a file system object of that name exists (a dangling link counts).
bool FileExists(const std::string& path);

// The state of the file behind the name (links followed); none (size -1) when it cannot
// be had.
TFileState FileStateOf(const std::string& path);

}  // namespace platform
