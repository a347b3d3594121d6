#pragma once

#include <cstdint>

namespace Log {

// A record passes a threshold when its level is greater than or equal to it.
enum class Level : std::uint32_t {
    Max = 0,
    Trace = 1,
    Debug = 2,
    Info = 3,
    Warn = 4,
    Error = 5,
    Fatal = 6,
};

// "MAX", "TRACE", "DEBUG", "INFO", "WARN", "ERROR", "FATAL"; any other value is "DEBUG".
const wchar_t* levelName(Level level) noexcept;

}  // namespace Log
