#pragma once

// Stops every other thread of the process while code is rewritten, and lets the engines move the
// instruction pointers of the stopped threads.
//
// Between freeze and thaw the caller must not use the heap, log, load modules or take any lock a
// stopped thread might hold: the freezer itself keeps to system calls and memory it reserved
// beforehand.

#include "hook_engines/hook_status.h"
#include "win/unique_handle.h"

#include <cstddef>
#include <cstdint>

namespace Overlay {
namespace HookEngines {

class ThreadFreezer
{
public:
    ThreadFreezer();   // reserves storage and looks up what freeze needs; stops nothing yet
    ~ThreadFreezer();  // resumes what is still stopped

    ThreadFreezer(const ThreadFreezer&) = delete;
    ThreadFreezer& operator=(const ThreadFreezer&) = delete;

    // Suspends all other threads, including threads started while it works, and reads their
    // instruction and stack pointers. A thread that cannot be suspended (it is exiting) is left
    // alone and never resumed. A suspended thread whose registers cannot be read could be anywhere:
    // ThreadUnreadable, with everything resumed (the caller may try again).
    HookStatus freeze();
    void thaw();

    std::size_t count() const { return count_; }
    bool instructionPointer(std::size_t index, std::uint64_t& ip) const;
    bool setInstructionPointer(std::size_t index, std::uint64_t ip);

    // True when the top StackScanBytes of a stopped thread's stack hold a value in [from, to): a
    // thread waiting in a callee returns there. Reads only committed, readable stack memory.
    bool stacksHold(std::uint64_t from, std::uint64_t to) const;
    static constexpr std::size_t StackScanBytes = 4096;

    // Moves every stopped thread whose instruction pointer is in [from, from + length) to
    // to(offset), where offset is its distance from `from`.
    template <class Map>
    void moveThreads(std::uint64_t from, std::size_t length, Map to)
    {
        for (std::size_t i = 0; i < count_; ++i) {
            std::uint64_t ip = 0;
            if (instructionPointer(i, ip) && ip >= from && ip < from + length)
                setInstructionPointer(i, to(static_cast<std::size_t>(ip - from)));
        }
    }

private:
    struct Entry;
    bool holds(unsigned long id) const;
    bool add(Win::UniqueHandle& thread);
    HookStatus suspendListed();
    HookStatus suspendEnumerated();

    Entry* entries_ = nullptr;
    std::size_t capacity_ = 0;
    std::size_t count_ = 0;
    void* nextThread_ = nullptr;  // ntdll's NtGetNextThread, when the system has it
};

}  // namespace HookEngines
}  // namespace Overlay
