#include "hook_engines/thread_freezer.h"

#include "hook_engines/code_memory.h"
#include "win/unique_handle.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cstring>
#include <new>
#include <utility>

namespace Overlay {
namespace HookEngines {

namespace {

// NtGetNextThread walks the process's threads without allocating anything in the process.
using NtGetNextThreadFn = LONG(NTAPI*)(HANDLE process, HANDLE thread, ACCESS_MASK access, ULONG attributes, ULONG flags,
                                       PHANDLE next);

constexpr DWORD ThreadAccess =
    THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_SET_CONTEXT | THREAD_QUERY_LIMITED_INFORMATION;
constexpr std::size_t Capacity = 8192;
constexpr int MaxPasses = 16;

}  // namespace

struct ThreadFreezer::Entry
{
    Win::UniqueHandle thread;
    DWORD id = 0;
    bool ipKnown = false;
    std::uint64_t ip = 0;
    std::uint64_t sp = 0;
};

ThreadFreezer::ThreadFreezer()
{
    // Reserved before anything is stopped: nothing below allocates once threads are suspended.
    void* storage = VirtualAlloc(nullptr, Capacity * sizeof(Entry), MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (storage == nullptr)
        return;
    entries_ = static_cast<Entry*>(storage);
    for (std::size_t i = 0; i < Capacity; ++i)
        new (&entries_[i]) Entry();
    capacity_ = Capacity;
    if (HMODULE ntdll = GetModuleHandleW(L"ntdll.dll"))
        nextThread_ = reinterpret_cast<void*>(GetProcAddress(ntdll, "NtGetNextThread"));
}

ThreadFreezer::~ThreadFreezer()
{
    thaw();
    if (entries_ == nullptr)
        return;
    for (std::size_t i = 0; i < capacity_; ++i)
        entries_[i].~Entry();
    VirtualFree(entries_, 0, MEM_RELEASE);
}

bool ThreadFreezer::holds(unsigned long id) const
{
    for (std::size_t i = 0; i < count_; ++i) {
        if (entries_[i].id == id)
            return true;
    }
    return false;
}

// Suspends the thread and takes its handle over; false (the handle stays with the caller) when it
// cannot be suspended.
bool ThreadFreezer::add(Win::UniqueHandle& thread)
{
    if (count_ == capacity_)
        return false;
    // A thread that cannot be suspended is exiting: it is neither kept nor resumed later.
    if (SuspendThread(thread.get()) == static_cast<DWORD>(-1))
        return false;
    entries_[count_].id = GetThreadId(thread.get());
    entries_[count_].thread = std::move(thread);
    entries_[count_].ipKnown = false;
    entries_[count_].ip = 0;
    entries_[count_].sp = 0;
    ++count_;
    return true;
}

HookStatus ThreadFreezer::suspendEnumerated()
{
    const auto nextThread = reinterpret_cast<NtGetNextThreadFn>(nextThread_);
    const DWORD self = GetCurrentThreadId();
    // Threads started while a pass runs show up in the next one; stop when a pass adds none.
    for (int pass = 0; pass < MaxPasses; ++pass) {
        bool added = false;
        // The walk goes on from the previous thread's handle: one that is not kept stays open
        // until the next one is known.
        HANDLE previous = nullptr;
        Win::UniqueHandle previousNotKept;
        for (;;) {
            HANDLE found = nullptr;
            const LONG status = nextThread(GetCurrentProcess(), previous, ThreadAccess, 0, 0, &found);
            previousNotKept.reset();
            if (status < 0 || found == nullptr)
                break;
            Win::UniqueHandle next(found);
            const DWORD id = GetThreadId(found);
            if (id != self && id != 0 && !holds(id)) {
                if (count_ == capacity_)
                    return HookStatus::FreezeFailed;
                added = add(next) || added;
            }
            previous = found;
            previousNotKept = std::move(next);  // empty when kept
        }
        if (!added)
            return HookStatus::Ok;
    }
    return HookStatus::FreezeFailed;
}

HookStatus ThreadFreezer::suspendListed()
{
    // Without NtGetNextThread: one snapshot, taken before anything is suspended (it allocates).
    const Win::UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot)
        return HookStatus::FreezeFailed;
    const DWORD process = GetCurrentProcessId();
    const DWORD self = GetCurrentThreadId();
    HookStatus result = HookStatus::Ok;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry)) {
        if (entry.th32OwnerProcessID != process || entry.th32ThreadID == self)
            continue;
        Win::UniqueHandle thread(OpenThread(ThreadAccess, FALSE, entry.th32ThreadID));
        if (!thread)
            continue;
        if (count_ == capacity_) {
            result = HookStatus::FreezeFailed;
            break;
        }
        add(thread);
    }
    return result;
}

HookStatus ThreadFreezer::freeze()
{
    if (entries_ == nullptr)
        return HookStatus::FreezeFailed;
    thaw();
    const HookStatus status = nextThread_ != nullptr ? suspendEnumerated() : suspendListed();
    if (status != HookStatus::Ok) {
        thaw();
        return status;
    }
    // Reading the context also waits until a suspension has taken effect.
    for (std::size_t i = 0; i < count_; ++i) {
        CONTEXT context;
        std::memset(&context, 0, sizeof context);
        context.ContextFlags = CONTEXT_CONTROL;
        if (!GetThreadContext(entries_[i].thread.get(), &context)) {
            thaw();
            return HookStatus::ThreadUnreadable;
        }
#if defined(_WIN64)
        entries_[i].ip = context.Rip;
        entries_[i].sp = context.Rsp;
#else
        entries_[i].ip = context.Eip;
        entries_[i].sp = context.Esp;
#endif
        entries_[i].ipKnown = true;
    }
    return HookStatus::Ok;
}

void ThreadFreezer::thaw()
{
    for (std::size_t i = 0; i < count_; ++i) {
        ResumeThread(entries_[i].thread.get());
        entries_[i].thread.reset();
    }
    count_ = 0;
}

bool ThreadFreezer::instructionPointer(std::size_t index, std::uint64_t& ip) const
{
    if (index >= count_ || !entries_[index].ipKnown)
        return false;
    ip = entries_[index].ip;
    return true;
}

bool ThreadFreezer::stacksHold(std::uint64_t from, std::uint64_t to) const
{
    for (std::size_t i = 0; i < count_; ++i) {
        if (!entries_[i].ipKnown)
            continue;
        const auto* top = reinterpret_cast<const std::uint8_t*>(entries_[i].sp);
        const std::size_t length = readableLength(top, StackScanBytes);
        // Return addresses are pointer-sized and pointer-aligned.
        for (std::size_t at = 0; at + sizeof(std::uintptr_t) <= length; at += sizeof(std::uintptr_t)) {
            std::uintptr_t value = 0;
            std::memcpy(&value, top + at, sizeof value);
            if (value >= from && value < to)
                return true;
        }
    }
    return false;
}

bool ThreadFreezer::setInstructionPointer(std::size_t index, std::uint64_t ip)
{
    if (index >= count_ || !entries_[index].ipKnown)
        return false;
    CONTEXT context;
    std::memset(&context, 0, sizeof context);
    context.ContextFlags = CONTEXT_CONTROL;
    if (!GetThreadContext(entries_[index].thread.get(), &context))
        return false;
#if defined(_WIN64)
    context.Rip = ip;
#else
    context.Eip = static_cast<DWORD>(ip);
#endif
    if (!SetThreadContext(entries_[index].thread.get(), &context))
        return false;
    entries_[index].ip = ip;
    return true;
}

}  // namespace HookEngines
}  // namespace Overlay
