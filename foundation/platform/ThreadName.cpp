#include "foundation/platform/ThreadName.h"

#include <pthread.h>

namespace platform {

void SetCurrentThreadName(const std::string& name) {
    constexpr std::size_t kMaxLength = 15;
    pthread_setname_np(pthread_self(), name.substr(0, kMaxLength).c_str());
}

}  // namespace platform
