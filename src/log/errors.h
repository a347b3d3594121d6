#pragma once

#include <exception>
#include <string>

namespace Log {
namespace Errors {

class Base : public std::exception
{
public:
    explicit Base(std::string message);
    const char* what() const noexcept override;

private:
    std::string message_;
};

// "Logger is already initialized"
class AlreadyInitialized : public Base
{
public:
    AlreadyInitialized();
};

class Failed : public Base
{
public:
    using Base::Base;
};

// A log file or the folder for it could not be opened; carries the file's or the folder's path.
class FailedToCreateLogFile : public Base
{
public:
    FailedToCreateLogFile(std::string message, std::wstring path);
    const std::wstring& path() const noexcept { return path_; }

private:
    std::wstring path_;
};

}  // namespace Errors
}  // namespace Log
