#include "foundation/platform/NamedMutex.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace platform {

// Layout of the shared memory object. `iState` is 0 in a fresh (zero-filled) object,
// the initialiser's pid while the mutex is being set up, and kReady afterwards.
struct TNamedMutex::TSharedBlock {
    std::uint32_t iState;
    pthread_mutex_t rMutex;
};

namespace {

constexpr std::uint32_t kFresh = 0;
constexpr std::uint32_t kReady = 0xFFFFFFFFu;
// Setting up the mutex takes microseconds; an initialiser silent for this long is gone
// even when its pid has been reused.
constexpr auto kInitialiserPatience = std::chrono::seconds(2);

std::atomic_ref<std::uint32_t> StateOf(std::uint32_t& state) { return std::atomic_ref<std::uint32_t>(state); }

bool ProcessIsGone(std::uint32_t pid) {
    return kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

bool InitialiseMutex(pthread_mutex_t& mutex) {
    pthread_mutexattr_t attributes;
    if (pthread_mutexattr_init(&attributes) != 0) return false;
    const bool configured = pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED) == 0 &&
                            pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST) == 0 &&
                            pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE) == 0;
    const bool initialised = configured && pthread_mutex_init(&mutex, &attributes) == 0;
    pthread_mutexattr_destroy(&attributes);
    return initialised;
}

// Exactly one opener initialises the mutex: whoever moves the state from fresh (or from
// a dead initialiser's pid) to its own pid. Everybody else waits until it is ready.
bool EnsureInitialised(std::uint32_t& stateWord, pthread_mutex_t& mutex) {
    auto state = StateOf(stateWord);
    const auto self = static_cast<std::uint32_t>(getpid());
    auto waitingSince = std::chrono::steady_clock::now();
    std::uint32_t lastSeen = state.load();
    for (;;) {
        std::uint32_t current = state.load(std::memory_order_acquire);
        if (current == kReady) return true;
        if (current != lastSeen) {
            lastSeen = current;
            waitingSince = std::chrono::steady_clock::now();
        }
        const bool takeOver = current == kFresh || ProcessIsGone(current) ||
                              std::chrono::steady_clock::now() - waitingSince > kInitialiserPatience;
        if (takeOver && state.compare_exchange_strong(current, self, std::memory_order_acq_rel)) {
            if (!InitialiseMutex(mutex)) {
                state.store(kFresh, std::memory_order_release);
                return false;
            }
            state.store(kReady, std::memory_order_release);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// Two openers may both see a short object and both grow it to the same size: harmless,
// growing to the current size changes nothing.
bool EnsureSize(int fd, off_t size) {
    struct stat status {};
    if (fstat(fd, &status) != 0) return false;
    return status.st_size >= size || ftruncate(fd, size) == 0;
}

// A real-time deadline: pthread_mutex_timedlock is the timed wait every tool knows
// (ThreadSanitizer does not follow pthread_mutex_clocklock and then reports every later
// unlock as an error); a wall-clock jump during a wait of at most seconds is harmless.
timespec DeadlineAfter(std::int32_t timeOutMs) {
    timespec deadline {};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += timeOutMs / 1000;
    deadline.tv_nsec += static_cast<long>(timeOutMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    return deadline;
}

}  // namespace

std::string TNamedMutex::ObjectName(const std::string& name) {
    return "/" + name + "." + std::to_string(geteuid());
}

// Each mutex is mapped once per process and stays mapped until the process ends: a
// thread may end, or drop its TMutex, while it still owns the mutex, and the robust list
// the system walks when that thread ends points into the mapping.
struct TNamedMutex::TMappings {
    std::mutex csGuard;
    std::unordered_map<std::string, TSharedBlock*> aByObjectName;
};

TNamedMutex::TMappings& TNamedMutex::Mappings() {
    static TMappings* mappings = new TMappings;  // never destroyed: threads may outlive static teardown
    return *mappings;
}

bool TNamedMutex::Remove(const std::string& name) {
    const std::string objectName = ObjectName(name);
    TMappings& mappings = Mappings();
    std::lock_guard guard(mappings.csGuard);
    mappings.aByObjectName.erase(objectName);  // a later Open maps whatever then bears the name
    return shm_unlink(objectName.c_str()) == 0;
}

TNamedMutex::TSharedBlock* TNamedMutex::MapSharedBlock(const std::string& objectName) {
    const int fd = shm_open(objectName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    void* mapping = MAP_FAILED;
    if (EnsureSize(fd, sizeof(TSharedBlock)))
        mapping = mmap(nullptr, sizeof(TSharedBlock), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    const int error = errno;
    close(fd);  // the mapping keeps the object alive
    if (mapping == MAP_FAILED) {
        errno = error;
        return nullptr;
    }
    auto* block = static_cast<TSharedBlock*>(mapping);
    if (!EnsureInitialised(block->iState, block->rMutex)) {
        munmap(mapping, sizeof(TSharedBlock));
        return nullptr;
    }
    return block;
}

std::unique_ptr<TNamedMutex> TNamedMutex::Open(const std::string& name) {
    const std::string objectName = ObjectName(name);
    TMappings& mappings = Mappings();
    std::lock_guard guard(mappings.csGuard);
    TSharedBlock*& block = mappings.aByObjectName[objectName];
    if (block == nullptr) block = MapSharedBlock(objectName);
    if (block == nullptr) {
        const int error = errno;
        mappings.aByObjectName.erase(objectName);
        errno = error;
        return nullptr;
    }
    return std::unique_ptr<TNamedMutex>(new TNamedMutex(block));
}

TNamedMutex::TNamedMutex(TSharedBlock* block) : _block(block) {}

TNamedMutex::~TNamedMutex() = default;

TMutexWait TNamedMutex::Lock(std::int32_t timeOutMs) {
    int result;
    if (timeOutMs <= 0) {
        result = pthread_mutex_trylock(&_block->rMutex);
    } else {
        const timespec deadline = DeadlineAfter(timeOutMs);
        do {
            result = pthread_mutex_timedlock(&_block->rMutex, &deadline);
        } while (result == EINTR);
    }
    switch (result) {
        case 0:
            return TMutexWait::Acquired;
        case EOWNERDEAD:
            // We own it now: mark it usable again and hand it back, so the next wait succeeds.
            pthread_mutex_consistent(&_block->rMutex);
            pthread_mutex_unlock(&_block->rMutex);
            return TMutexWait::Abandoned;
        case EBUSY:
        case ETIMEDOUT:
            return TMutexWait::TimedOut;
        default:
            return TMutexWait::Failed;
    }
}

bool TNamedMutex::Unlock() { return pthread_mutex_unlock(&_block->rMutex) == 0; }

}  // namespace platform
