#include "log_capture.h"

#include <algorithm>
#include <mutex>

namespace IpcTest {

class LogCapture::MemorySink : public Log::Sink
{
public:
    std::wstring name() const override { return L"Memory"; }
    void write(const Log::Record& record, const Log::TagTexts&) override
    {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        m_messages.push_back(record.message);
    }
    std::vector<std::wstring> messages() const
    {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        return m_messages;
    }

private:
    std::vector<std::wstring> m_messages;
};

LogCapture::LogCapture() : m_sink(std::make_shared<MemorySink>())
{
    Log::Core::release();
    Log::Core::initialize(Log::Mode::Synchronous)->rootLogger()->addSink(m_sink);
}

LogCapture::~LogCapture()
{
    Log::Core::release();
}

std::vector<std::wstring> LogCapture::messages() const
{
    return m_sink->messages();
}

bool LogCapture::contains(const std::wstring& message) const
{
    const auto all = messages();
    return std::find(all.begin(), all.end(), message) != all.end();
}

} // namespace IpcTest
