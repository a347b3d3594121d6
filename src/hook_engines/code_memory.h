#pragma once

// Memory the engines read and write code in: readability checks, code writes, and the slots that
// hold relays and trampolines, taken from blocks the engines allocate near their targets.

#include <cstddef>
#include <cstdint>

namespace Overlay {
namespace HookEngines {

// Farthest a slot may be from the function it serves, so that rel32 reaches both ways from
// anywhere in the function's first bytes to anywhere in the slot.
constexpr std::uint64_t NearReach = 0x7FF00000ULL;

constexpr std::size_t CodeSlotSize = 256;

// Number of bytes from `address` on, up to `wanted`, that are committed and readable.
std::size_t readableLength(const void* address, std::size_t wanted);

// True when `address` lies in committed executable memory.
bool isExecutable(const void* address);

// Writes code: makes the pages writable, copies, gives each page back its own former protection
// and flushes the instruction cache. False, with nothing written, when a page cannot be made
// writable. Uses no heap, so it may run while other threads are suspended. Callers
// serialize their writes (see engineLock) so that no two writers flip the same page.
bool writeCode(void* destination, const void* source, std::size_t length);

// True when every byte of a slot at `slot` is within NearReach of `target`; always in a 32-bit
// process, where rel32 reaches everything.
bool isWithinReach(std::uint64_t slot, std::uint64_t target);

// A slot of CodeSlotSize executable bytes.
struct CodeSlot
{
    std::uint8_t* address = nullptr;
};

// Takes a slot within NearReach of `target`, or, when `nearOnly` is false and there is none,
// anywhere. Slots come back through releaseCodeSlot; their blocks are kept for later hooks, and a
// released slot is handed out again only after all others of its block, so that a thread that
// still runs old trampoline code finds it intact for as long as possible.
bool allocateCodeSlot(const void* target, bool nearOnly, CodeSlot& slot);
void releaseCodeSlot(const CodeSlot& slot);

struct CodeArenaStats
{
    std::size_t blocks = 0;
    std::size_t slotsInUse = 0;
};
CodeArenaStats codeArenaStats();

}  // namespace HookEngines
}  // namespace Overlay
