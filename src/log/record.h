#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "log/level.h"

namespace Log {

// 100-nanosecond ticks since 1970-01-01 00:00 UTC.
std::uint64_t currentTime() noexcept;
// The process id, read once.
std::uint32_t processId() noexcept;
std::uint32_t currentThreadId() noexcept;

// One log event.
struct Record
{
    const char* sourceFile = "";  // as written at the call site
    std::uint32_t sourceLine = 0;
    std::uint64_t time = 0;  // see currentTime()
    std::uint32_t processId = 0;
    std::uint32_t threadId = 0;
    Level level = Level::Debug;
    std::wstring message;             // already formatted
    std::vector<std::uint32_t> tags;  // identifiers; the core keeps their texts

    // A record made now, on the calling thread.
    static Record make(const char* sourceFile, std::uint32_t sourceLine, Level level, std::wstring message);
};

}  // namespace Log
