#pragma once
#include <string>

inline std::string BooleanToYesNo(bool value) { return value ? "yes" : "no"; }
