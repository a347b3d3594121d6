#pragma once
// An owned kernel HANDLE, closed exactly once. Windows marks "no handle" two ways: most creators
// return null on failure (OpenThread, CreateEventW, CreateMutexW, OpenProcessToken), while
// CreateFileW, CreateNamedPipeW and CreateToolhelp32Snapshot return INVALID_HANDLE_VALUE; the
// traits say which, so `valid()` means the same for both.
//
//   Win::UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
//   if (!event) Err::throwLastError("Failed to create event");
//   Win::UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));

#include <windows.h>

#include <utility>

namespace Win {

struct NullHandleTraits
{
    static HANDLE invalid() noexcept { return nullptr; }
};

struct InvalidHandleTraits
{
    static HANDLE invalid() noexcept { return INVALID_HANDLE_VALUE; }
};

template <class Traits>
class BasicUniqueHandle
{
public:
    BasicUniqueHandle() noexcept = default;
    explicit BasicUniqueHandle(HANDLE handle) noexcept : handle_(handle) {}
    BasicUniqueHandle(BasicUniqueHandle&& other) noexcept : handle_(other.release()) {}
    BasicUniqueHandle& operator=(BasicUniqueHandle&& other) noexcept
    {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    BasicUniqueHandle(const BasicUniqueHandle&) = delete;
    BasicUniqueHandle& operator=(const BasicUniqueHandle&) = delete;
    ~BasicUniqueHandle() { reset(); }

    HANDLE get() const noexcept { return handle_; }
    bool valid() const noexcept { return handle_ != Traits::invalid(); }
    explicit operator bool() const noexcept { return valid(); }

    // Gives up ownership without closing.
    HANDLE release() noexcept { return std::exchange(handle_, Traits::invalid()); }

    // Closes the current handle (if any) and takes `handle`.
    void reset(HANDLE handle = Traits::invalid()) noexcept
    {
        const HANDLE old = std::exchange(handle_, handle);
        if (old != Traits::invalid()) {
            CloseHandle(old);
        }
    }

    // For creators that return the handle through an out parameter (OpenProcessToken): closes the
    // current handle and returns the address to write the new one to.
    HANDLE* put() noexcept
    {
        reset();
        return &handle_;
    }

private:
    HANDLE handle_ = Traits::invalid();
};

using UniqueHandle = BasicUniqueHandle<NullHandleTraits>;
using UniqueFileHandle = BasicUniqueHandle<InvalidHandleTraits>;

}  // namespace Win
