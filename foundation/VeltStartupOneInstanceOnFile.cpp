#include "foundation/VeltStartupOneInstanceOnFile.h"

#include <mutex>

#include "foundation/VeltUtilsDateTimeOperations.h"
#include "foundation/platform/LockFile.h"

namespace {

const char* const kAlreadyRunning = "\r\nProgram is already running !\t";

struct TLockState {
    std::mutex csGuard;
    int iHandle = -1;
    std::string sFileName;
};

TLockState& LockState() {
    static TLockState state;
    return state;
}

// Another copy holds the lock (or the file cannot be locked at all): tell who started
// the running copy when its file can be read.
std::string RefusalMessage(const std::string& lockFileName) {
    const auto content = platform::ReadWholeFile(lockFileName);
    if (!content) return kAlreadyRunning;
    return std::string(kAlreadyRunning) + "\r\n\r\n\r\n" + *content + "\t";
}

}  // namespace

void StartupOneInstanceOnFile(const std::string& lockFileName, const std::string& userName) {
    TLockState& state = LockState();
    std::lock_guard guard(state.csGuard);
    int handle = -1;
    if (platform::TryLockFile(lockFileName, handle) != platform::TLockAttempt::Locked)
        throw EStartupOneInstanceOnFile(RefusalMessage(lockFileName));
    // A stale file of a killed copy may be longer than ours: nothing of it may remain.
    // A failed write leaves the lock in force; the content only informs a second copy.
    platform::ReplaceFileContent(handle, "user:" + userName + " started at:" + NowAsText());
    if (state.iHandle >= 0) platform::RemoveAndUnlockFile(state.iHandle, state.sFileName);
    state.iHandle = handle;
    state.sFileName = lockFileName;
}

void ShutdownOneInstanceOnFile() {
    TLockState& state = LockState();
    std::lock_guard guard(state.csGuard);
    if (state.iHandle < 0) return;
    platform::RemoveAndUnlockFile(state.iHandle, state.sFileName);
    state.iHandle = -1;
    state.sFileName.clear();
}
