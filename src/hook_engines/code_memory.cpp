#include "hook_engines/code_memory.h"

#include "win/srw_lock.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace Overlay {
namespace HookEngines {

namespace {

constexpr DWORD ReadableProtections = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                                      PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
constexpr DWORD ExecutableProtections =
    PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;

bool query(std::uint64_t address, MEMORY_BASIC_INFORMATION& info)
{
    return VirtualQuery(reinterpret_cast<const void*>(address), &info, sizeof info) == sizeof info;
}

bool hasProtection(const MEMORY_BASIC_INFORMATION& info, DWORD wanted)
{
    return info.State == MEM_COMMIT && (info.Protect & wanted) != 0 && (info.Protect & PAGE_GUARD) == 0;
}

}  // namespace

std::size_t readableLength(const void* address, std::size_t wanted)
{
    std::uint64_t at = reinterpret_cast<std::uint64_t>(address);
    const std::uint64_t end = at + wanted;
    while (at < end) {
        MEMORY_BASIC_INFORMATION info;
        if (!query(at, info) || !hasProtection(info, ReadableProtections))
            break;
        at = reinterpret_cast<std::uint64_t>(info.BaseAddress) + info.RegionSize;
    }
    at = std::min(at, end);
    return static_cast<std::size_t>(at - reinterpret_cast<std::uint64_t>(address));
}

bool isExecutable(const void* address)
{
    MEMORY_BASIC_INFORMATION info;
    return address != nullptr && query(reinterpret_cast<std::uint64_t>(address), info) &&
           hasProtection(info, ExecutableProtections);
}

bool writeCode(void* destination, const void* source, std::size_t length)
{
    // Page by page: VirtualProtect reports the former protection of the first page only, and
    // giving that back to the whole range would leave a neighbour page with another one (a
    // read-only code page made writable, say). All pages are made writable before any byte is
    // written, so that a failure leaves the code untouched.
    constexpr std::uint64_t PageSize = 0x1000;
    constexpr std::size_t MaxPages = 4;
    const std::uint64_t start = reinterpret_cast<std::uint64_t>(destination);
    const std::uint64_t firstPage = start & ~(PageSize - 1);
    const std::size_t pages =
        length == 0 ? 0 : static_cast<std::size_t>(((start + length - 1) & ~(PageSize - 1)) - firstPage) / PageSize + 1;
    if (pages > MaxPages)
        return false;
    DWORD former[MaxPages] = {};
    auto page = [&](std::size_t i) { return reinterpret_cast<void*>(firstPage + i * PageSize); };
    auto restore = [&](std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            DWORD ignored = 0;
            VirtualProtect(page(i), 1, former[i], &ignored);
        }
    };
    for (std::size_t i = 0; i < pages; ++i) {
        if (!VirtualProtect(page(i), 1, PAGE_EXECUTE_READWRITE, &former[i])) {
            restore(i);
            return false;
        }
    }
    std::memcpy(destination, source, length);
    restore(pages);
    FlushInstructionCache(GetCurrentProcess(), destination, length);
    return true;
}

bool isWithinReach(std::uint64_t slot, std::uint64_t target)
{
#if defined(_WIN64)
    const std::uint64_t low = std::min(slot, target);
    const std::uint64_t high = std::max(slot + CodeSlotSize, target);
    return high - low <= NearReach;
#else
    // rel32 wraps around the 4 GiB address space: every address reaches every other.
    (void)slot;
    (void)target;
    return true;
#endif
}

