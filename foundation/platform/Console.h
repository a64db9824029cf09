#pragma once
// Questions asked on the terminal by the command-line functions.
#include <optional>
#include <string>

namespace platform {

// Reads one line from standard input without its line end. When standard input is a
// terminal the prompt goes to standard error and the typed text is not echoed. None
// when the input ended before anything was read.
std::optional<std::string> ReadSecretLine(const std::string& prompt);

}  // namespace platform
