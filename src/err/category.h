#pragma once

#include <cstdint>
#include <string>
#include <system_error>

namespace Err {

// Codes of the library's own error category. Codes below `firstOwnCode` are Windows system
// error codes; the category takes its message for them from the system.
enum ErrorCode : int {
    firstOwnCode = 16000,
    unknownError = 16000,
    noError = 16001,  // every error made from a message carries this code; its message is empty
    accessDenied = 16002,
    noSpaceOnDevice = 16003,
    noSuchFileOrDirectory = 16004,
    invalidArgument = 16005,
    notEnoughSpace = 16006,
    missingLibrary = 16007,
    unknownCoreError = 16008,
    unablePrepareUpdateDir = 16009,
    inputOutputError = 16010,
    wrongProtocol = 16011,
    xmlParsingFailed = 16012,
    jsonParsingFailed = 16013,
    alreadyRunning = 16014,
};

// Values of the conditions the category maps its codes to (conditions of the same category).
enum Condition : int {
    accessDeniedCondition = 1,
    noSpaceOnDeviceCondition = 2,
    inputOutputErrorCondition = 4,
    noSuchFileOrDirectoryCondition = 5,
    invalidArgumentCondition = 6,
    notEnoughMemoryCondition = 7,
};

namespace details {

class ErrCategory final : public std::error_category
{
public:
    const char* name() const noexcept override;
    std::string message(int code) const override;
    std::error_condition default_error_condition(int code) const noexcept override;
    bool equivalent(int code, const std::error_condition& condition) const noexcept override;
};

}  // namespace details

// The one process-wide instance of the category.
const std::error_category& errorCategory() noexcept;

inline std::error_code makeErrorCode(int code) noexcept
{
    return std::error_code(code, errorCategory());
}

inline std::error_condition makeErrorCondition(int condition) noexcept
{
    return std::error_condition(condition, errorCategory());
}

// The system's English message for a Windows error code (or HRESULT) in UTF-8, untrimmed;
// empty when the system has none.
std::string systemMessage(std::uint32_t code);

}  // namespace Err
