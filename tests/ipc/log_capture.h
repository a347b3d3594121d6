#pragma once

#include <memory>
#include <string>
#include <vector>

#include "log/log.h"

namespace IpcTest {

// A logging core of its own for one test, keeping every message in memory.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::wstring> messages() const;
    bool contains(const std::wstring& message) const;

private:
    class MemorySink;
    std::shared_ptr<MemorySink> m_sink;
};

} // namespace IpcTest
