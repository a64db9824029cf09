#pragma once
#include <cstdint>

// value * factor rounded half to even, then clamped into 0..value.
// A product outside the 32-bit range raises ERangeError.
std::int32_t ScaleClamped(std::int32_t value, double factor);
std::int32_t ClampToRange(std::int32_t value, std::int32_t lowest, std::int32_t highest);
