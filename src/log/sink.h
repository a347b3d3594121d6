#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "log/level.h"
#include "log/record.h"

namespace Log {

// Texts of a record's tags, in the record's order.
using TagTexts = std::vector<std::wstring>;

// A destination of records. The core hands a sink the records of its level and above; the sink
// serialises its own work with `mutex_`.
class Sink
{
public:
    Sink() = default;
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;
    virtual ~Sink() = default;

    virtual std::wstring name() const = 0;
    virtual void flush() {}
    virtual void write(const Record& record, const TagTexts& tags) = 0;

    Level minLevel() const noexcept { return static_cast<Level>(minLevel_.load(std::memory_order_relaxed)); }
    void setMinLevel(Level level) noexcept
    {
        minLevel_.store(static_cast<std::uint32_t>(level), std::memory_order_relaxed);
    }
    bool accepts(Level level) const noexcept
    {
        return static_cast<std::uint32_t>(level) >= minLevel_.load(std::memory_order_relaxed);
    }

protected:
    mutable std::recursive_mutex mutex_;

private:
    std::atomic<std::uint32_t> minLevel_{static_cast<std::uint32_t>(Level::Debug)};
};

class Formatter
{
public:
    virtual ~Formatter() = default;
    virtual std::wstring format(const Record& record, const TagTexts& tags) = 0;
};

// One line per record:
//   " " level (5, left) " | " thread id (6, left) " | " "%d %H:%M:%S.mmm" " | " "[tag] "... message "\n"
// Not thread-safe: its sink calls it under the sink's lock.
class FileFormatter : public Formatter
{
public:
    std::wstring format(const Record& record, const TagTexts& tags) override;

private:
    long long cachedSecond_ = -1;
    std::wstring cachedTime_;  // "%d %H:%M:%S." of cachedSecond_, or empty when unknown
};

// Local time of a record time (see currentTime()); false when it cannot be computed.
bool toLocalTime(std::uint64_t ticks, struct tm& local) noexcept;

// "%Y-%m-%d, Time Zone = GMT+hhmm" of a record time, or "(unknown date)".
std::wstring dateText(std::uint64_t ticks);

}  // namespace Log
