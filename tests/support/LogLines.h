#pragma once
// Reading back what a test's log data received.
#include <string>
#include <vector>

#include "log/VeltStraightLogData.h"

// Every chunk written since the last read, oldest first.
inline std::vector<std::string> TakeLogLines(TLogData& logData) {
    std::vector<std::string> lines;
    for (std::string line; logData.LineRead(line);) lines.push_back(line);
    return lines;
}

inline bool AnyLineEndsWith(const std::vector<std::string>& lines, const std::string& text) {
    for (const std::string& line : lines) {
        if (line.ends_with(text)) return true;
    }
    return false;
}

inline bool AnyLineHolds(const std::vector<std::string>& lines, const std::string& text) {
    for (const std::string& line : lines) {
        if (line.find(text) != std::string::npos) return true;
    }
    return false;
}
