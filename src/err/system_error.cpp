#include "err/system_error.h"

#include "err/system_codes.h"

#include <windows.h>

#include <cstdint>
#include <exception>

namespace Err {

namespace details {

std::string appendSystemCode(std::string text, std::uint32_t code)
{
    const std::string message = systemMessage(code);
    const char* const blanks = " \t\r\n\v\f";
    const size_t first = message.find_first_not_of(blanks);
    if (first != std::string::npos) {
        const size_t last = message.find_last_not_of(blanks);
        text += ' ';
        text.append(message, first, last - first + 1);
    }
    text += " (" + std::to_string(static_cast<std::int32_t>(code)) + ")";
    return text;
}

}  // namespace details

std::shared_ptr<Error> makeSystemError(std::uint32_t code, const std::string& message)
{
    const details::SystemCode* const entry = details::findSystemCode(code);
    switch (entry != nullptr ? entry->kind : details::SystemKind::plain) {
    case details::SystemKind::accessDenied: return std::make_shared<System::AccessDenied>(code, message);
    case details::SystemKind::fileNotFound: return std::make_shared<System::FileNotFound>(code, message);
    case details::SystemKind::outOfDiskSpace: return std::make_shared<System::OutOfDiskSpace>(code, message);
    case details::SystemKind::cancelled: return std::make_shared<System::Cancelled>(code, message);
    case details::SystemKind::elevationRequired: return std::make_shared<System::ElevationRequired>(code, message);
    case details::SystemKind::plain: break;
    }
    return std::make_shared<SystemError>(code, message);
}

void throwIfFailed(long hr, const std::string& message)
{
    if (hr < 0) {
        makeSystemError(static_cast<std::uint32_t>(hr), message)->raise();
    }
}

void throwLastError(const std::string& message)
{
    makeSystemError(GetLastError(), message)->raise();
    std::terminate();  // not reached: the compiler cannot see through the virtual raise
}

}  // namespace Err
