#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "err/generic_error.h"

namespace Err {

namespace details {

// what() of a code-based error: the message part, then " " + the system's message for the code
// (trimmed; left out when the system has none), then " (" + the code as a signed number + ")".
std::string appendSystemCode(std::string text, std::uint32_t code);

}  // namespace details

// An error that carries a Windows error code (or an HRESULT). Its name is "Error." + Tag::namePart.
template <typename Tag>
class CodeBasedError : public Error2
{
public:
    CodeBasedError(std::uint32_t code, const std::string& message) : Error2(message), systemCode_(code) {}
    CodeBasedError(std::uint32_t code, const std::shared_ptr<const Error>& cause, const std::string& message)
        : Error2(cause, message), systemCode_(code)
    {
    }

    std::uint32_t systemCode() const noexcept { return systemCode_; }

    [[noreturn]] void raise() const override { throw *this; }
    const std::string& name() const override { return staticName(); }
    std::shared_ptr<Error> clone() const override { return std::make_shared<CodeBasedError>(*this); }

    static const std::string& staticName()
    {
        static const std::string name = Error2::staticName() + "." + Tag::namePart;
        return name;
    }

protected:
    std::string composeWhat() const override { return details::appendSystemCode(Error2::composeWhat(), systemCode_); }

private:
    std::uint32_t systemCode_;
};

struct SystemError_t
{
    static constexpr const char* namePart = "System";
};

// "Error.System": a Windows error without a more specific kind.
using SystemError = CodeBasedError<SystemError_t>;

// A system error of one condition, named "Error.System." + Tag::namePart; caught as SystemError too.
template <typename Tag>
class SpecificSystemError : public SystemError
{
public:
    using SystemError::SystemError;

    [[noreturn]] void raise() const override { throw *this; }
    const std::string& name() const override { return staticName(); }
    std::shared_ptr<Error> clone() const override { return std::make_shared<SpecificSystemError>(*this); }

    static const std::string& staticName()
    {
        static const std::string name = SystemError::staticName() + "." + Tag::namePart;
        return name;
    }
};

namespace System {

struct AccessDenied_t
{
    static constexpr const char* namePart = "AccessDenied";
};
struct OutOfDiskSpace_t
{
    static constexpr const char* namePart = "OutOfDiskSpace";
};
struct Cancelled_t
{
    static constexpr const char* namePart = "Cancelled";
};
struct ElevationRequired_t
{
    static constexpr const char* namePart = "ElevationRequired";
};
struct FileNotFound_t
{
    static constexpr const char* namePart = "FileNotFound";
};

using AccessDenied = SpecificSystemError<AccessDenied_t>;
using OutOfDiskSpace = SpecificSystemError<OutOfDiskSpace_t>;
using Cancelled = SpecificSystemError<Cancelled_t>;
using ElevationRequired = SpecificSystemError<ElevationRequired_t>;
using FileNotFound = SpecificSystemError<FileNotFound_t>;

}  // namespace System

// A new system error for a Windows error code (typically GetLastError()) or an HRESULT, of the
// specific kind the code belongs to:
//   5, 32, 33, 65, 83, 108, 132, 158, 167, 1392, 1393  AccessDenied
//   2, 3                                                 FileNotFound
//   112                                                  OutOfDiskSpace
//   1223                                                 Cancelled
//   740                                                  ElevationRequired
//   anything else                                        SystemError
// Raise it at once (`Err::makeSystemError(GetLastError(), "Failed to open")->raise();`) or nest it
// as the cause of another error (`Failed(Err::makeSystemError(code, "..."), "...")`).
std::shared_ptr<Error> makeSystemError(std::uint32_t code, const std::string& message);

// The two ways a failed Windows call becomes an exception; `message` names the call
// ("Failed to create event"), the error adds the system's text and the code.
//   Err::throwIfFailed(device->CreateBuffer(&desc, nullptr, &buffer), "Failed to create VertexBuffer");
//   if (!event) Err::throwLastError("Failed to create event");
// An HRESULT is a signed 32-bit value (`long` on Windows); a success code returns quietly.
void throwIfFailed(long hr, const std::string& message);
[[noreturn]] void throwLastError(const std::string& message);

}  // namespace Err
