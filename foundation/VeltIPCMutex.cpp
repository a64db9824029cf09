#include "foundation/VeltIPCMutex.h"

#include <memory>
#include <mutex>
#include <vector>

#include "foundation/platform/NamedMutex.h"

namespace {

platform::TNamedMutex* AsNamedMutex(std::uintptr_t handle) {
    return reinterpret_cast<platform::TNamedMutex*>(handle);
}

void CloseNamedMutex(std::uintptr_t handle) { delete AsNamedMutex(handle); }

}  // namespace

THandledObject::~THandledObject() {
    if (FHandle != 0) fCloseHandle(FHandle);
}

TMutex::TMutex(const std::string& name) : THandledObject(&CloseNamedMutex) {
    std::unique_ptr<platform::TNamedMutex> mutex = platform::TNamedMutex::Open(name);
    if (!mutex) throw EAbort();
    FHandle = reinterpret_cast<std::uintptr_t>(mutex.release());
}

bool TMutex::Get(std::int32_t timeOutMs) {
    if (timeOutMs < 0) throw ERangeError("TMutex.Get: time-out out of range: " + std::to_string(timeOutMs));
    return AsNamedMutex(FHandle)->Lock(timeOutMs) == platform::TMutexWait::Acquired;
}

bool TMutex::Release() { return AsNamedMutex(FHandle)->Unlock(); }

void CreateProcessNamedMutex(const std::string& name) {
    // Kept open until the process ends; nobody ever waits on it.
    static std::mutex csKept;
    static std::vector<std::unique_ptr<platform::TNamedMutex>> kept;
    auto mutex = platform::TNamedMutex::Open(name);
    if (!mutex) return;
    std::lock_guard guard(csKept);
    kept.push_back(std::move(mutex));
}
