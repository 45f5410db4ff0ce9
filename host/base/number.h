// Pulling a number into a range: the one clamp of the module (settings read from the file or the
// dialog, the table's size).
// Threads: any; no state.
#pragma once
#include <cstdint>

// `value` pulled into [low, high]: below `low` it gives `low`, above `high` it gives `high`.
// The value may be wider than the result, so that a number read beyond 32 bits saturates
// toward its sign instead of wrapping around into range first.
inline int32_t number_clamp(int64_t value, int32_t low, int32_t high)
{
    return value < low ? low : value > high ? high : (int32_t)value;
}
