#pragma once

// Test fixtures around the logging library, shared by the tests of every area: a sink that keeps
// what it is given, and a logging core of its own for one test.

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "log/log.h"

namespace LogTest {

using Line = std::pair<Log::Level, std::wstring>;

class MemorySink : public Log::Sink
{
public:
    std::wstring name() const override { return L"Memory"; }
    void write(const Log::Record& record, const Log::TagTexts&) override
    {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        records_.push_back(record);
    }
    std::vector<Log::Record> records() const
    {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        return records_;
    }
    std::vector<std::wstring> messages() const
    {
        std::vector<std::wstring> messages;
        for (const Log::Record& record : records())
            messages.push_back(record.message);
        return messages;
    }
    bool contains(const std::wstring& message) const
    {
        const auto all = messages();
        return std::find(all.begin(), all.end(), message) != all.end();
    }
    // Level and message of every record since the last call.
    std::vector<Line> take()
    {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        std::vector<Line> lines;
        for (std::size_t i = taken_; i < records_.size(); ++i)
            lines.emplace_back(records_[i].level, records_[i].message);
        taken_ = records_.size();
        return lines;
    }

private:
    std::vector<Log::Record> records_;
    std::size_t taken_ = 0;
};

// A synchronous core for one test, logging into `sink`; the core goes with the capture.
class LogCapture
{
public:
    LogCapture() : sink(std::make_shared<MemorySink>())
    {
        Log::Core::release();
        Log::Core::initialize(Log::Mode::Synchronous)->rootLogger()->addSink(sink);
    }
    ~LogCapture() { Log::Core::release(); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::wstring> messages() const { return sink->messages(); }
    bool contains(const std::wstring& message) const { return sink->contains(message); }
    std::vector<Line> take() { return sink->take(); }

    const std::shared_ptr<MemorySink> sink;
};

}  // namespace LogTest
