#pragma once
#include <string>
#include <vector>

namespace platform {

// Splits a command line as a shell would: blanks separate words, double quotes group,
// no expansion.
std::vector<std::string> SplitCommandLine(const std::string& commandLine);

// Starts the command line without waiting for it; nothing is left behind as a zombie.
// Returns 0 on success, else the errno value (a missing program gives 2).
int StartDetachedProcess(const std::string& commandLine);

}  // namespace platform
