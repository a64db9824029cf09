#pragma once
// Names of system-wide objects (named mutexes) that no other test, test process or
// running agent uses: the prefix, this process's id and a counter.
#include <unistd.h>

#include <atomic>
#include <string>

inline std::string UniqueTestName(const std::string& prefix) {
    static std::atomic<int> counter = 0;
    return prefix + "_" + std::to_string(getpid()) + "_" + std::to_string(++counter);
}
