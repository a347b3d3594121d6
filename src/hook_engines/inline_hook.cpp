#include "hook_engines/inline_hook.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace Overlay {
namespace HookEngines {

namespace {

// How far past the moved instructions the code is scanned for branches back into the patch.
constexpr std::size_t ScanWindow = 256;
constexpr std::size_t RelayLength = 16;  // jmp qword ptr [rip+0] + address + 2 bytes of int3
constexpr int MaxJumpsFollowed = 16;

SRWLOCK g_engineLock = SRWLOCK_INIT;

std::vector<InlineHook*>& hooks()
{
    // Never destroyed: hooks left in place at exit must stay reachable for their trampolines.
    static std::vector<InlineHook*>* list = new std::vector<InlineHook*>();
    return *list;
}

std::int32_t read32(const std::uint8_t* p)
{
    std::int32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

void storePointer(void** pointer, void* value)
{
    // Other threads read the pointer without a lock; one aligned pointer store is atomic.
    *static_cast<void* volatile*>(pointer) = value;
}

// Writes the relay into `slot` (the bytes of hook.slot) and the patch into hook.patch.
HookStatus encodePatch(InlineHook& hook, std::uint8_t (&slot)[CodeSlotSize])
{
    const std::uint64_t site = reinterpret_cast<std::uint64_t>(hook.site);
    const std::uint64_t replacement = reinterpret_cast<std::uint64_t>(hook.replacement);
    std::uint8_t jump[NearJumpLength];
    if constexpr (ProcessMode == CpuMode::Bits32) {
        // Relay:  E9 <rel32>   jmp replacement
        // Patch:  E9 <rel32>   jmp relay (NearJump) or jmp replacement (AbsoluteJump)
        if (hook.relay != nullptr) {
            if (!encodeNearJump(reinterpret_cast<std::uint64_t>(hook.relay), replacement, jump, ProcessMode))
                return HookStatus::NoMemory;
            std::memcpy(slot, jump, sizeof jump);
        }
        const std::uint64_t to = hook.relay != nullptr ? reinterpret_cast<std::uint64_t>(hook.relay) : replacement;
        if (!encodeNearJump(site, to, jump, ProcessMode))
            return HookStatus::NoMemory;
        std::memcpy(hook.patch, jump, sizeof jump);
        return HookStatus::Ok;
    }
    // Relay:  FF 25 00000000 <replacement, 8 bytes>   jmp qword ptr [rip+0]
    // Patch:  E9 <rel32>   jmp relay (NearJump), or the relay's bytes themselves (AbsoluteJump)
    std::uint8_t absolute[AbsoluteJumpLength];
    encodeAbsoluteJump(replacement, absolute);
    if (hook.relay == nullptr) {
        std::memcpy(hook.patch, absolute, sizeof absolute);
        return HookStatus::Ok;
    }
    std::memcpy(slot, absolute, sizeof absolute);
    if (!encodeNearJump(site, reinterpret_cast<std::uint64_t>(hook.relay), jump))
        return HookStatus::NoMemory;
    std::memcpy(hook.patch, jump, sizeof jump);
    return HookStatus::Ok;
}

}  // namespace

EngineLock::EngineLock()
{
    AcquireSRWLockExclusive(&g_engineLock);
}

EngineLock::~EngineLock()
{
    ReleaseSRWLockExclusive(&g_engineLock);
}

std::uint8_t* followJumps(std::uint8_t* code)
{
    for (int i = 0; i < MaxJumpsFollowed; ++i) {
        const std::size_t n = readableLength(code, 16);
        std::uint8_t* next = nullptr;
#if defined(_WIN64)
        const std::size_t rex = (n >= 1 && code[0] == 0x48) ? 1 : 0;  // rex.W jmp [rip+x] of some import stubs
#else
        const std::size_t rex = 0;         // 0x48 is dec eax
#endif
        if (n >= 5 && code[0] == 0xE9) {
            next = code + 5 + read32(code + 1);  // jmp rel32
        } else if (n >= 2 && code[0] == 0xEB) {
            next = code + 2 + static_cast<std::int8_t>(code[1]);  // jmp rel8
        } else if (n >= rex + 6 && code[rex] == 0xFF && code[rex + 1] == 0x25) {
#if defined(_WIN64)
            std::uint8_t* slot = code + rex + 6 + read32(code + rex + 2);  // jmp qword ptr [rip+x]
#else
            std::uint8_t* slot = nullptr;  // jmp dword ptr [x]: an absolute address
            std::memcpy(&slot, code + 2, sizeof slot);
#endif
            if (readableLength(slot, sizeof next) == sizeof next)
                std::memcpy(&next, slot, sizeof next);
        }
        if (next == nullptr || next == code || !isExecutable(next))
            return code;
        code = next;
    }
    return code;
}

HookStatus prepareHook(PatchStyle style, void* target, void* replacement, InlineHook& hook)
{
    hook = InlineHook();
    if (target == nullptr || replacement == nullptr)
        return HookStatus::InvalidArgument;
    hook.style = style;
    hook.requested = target;
    hook.replacement = replacement;
    hook.site = followJumps(static_cast<std::uint8_t*>(target));
    if (!isExecutable(hook.site))
        return HookStatus::UnreadableCode;

    std::uint8_t code[ScanWindow];
    const std::size_t available = readableLength(hook.site, sizeof code);
    std::memcpy(code, hook.site, available);

    const bool nearJump = style == PatchStyle::NearJump;
    if (!allocateCodeSlot(hook.site, nearJump, hook.slot))
        return HookStatus::NoMemory;
    hook.relay = nearJump ? hook.slot.address : nullptr;
    hook.trampoline = hook.slot.address + (nearJump ? RelayLength : 0);
    hook.patchLength = nearJump || ProcessMode == CpuMode::Bits32 ? NearJumpLength : AbsoluteJumpLength;

    const std::uint64_t site = reinterpret_cast<std::uint64_t>(hook.site);
    HookStatus status = relocate(code, available, site, hook.patchLength,
                                 reinterpret_cast<std::uint64_t>(hook.trampoline), hook.plan, ProcessMode);
    if (status == HookStatus::Ok && hook.plan.copiedLength > sizeof hook.original)
        status = HookStatus::TrampolineTooLarge;
    std::uint8_t slot[CodeSlotSize];
    std::memset(slot, 0xCC, sizeof slot);
    if (status == HookStatus::Ok)
        status = encodePatch(hook, slot);
    if (status == HookStatus::Ok) {
        std::memcpy(slot + (hook.trampoline - hook.slot.address), hook.plan.code, hook.plan.codeLength);
        if (!writeCode(hook.slot.address, slot, sizeof slot))
            status = HookStatus::ProtectFailed;
    }
    if (status != HookStatus::Ok) {
        discardHook(hook);
        return status;
    }
    std::memcpy(hook.original, code, hook.plan.copiedLength);
    return HookStatus::Ok;
}

void discardHook(InlineHook& hook)
{
    releaseCodeSlot(hook.slot);
    hook.slot = CodeSlot();
    hook.relay = nullptr;
    hook.trampoline = nullptr;
}

void waitBeforeRetry(int attempt)
{
    Sleep(static_cast<DWORD>(attempt));
}

HookStatus checkApply(const InlineHook& hook, const ThreadFreezer& freezer)
{
    if (readableLength(hook.site, hook.plan.copiedLength) != hook.plan.copiedLength)
        return HookStatus::UnreadableCode;
    if (std::memcmp(hook.site, hook.original, hook.plan.copiedLength) != 0)
        return HookStatus::CodeChanged;
    const std::uint64_t site = reinterpret_cast<std::uint64_t>(hook.site);
    for (std::size_t i = 0; i < freezer.count(); ++i) {
        std::uint64_t ip = 0;
        std::size_t offset = 0;
        if (freezer.instructionPointer(i, ip) && ip > site && ip < site + hook.plan.copiedLength &&
            !hook.plan.trampolineOffsetFor(static_cast<std::size_t>(ip - site), offset))
            return HookStatus::ThreadInPatch;
    }
    // A thread waiting in a callee called from the first bytes would return into the middle of the
    // jump. Past the patch the original instructions stay, so only its own bytes count.
    if (freezer.stacksHold(site + 1, site + hook.patchLength))
        return HookStatus::ReturnIntoPatch;
    return HookStatus::Ok;
}

HookStatus apply(InlineHook& hook, ThreadFreezer& freezer, void** pointer)
{
    if (!writeCode(hook.site, hook.patch, hook.patchLength))
        return HookStatus::ProtectFailed;
    // A thread at the very start runs the new jump; one further in continues in the trampoline.
    const std::uint64_t trampoline = reinterpret_cast<std::uint64_t>(hook.trampoline);
    const Trampoline& plan = hook.plan;
    freezer.moveThreads(reinterpret_cast<std::uint64_t>(hook.site) + 1, plan.copiedLength - 1, [&](std::size_t offset) {
        std::size_t moved = 0;
        plan.trampolineOffsetFor(offset + 1, moved);
        return trampoline + moved;
    });
    storePointer(pointer, hook.trampoline);
    return HookStatus::Ok;
}

HookStatus checkRemove(const InlineHook& hook)
{
    if (readableLength(hook.site, hook.patchLength) != hook.patchLength)
        return HookStatus::UnreadableCode;
    return std::memcmp(hook.site, hook.patch, hook.patchLength) == 0 ? HookStatus::Ok : HookStatus::Overwritten;
}

HookStatus remove(InlineHook& hook, ThreadFreezer& freezer, void** pointer)
{
    if (!writeCode(hook.site, hook.original, hook.patchLength))
        return HookStatus::ProtectFailed;
    const std::uint64_t site = reinterpret_cast<std::uint64_t>(hook.site);
    const Trampoline& plan = hook.plan;
    freezer.moveThreads(reinterpret_cast<std::uint64_t>(hook.trampoline), plan.codeLength,
                        [&](std::size_t offset) { return site + plan.originalOffsetFor(offset); });
    if (hook.relay != nullptr) {
        const std::uint64_t replacement = reinterpret_cast<std::uint64_t>(hook.replacement);
        freezer.moveThreads(reinterpret_cast<std::uint64_t>(hook.relay), RelayLength,
                            [&](std::size_t) { return replacement; });
    }
    storePointer(pointer, hook.requested);
    return HookStatus::Ok;
}

InlineHook* findHook(void* trampoline, PatchStyle style)
{
    for (InlineHook* hook : hooks()) {
        if (hook->trampoline == trampoline && hook->style == style)
            return hook;
    }
    return nullptr;
}

bool reserveHooks(std::size_t count)
{
    try {
        hooks().reserve(hooks().size() + count);
        return true;
    } catch (...) {
        return false;
    }
}

bool registerHook(InlineHook* hook)
{
    if (hooks().size() == hooks().capacity() && !reserveHooks(1))
        return false;
    hooks().push_back(hook);
    return true;
}

void unregisterHook(InlineHook* hook)
{
    std::vector<InlineHook*>& list = hooks();
    list.erase(std::remove(list.begin(), list.end(), hook), list.end());
}

}  // namespace HookEngines
}  // namespace Overlay
