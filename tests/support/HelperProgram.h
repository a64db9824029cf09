#pragma once
// For the small programs tests start as real processes: they report each state on its
// own line and live until the test closes their standard input.
#include <unistd.h>

#include <cstdio>

inline void Say(const char* line) {
    std::printf("%s\n", line);
    std::fflush(stdout);
}

inline void WaitForEndOfInput() {
    char buffer[64];
    while (read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
    }
}