namespace {

constexpr std::size_t BlockSize = 0x10000;
constexpr std::size_t SlotsPerBlock = BlockSize / CodeSlotSize;

struct Block
{
    std::uint8_t* base = nullptr;
    std::size_t inUse = 0;
    bool used[SlotsPerBlock] = {};
    std::uint64_t released[SlotsPerBlock] = {};  // when each slot was last released (0: never used)
};

struct Arena
{
    SRWLOCK lock = SRWLOCK_INIT;
    std::vector<std::unique_ptr<Block>> blocks;
    std::uint64_t clock = 0;
};

Arena& arena()
{
    // Never destroyed: trampolines must outlive every static destructor that might still call them.
    static Arena* instance = new Arena();
    return *instance;
}

struct ArenaLock : Win::SrwExclusive
{
    explicit ArenaLock(Arena& a) : Win::SrwExclusive(a.lock) {}
};

std::uint8_t* allocateBlockAt(std::uint64_t address)
{
    return static_cast<std::uint8_t*>(
        VirtualAlloc(reinterpret_cast<void*>(address), BlockSize, MEM_RESERVE | MEM_COMMIT, PAGE_EXECUTE_READ));
}

#if defined(_WIN64)
// The nearest free, allocation-aligned place for a block below (down) or above `target`, or 0.
std::uint64_t findFreePlace(std::uint64_t target, bool down)
{
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    const std::uint64_t granularity = system.dwAllocationGranularity;
    const std::uint64_t lowest = std::max<std::uint64_t>(
        reinterpret_cast<std::uint64_t>(system.lpMinimumApplicationAddress) + granularity - 1, granularity);
    const std::uint64_t highest = reinterpret_cast<std::uint64_t>(system.lpMaximumApplicationAddress);

    std::uint64_t at = down ? (target & ~(granularity - 1)) : ((target + granularity - 1) & ~(granularity - 1));
    for (int steps = 0; steps < 100000; ++steps) {
        if (at < lowest || at + BlockSize > highest || !isWithinReach(at, target) ||
            !isWithinReach(at + BlockSize - CodeSlotSize, target))
            return 0;
        MEMORY_BASIC_INFORMATION info;
        if (!query(at, info))
            return 0;
        const std::uint64_t regionEnd = reinterpret_cast<std::uint64_t>(info.BaseAddress) + info.RegionSize;
        if (info.State == MEM_FREE && regionEnd - at >= BlockSize)
            return at;
        if (down) {
            const std::uint64_t start =
                info.State == MEM_FREE ? at : reinterpret_cast<std::uint64_t>(info.AllocationBase);
            if (start < granularity)
                return 0;
            at = (std::min(start, at) - 1) & ~(granularity - 1);
        } else {
            at = (regionEnd + granularity - 1) & ~(granularity - 1);
        }
    }
    return 0;
}
#endif

std::uint8_t* allocateBlockNear(std::uint64_t target)
{
#if defined(_WIN64)
    for (int attempt = 0; attempt < 8; ++attempt) {
        const std::uint64_t below = findFreePlace(target, true);
        const std::uint64_t above = findFreePlace(target, false);
        if (below == 0 && above == 0)
            return nullptr;
        // The nearer one first: moved RIP-relative operands then reach their data more often.
        std::uint64_t first = below, second = above;
        if (below == 0 || (above != 0 && above - target < target - below))
            std::swap(first, second);
        if (std::uint8_t* block = allocateBlockAt(first))
            return block;
        if (second != 0)
            if (std::uint8_t* block = allocateBlockAt(second))
                return block;
    }
    return nullptr;
#else
    // Any address is near (see isWithinReach).
    (void)target;
    return allocateBlockAt(0);
#endif
}

bool takeSlot(Arena& a, const std::uint64_t target, bool mustReach, CodeSlot& slot)
{
    Block* bestBlock = nullptr;
    std::size_t bestIndex = 0;
    for (const std::unique_ptr<Block>& block : a.blocks) {
        if (block->inUse == SlotsPerBlock)
            continue;
        for (std::size_t i = 0; i < SlotsPerBlock; ++i) {
            const std::uint64_t address = reinterpret_cast<std::uint64_t>(block->base) + i * CodeSlotSize;
            if (block->used[i] || (mustReach && !isWithinReach(address, target)))
                continue;
            if (bestBlock == nullptr || block->released[i] < bestBlock->released[bestIndex]) {
                bestBlock = block.get();
                bestIndex = i;
            }
        }
    }
    if (bestBlock == nullptr)
        return false;
    bestBlock->used[bestIndex] = true;
    ++bestBlock->inUse;
    slot.address = bestBlock->base + bestIndex * CodeSlotSize;
    return true;
}

}  // namespace

bool allocateCodeSlot(const void* target, bool nearOnly, CodeSlot& slot)
{
    Arena& a = arena();
    ArenaLock lock(a);
    const std::uint64_t t = reinterpret_cast<std::uint64_t>(target);
    if (takeSlot(a, t, true, slot))
        return true;
    std::unique_ptr<Block> block(new (std::nothrow) Block());
    if (!block)
        return false;
    block->base = allocateBlockNear(t);
    const bool nearBlock = block->base != nullptr;
    if (!nearBlock) {
        if (nearOnly)
            return false;
        if (takeSlot(a, t, false, slot))
            return true;
        block->base = allocateBlockAt(0);
        if (block->base == nullptr)
            return false;
    }
    std::uint8_t* const base = block->base;
    try {
        a.blocks.push_back(std::move(block));
    } catch (...) {
        VirtualFree(base, 0, MEM_RELEASE);
        return false;
    }
    return takeSlot(a, t, nearBlock, slot);
}

void releaseCodeSlot(const CodeSlot& slot)
{
    if (slot.address == nullptr)
        return;
    Arena& a = arena();
    ArenaLock lock(a);
    for (const std::unique_ptr<Block>& block : a.blocks) {
        if (slot.address >= block->base && slot.address < block->base + BlockSize) {
            const std::size_t i = static_cast<std::size_t>(slot.address - block->base) / CodeSlotSize;
            if (block->used[i]) {
                block->used[i] = false;
                block->released[i] = ++a.clock;
                --block->inUse;
            }
            return;
        }
    }
}

CodeArenaStats codeArenaStats()
{
    Arena& a = arena();
    ArenaLock lock(a);
    CodeArenaStats stats;
    stats.blocks = a.blocks.size();
    for (const std::unique_ptr<Block>& block : a.blocks)
        stats.slotsInUse += block->inUse;
    return stats;
}

}  // namespace HookEngines
}  // namespace Overlay
