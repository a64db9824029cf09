#include "foundation/VeltUtilsIntegerOperations.h"

#include <cmath>
#include <limits>

#include "foundation/VeltExceptions.h"

std::int32_t ScaleClamped(std::int32_t value, double factor) {
    const double product = std::nearbyint(static_cast<double>(value) * factor);  // ties to even
    if (!(product >= std::numeric_limits<std::int32_t>::min() && product <= std::numeric_limits<std::int32_t>::max())) {
        throw ERangeError("ScaleClamped: result out of range");
    }
    const auto r = static_cast<std::int32_t>(product);
    if (r < 0) return 0;
    if (r > value) return value;
    return r;
}

std::int32_t ClampToRange(std::int32_t value, std::int32_t lowest, std::int32_t highest) {
    if (value < lowest) return lowest;
    if (value > highest) return highest;
    return value;
}
