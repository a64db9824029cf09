#pragma once
// A named mutex shared between processes: a process-shared, robust, recursive pthread
// mutex in a POSIX shared memory object. Ownership is per thread and recursive; a mutex
// whose owner (thread or process) died while holding it is reported as abandoned once.
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

enum class TMutexWait {
    Acquired,   // owned normally
    Abandoned,  // the previous owner died holding it; it was repaired and released again
    TimedOut,
    Failed
};

class TNamedMutex {
public:
    // Creates or opens the mutex; none when the operating system refuses (errno tells why).
    // Several processes may create the same mutex at once: exactly one initialises it.
    // All objects of one name in a process share one mapping, kept until the process ends.
    static std::unique_ptr<TNamedMutex> Open(const std::string& name);

    // The shared memory object behind `name`. Named mutexes are per user, as a desktop
    // session's mutexes are, so another user's copy of the program never collides.
    static std::string ObjectName(const std::string& name);
    // Removes the object's name; processes that have it open keep using it.
    // Only for tidying up after tests: the program's mutexes live on.
    static bool Remove(const std::string& name);

    ~TNamedMutex();
    TNamedMutex(const TNamedMutex&) = delete;
    TNamedMutex& operator=(const TNamedMutex&) = delete;

    // Waits at most `timeOutMs` (>= 0) milliseconds; 0 tries once.
    TMutexWait Lock(std::int32_t timeOutMs);
    // False when the calling thread does not own the mutex.
    bool Unlock();

private:
    struct TSharedBlock;
    struct TMappings;
    static TMappings& Mappings();
    static TSharedBlock* MapSharedBlock(const std::string& objectName);
    explicit TNamedMutex(TSharedBlock* block);
    TSharedBlock* _block;
};

}  // namespace platform
