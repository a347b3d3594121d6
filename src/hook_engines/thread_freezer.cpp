#include "hook_engines/thread_freezer.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cstring>

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
    HANDLE thread;
    DWORD id;
    bool ipKnown;
    std::uint64_t ip;
};

ThreadFreezer::ThreadFreezer()
{
    // Reserved before anything is stopped: nothing below allocates once threads are suspended.
    entries_ =
        static_cast<Entry*>(VirtualAlloc(nullptr, Capacity * sizeof(Entry), MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    capacity_ = entries_ != nullptr ? Capacity : 0;
    if (HMODULE ntdll = GetModuleHandleW(L"ntdll.dll"))
        nextThread_ = reinterpret_cast<void*>(GetProcAddress(ntdll, "NtGetNextThread"));
}

ThreadFreezer::~ThreadFreezer()
{
    thaw();
    if (entries_ != nullptr)
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

// Suspends `thread` and keeps its handle. False when the handle is not kept (the caller closes it).
bool ThreadFreezer::add(void* thread)
{
    if (count_ == capacity_)
        return false;
    // A thread that cannot be suspended is exiting: it is neither kept nor resumed later.
    if (SuspendThread(thread) == static_cast<DWORD>(-1))
        return false;
    entries_[count_].thread = thread;
    entries_[count_].id = GetThreadId(thread);
    entries_[count_].ipKnown = false;
    entries_[count_].ip = 0;
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
        HANDLE previous = nullptr;
        bool previousKept = false;
        for (;;) {
            HANDLE next = nullptr;
            const LONG status = nextThread(GetCurrentProcess(), previous, ThreadAccess, 0, 0, &next);
            if (previous != nullptr && !previousKept)
                CloseHandle(previous);
            if (status < 0 || next == nullptr)
                break;
            const DWORD id = GetThreadId(next);
            previousKept = false;
            if (id != self && id != 0 && !holds(id)) {
                if (count_ == capacity_) {
                    CloseHandle(next);
                    return HookStatus::FreezeFailed;
                }
                previousKept = add(next);
                added = added || previousKept;
            }
            previous = next;
        }
        if (!added)
            return HookStatus::Ok;
    }
    return HookStatus::FreezeFailed;
}

HookStatus ThreadFreezer::suspendListed()
{
    // Without NtGetNextThread: one snapshot, taken before anything is suspended (it allocates).
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return HookStatus::FreezeFailed;
    const DWORD process = GetCurrentProcessId();
    const DWORD self = GetCurrentThreadId();
    HookStatus result = HookStatus::Ok;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != process || entry.th32ThreadID == self)
            continue;
        HANDLE thread = OpenThread(ThreadAccess, FALSE, entry.th32ThreadID);
        if (thread == nullptr)
            continue;
        if (count_ == capacity_) {
            CloseHandle(thread);
            result = HookStatus::FreezeFailed;
            break;
        }
        if (!add(thread))
            CloseHandle(thread);
    }
    CloseHandle(snapshot);
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
        if (GetThreadContext(entries_[i].thread, &context)) {
            entries_[i].ip = context.Rip;
            entries_[i].ipKnown = true;
        }
    }
    return HookStatus::Ok;
}

void ThreadFreezer::thaw()
{
    for (std::size_t i = 0; i < count_; ++i) {
        ResumeThread(entries_[i].thread);
        CloseHandle(entries_[i].thread);
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

bool ThreadFreezer::setInstructionPointer(std::size_t index, std::uint64_t ip)
{
    if (index >= count_ || !entries_[index].ipKnown)
        return false;
    CONTEXT context;
    std::memset(&context, 0, sizeof context);
    context.ContextFlags = CONTEXT_CONTROL;
    if (!GetThreadContext(entries_[index].thread, &context))
        return false;
    context.Rip = ip;
    if (!SetThreadContext(entries_[index].thread, &context))
        return false;
    entries_[index].ip = ip;
    return true;
}

}  // namespace HookEngines
}  // namespace Overlay
