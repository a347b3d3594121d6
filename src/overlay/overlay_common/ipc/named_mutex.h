#pragma once

#include <windows.h>

#include <string>

#include "err/err.h"
#include "win/unique_handle.h"

namespace Overlay::Ipc {

namespace NamedMutexErrors {
struct Base_traits
{
    using Parent = Err::Error2;
    static constexpr const char* namePart = "NamedMutex";
};
using Base = Err::GenericError<Base_traits>;  // Error.NamedMutex
struct Failed_traits
{
    using Parent = Base;
    static constexpr const char* namePart = "Failed";
};
using Failed = Err::GenericError<Failed_traits>;  // Error.NamedMutex.Failed
struct Abandon_traits
{
    using Parent = Base;
    static constexpr const char* namePart = "Abandon";
};
using Abandon = Err::GenericError<Abandon_traits>;  // Error.NamedMutex.Abandon
}  // namespace NamedMutexErrors

struct SecurityAttributes;

// A Windows named mutex shared with the host. Failures are logged and thrown as
// NamedMutexErrors::Failed, whose nested cause carries the Windows error code, or as
// NamedMutexErrors::Abandon; a failed open or create leaves the object as it was.
// Usable with std::lock_guard / std::unique_lock.
class NamedMutex
{
public:
    NamedMutex() = default;
    NamedMutex(NamedMutex&& other) noexcept = default;
    NamedMutex& operator=(NamedMutex&& other) noexcept = default;
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

    // Opens an existing mutex.
    void open(const std::string& name, bool throwOnAbandon);
    // Creates the mutex, or opens it when it exists; `alreadyExisted` (optional) tells which.
    void create(const std::string& name, bool initiallyOwned, bool* alreadyExisted, const SecurityAttributes* security,
                bool throwOnAbandon);

    // True when acquired, false on time-out. An abandoned mutex counts as acquired unless
    // throwOnAbandon was asked for; then it is released again and Abandon is thrown.
    bool wait(DWORD timeoutMs);
    void lock();
    void unlock();

    const std::string& name() const { return name_; }
    HANDLE handle() const { return handle_.get(); }

private:
    bool throwOnAbandon_ = false;
    std::string name_;
    Win::UniqueHandle handle_;
};

}  // namespace Overlay::Ipc
