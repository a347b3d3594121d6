#pragma once

// A logging core of its own for one test, keeping every record's level and message.

#include "log/log.h"

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace HookingTest {

using LoggedLine = std::pair<Log::Level, std::wstring>;

class LogCapture {
public:
    LogCapture() : m_sink(std::make_shared<Sink>())
    {
        Log::Core::release();
        Log::Core::initialize(Log::Mode::Synchronous)->rootLogger()->addSink(m_sink);
    }
    ~LogCapture() { Log::Core::release(); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LoggedLine> take() { return m_sink->take(); }

private:
    class Sink : public Log::Sink {
    public:
        std::wstring name() const override { return L"Memory"; }
        void write(const Log::Record& record, const Log::TagTexts&) override
        {
            std::lock_guard<std::recursive_mutex> lock(mutex_);
            m_lines.emplace_back(record.level, record.message);
        }
        std::vector<LoggedLine> take()
        {
            std::lock_guard<std::recursive_mutex> lock(mutex_);
            return std::move(m_lines);
        }

    private:
        std::vector<LoggedLine> m_lines;
    };
    std::shared_ptr<Sink> m_sink;
};

} // namespace HookingTest
