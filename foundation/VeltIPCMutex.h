#pragma once
// Named mutexes shared between threads and processes, with a timed acquire.
#include <cstdint>
#include <string>

#include "foundation/VeltExceptions.h"

// Owns one operating-system handle and closes it when destroyed.
class THandledObject {
public:
    using TCloseHandle = void (*)(std::uintptr_t handle);

    THandledObject(const THandledObject&) = delete;
    THandledObject& operator=(const THandledObject&) = delete;
    virtual ~THandledObject();

protected:
    explicit THandledObject(TCloseHandle closeHandle) : fCloseHandle(closeHandle) {}

    std::uintptr_t FHandle = 0;

private:
    TCloseHandle fCloseHandle;
};

class TMutex : public THandledObject {
public:
    // Creates the named mutex or opens the existing one, not owned; EAbort when the
    // operating system refuses.
    explicit TMutex(const std::string& name);

    // Waits at most `timeOutMs` milliseconds (0: try once). True only when ownership was
    // granted normally; a time-out, a failed wait and a mutex abandoned by an owner that
    // died give False. Recursive per thread. A negative time-out raises ERangeError.
    bool Get(std::int32_t timeOutMs);
    // False when the calling thread does not own the mutex.
    bool Release();
};

// Creates the named mutex that marks a running program to outside tools. Nothing acquires
// it; it lives until the process ends. A failure is of no consequence to the program.
void CreateProcessNamedMutex(const std::string& name);
