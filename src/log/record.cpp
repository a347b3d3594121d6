#include "log/record.h"

#include <windows.h>

#include <utility>

namespace Log {

namespace {

// 1601-01-01 to 1970-01-01 in 100-nanosecond ticks.
const std::uint64_t fileTimeTo1970 = 116444736000000000ULL;

}  // namespace

std::uint64_t currentTime() noexcept
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const std::uint64_t ticks = (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return ticks - fileTimeTo1970;
}

std::uint32_t processId() noexcept
{
    static const std::uint32_t id = GetCurrentProcessId();
    return id;
}

std::uint32_t currentThreadId() noexcept
{
    return GetCurrentThreadId();
}

const wchar_t* levelName(Level level) noexcept
{
    switch (level) {
    case Level::Max: return L"MAX";
    case Level::Trace: return L"TRACE";
    case Level::Info: return L"INFO";
    case Level::Warn: return L"WARN";
    case Level::Error: return L"ERROR";
    case Level::Fatal: return L"FATAL";
    case Level::Debug:
    default: return L"DEBUG";
    }
}

Record Record::make(const char* sourceFile, std::uint32_t sourceLine, Level level, std::wstring message)
{
    Record record;
    record.sourceFile = sourceFile;
    record.sourceLine = sourceLine;
    record.time = currentTime();
    record.processId = Log::processId();
    record.threadId = currentThreadId();
    record.level = level;
    record.message = std::move(message);
    return record;
}

}  // namespace Log
