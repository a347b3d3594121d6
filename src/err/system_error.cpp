#include "err/system_error.h"

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
    switch (code) {
    case 5:
    case 32:
    case 33:
    case 65:
    case 83:
    case 108:
    case 132:
    case 158:
    case 167:
    case 1392:
    case 1393: return std::make_shared<System::AccessDenied>(code, message);
    case 2:
    case 3: return std::make_shared<System::FileNotFound>(code, message);
    case 112: return std::make_shared<System::OutOfDiskSpace>(code, message);
    case 1223: return std::make_shared<System::Cancelled>(code, message);
    case 740: return std::make_shared<System::ElevationRequired>(code, message);
    default: return std::make_shared<SystemError>(code, message);
    }
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
