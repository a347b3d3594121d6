#include "overlay/overlay_common/ipc/named_mutex.h"

#include <utility>

#include "log/log.h"
#include "overlay/overlay_common/ipc/ipc_helper.h"

namespace Overlay::Ipc {

namespace {

template <class Error>
[[noreturn]] void logAndRaise(const Error& error)
{
    LOG_ERROR_OBJ(error);
    throw error;
}

[[noreturn]] void raiseFailed(const char* message, DWORD code)
{
    logAndRaise(NamedMutexErrors::Failed(Err::makeSystemError(code, message), message));
}

[[noreturn]] void raiseAbandon()
{
    logAndRaise(NamedMutexErrors::Abandon("Abandon mutex"));
}

}  // namespace

void NamedMutex::open(const std::string& name, bool throwOnAbandon)
{
    name_ = name;
    if (name.empty())
        raiseFailed("Unspecified name (open)", ERROR_INVALID_PARAMETER);
    Win::UniqueHandle handle(OpenMutexA(SYNCHRONIZE, FALSE, name.c_str()));
    if (!handle)
        raiseFailed("Failed to open mutex", GetLastError());
    handle_ = std::move(handle);
    throwOnAbandon_ = throwOnAbandon;
}

void NamedMutex::create(const std::string& name, bool initiallyOwned, bool* alreadyExisted,
                        const SecurityAttributes* security, bool throwOnAbandon)
{
    name_ = name;
    if (name.empty())
        raiseFailed("Unspecified mutex name (create)", ERROR_INVALID_PARAMETER);
    SetLastError(ERROR_SUCCESS);
    Win::UniqueHandle handle(CreateMutexA(security ? const_cast<SECURITY_ATTRIBUTES*>(&security->attributes) : nullptr,
                                          initiallyOwned ? TRUE : FALSE, name.c_str()));
    const DWORD error = GetLastError();
    if (!handle)
        raiseFailed("Failed to create mutex", error);
    handle_ = std::move(handle);
    throwOnAbandon_ = throwOnAbandon;
    if (alreadyExisted)
        *alreadyExisted = error == ERROR_ALREADY_EXISTS;
}

bool NamedMutex::wait(DWORD timeoutMs)
{
    if (!handle_)
        raiseFailed("Handle is null", ERROR_INVALID_HANDLE);
    const DWORD result = WaitForSingleObject(handle_.get(), timeoutMs);
    if (result == WAIT_ABANDONED) {
        // The previous owner died holding it; the data it guards may be half written.
        if (!throwOnAbandon_)
            return true;
        ReleaseMutex(handle_.get());
        raiseAbandon();
    }
    if (result == WAIT_FAILED)
        raiseFailed("Failed to wait mutex", GetLastError());
    return result == WAIT_OBJECT_0;
}

void NamedMutex::lock()
{
    if (!wait(INFINITE))
        raiseFailed("Failed to lock mutex", GetLastError());
}

void NamedMutex::unlock()
{
    ReleaseMutex(handle_.get());
}

}  // namespace Overlay::Ipc
