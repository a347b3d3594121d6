#include "err/category.h"

#include <windows.h>

#include "err/text_conversion.h"

namespace Err {

namespace {

const DWORD messageFlags =
    FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM;  // 0x1300
const DWORD englishUs = 1033;

const char* ownMessage(int code)
{
    switch (code) {
    case unknownError: return "unknown error";
    case noError: return "";
    case accessDenied: return "access denied";
    case noSpaceOnDevice: return "no space on device";
    case noSuchFileOrDirectory: return "no such file or directory";
    case invalidArgument: return "invalid argument";
    case notEnoughSpace: return "not enough space";
    case missingLibrary: return "missing library";
    case unablePrepareUpdateDir: return "unable prepare update dir";
    case inputOutputError: return "input-output error";
    case wrongProtocol: return "wrong protocol";
    case xmlParsingFailed: return "XML parsing failed";
    case jsonParsingFailed: return "JSON parsing failed";
    case alreadyRunning: return "already running";
    default: return "unknown core error";
    }
}

// Condition value of a code, or 0 when the code has none in this category.
int conditionOf(int code)
{
    switch (code) {
    case accessDenied:
    case 5:
    case 33:
    case 65:
    case 83:
    case 108:
    case 132:
    case 158:
    case 167: return accessDeniedCondition;
    case noSpaceOnDevice:
    case 112: return noSpaceOnDeviceCondition;
    case noSuchFileOrDirectory:
    case 2:
    case 3:
    case 15:
    case 53:
    case 67:
    case 161:
    case 206: return noSuchFileOrDirectoryCondition;
    case invalidArgument:
    case 6:
    case 13:
    case 87: return invalidArgumentCondition;
    case notEnoughSpace:
    case 8: return notEnoughMemoryCondition;
    case inputOutputError:
    case wrongProtocol:
    case xmlParsingFailed:
    case jsonParsingFailed: return inputOutputErrorCondition;
    default: return 0;
    }
}

}  // namespace

namespace details {

const char* ErrCategory::name() const noexcept
{
    return "Error.Error.Category";
}

std::string ErrCategory::message(int code) const
{
    if (code < firstOwnCode)
        return systemMessage(static_cast<std::uint32_t>(code));
    return ownMessage(code);
}

std::error_condition ErrCategory::default_error_condition(int code) const noexcept
{
    const int condition = conditionOf(code);
    if (condition != 0)
        return std::error_condition(condition, *this);
    return std::error_condition(code, std::system_category());
}

bool ErrCategory::equivalent(int code, const std::error_condition& condition) const noexcept
{
    return condition.category() == *this && default_error_condition(code).value() == condition.value();
}

}  // namespace details

const std::error_category& errorCategory() noexcept
{
    static const details::ErrCategory category;
    return category;
}

std::string systemMessage(std::uint32_t code)
{
    wchar_t* buffer = nullptr;
    const DWORD length =
        FormatMessageW(messageFlags, nullptr, code, englishUs, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    if (length == 0 || buffer == nullptr)
        return std::string();
    std::string text;
    try {
        text = utf16ToUtf8(std::wstring_view(buffer, length));
    } catch (...) {
        LocalFree(buffer);
        throw;
    }
    LocalFree(buffer);
    return text;
}

}  // namespace Err
