#include "log/errors.h"

#include <utility>

namespace Log {
namespace Errors {

Base::Base(std::string message) : message_(std::move(message)) {}

const char* Base::what() const noexcept
{
    return message_.c_str();
}

AlreadyInitialized::AlreadyInitialized() : Base("Logger is already initialized") {}

FailedToCreateLogFile::FailedToCreateLogFile(std::string message, std::wstring path)
    : Base(std::move(message)), path_(std::move(path))
{
}

}  // namespace Errors
}  // namespace Log
