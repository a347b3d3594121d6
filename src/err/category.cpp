#include "err/category.h"

#include <windows.h>

#include "err/system_codes.h"
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
    case accessDenied: return accessDeniedCondition;
    case noSpaceOnDevice: return noSpaceOnDeviceCondition;
    case noSuchFileOrDirectory: return noSuchFileOrDirectoryCondition;
    case invalidArgument: return invalidArgumentCondition;
    case notEnoughSpace: return notEnoughMemoryCondition;
    case inputOutputError:
    case wrongProtocol:
    case xmlParsingFailed:
    case jsonParsingFailed: return inputOutputErrorCondition;
    default: break;
    }
    if (code < 0 || code >= firstOwnCode)
        return 0;
    const details::SystemCode* const entry = details::findSystemCode(static_cast<std::uint32_t>(code));
    return entry != nullptr ? entry->condition : 0;
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
