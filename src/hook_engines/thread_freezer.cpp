#include "hook_engines/thread_freezer.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cstring>

namespace Overlay {
namespace HookEngines {

namespace {

// NtGetNextThread walks the process's threads without allocating anything in the process.
using NtGetNextThreadFn = LONG(NTAPI*)(HANDLE process, HANDLE thread, ACCESS_MASK access, ULONG attributes,
                                       ULONG flags, PHANDLE next);

constexpr DWORD ThreadAccess = THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_SET_CONTEXT |
                               THREAD_QUERY_LIMITED_INFORMATION;
constexpr std::size_t Capacity = 8192;
constexpr int MaxPasses = 16;

} // namespace

struct ThreadFreezer::Entry {
    HANDLE thread;
    DWORD id;
    bool ipKnown;
    std::uint64_t ip;
};

ThreadFreezer::ThreadFreezer()
{
    // Reserved before anything is stopped: nothing below allocates once threads are suspended.
    m_entries = static_cast<Entry*>(
        VirtualAlloc(nullptr, Capacity * sizeof(Entry), MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    m_capacity = m_entries != nullptr ? Capacity : 0;
    if (HMODULE ntdll = GetModuleHandleW(L"ntdll.dll"))
        m_nextThread = reinterpret_cast<void*>(GetProcAddress(ntdll, "NtGetNextThread"));
}

ThreadFreezer::~ThreadFreezer()
{
    thaw();
    if (m_entries != nullptr)
        VirtualFree(m_entries, 0, MEM_RELEASE);
}

bool ThreadFreezer::holds(unsigned long id) const
{
    for (std::size_t i = 0; i < m_count; ++i) {
        if (m_entries[i].id == id)
            return true;
    }
    return false;
}

// Suspends `thread` and keeps its handle. False when the handle is not kept (the caller closes it).
bool ThreadFreezer::add(void* thread)
{
    if (m_count == m_capacity)
        return false;
    // A thread that cannot be suspended is exiting: it is neither kept nor resumed later.
    if (SuspendThread(thread) == static_cast<DWORD>(-1))
        return false;
    m_entries[m_count].thread = thread;
    m_entries[m_count].id = GetThreadId(thread);
    m_entries[m_count].ipKnown = false;
    m_entries[m_count].ip = 0;
    ++m_count;
    return true;
}

HookStatus ThreadFreezer::suspendEnumerated()
{
    const auto nextThread = reinterpret_cast<NtGetNextThreadFn>(m_nextThread);
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
                if (m_count == m_capacity) {
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
        if (m_count == m_capacity) {
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
    if (m_entries == nullptr)
        return HookStatus::FreezeFailed;
    thaw();
    const HookStatus status = m_nextThread != nullptr ? suspendEnumerated() : suspendListed();
    if (status != HookStatus::Ok) {
        thaw();
        return status;
    }
    // Reading the context also waits until a suspension has taken effect.
    for (std::size_t i = 0; i < m_count; ++i) {
        CONTEXT context;
        std::memset(&context, 0, sizeof context);
        context.ContextFlags = CONTEXT_CONTROL;
        if (GetThreadContext(m_entries[i].thread, &context)) {
            m_entries[i].ip = context.Rip;
            m_entries[i].ipKnown = true;
        }
    }
    return HookStatus::Ok;
}

void ThreadFreezer::thaw()
{
    for (std::size_t i = 0; i < m_count; ++i) {
        ResumeThread(m_entries[i].thread);
        CloseHandle(m_entries[i].thread);
    }
    m_count = 0;
}

bool ThreadFreezer::instructionPointer(std::size_t index, std::uint64_t& ip) const
{
    if (index >= m_count || !m_entries[index].ipKnown)
        return false;
    ip = m_entries[index].ip;
    return true;
}

bool ThreadFreezer::setInstructionPointer(std::size_t index, std::uint64_t ip)
{
    if (index >= m_count || !m_entries[index].ipKnown)
        return false;
    CONTEXT context;
    std::memset(&context, 0, sizeof context);
    context.ContextFlags = CONTEXT_CONTROL;
    if (!GetThreadContext(m_entries[index].thread, &context))
        return false;
    context.Rip = ip;
    if (!SetThreadContext(m_entries[index].thread, &context))
        return false;
    m_entries[index].ip = ip;
    return true;
}

} // namespace HookEngines
} // namespace Overlay
