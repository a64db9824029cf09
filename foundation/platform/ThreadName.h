#pragma once
#include <string>

namespace platform {

// Names the calling thread for debuggers and process listings. Linux keeps 15
// characters, so a longer name is cut there.
void SetCurrentThreadName(const std::string& name);

}  // namespace platform
