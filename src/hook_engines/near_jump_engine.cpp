#include "hook_engines/near_jump_engine.h"

#include "hook_engines/inline_hook.h"

#include <atomic>
#include <memory>
#include <new>
#include <vector>

namespace Overlay {
namespace HookEngines {

namespace {

std::atomic<PrintCallback> g_print{nullptr};

struct Pending
{
    InlineHook* hook = nullptr;
    HookStatus status = HookStatus::InvalidArgument;
    HookStatus checked = HookStatus::Ok;  // what the check while frozen found
};

bool sameSiteEarlier(const std::vector<Pending>& pending, std::size_t index)
{
    for (std::size_t j = 0; j < index; ++j) {
        if (pending[j].status == HookStatus::Ok && pending[j].hook->site == pending[index].hook->site)
            return true;
    }
    return false;
}

// Room for the bookkeeping of a batch of `count` entries; false for an empty batch or without memory.
bool startBatch(const void* entries, int count, std::vector<Pending>& pending)
{
    if (entries == nullptr || count <= 0)
        return false;
    try {
        pending.resize(static_cast<std::size_t>(count));
    } catch (...) {
        return false;
    }
    return true;
}

// Checks every pending entry that is still fine while all other threads are suspended (again
// while some check is refused for a transient reason), then acts on those that passed. `check` and
// `act` must not use the heap, log or take locks that other threads may hold.
template <class Check, class Act>
void whileFrozen(std::vector<Pending>& pending, HookStatus ready, Check check, Act act)
{
    ThreadFreezer freezer;
    const HookStatus frozen = ready != HookStatus::Ok ? ready : freezeAndCheck(freezer, [&] {
        HookStatus transient = HookStatus::Ok;
        for (std::size_t i = 0; i < pending.size(); ++i) {
            if (pending[i].status != HookStatus::Ok)
                continue;
            pending[i].checked = check(i, freezer);
            if (isTransient(pending[i].checked))
                transient = pending[i].checked;
        }
        return transient;
    });
    for (std::size_t i = 0; i < pending.size(); ++i) {
        if (pending[i].status != HookStatus::Ok)
            continue;
        if (frozen != HookStatus::Ok)
            pending[i].status = frozen;
        else
            pending[i].status = pending[i].checked == HookStatus::Ok ? act(i, freezer) : pending[i].checked;
    }
    freezer.thaw();
}

}  // namespace

void setNearJumpPrintCallback(PrintCallback callback)
{
    g_print.store(callback);
}

int attachNearJumps(NearJumpAttachEntry* entries, int count)
{
    std::vector<Pending> pending;
    const bool started = startBatch(entries, count, pending);
    for (int i = 0; entries != nullptr && i < count; ++i) {
        entries[i].attached = false;
        entries[i].status = started ? HookStatus::InvalidArgument : HookStatus::NoMemory;
    }
    if (!started)
        return 0;

    EngineLock lock;
    bool any = false;
    for (std::size_t i = 0; i < pending.size(); ++i) {
        NearJumpAttachEntry& entry = entries[i];
        if (entry.function == nullptr || *entry.function == nullptr || entry.replacement == nullptr)
            continue;
        pending[i].hook = new (std::nothrow) InlineHook();
        if (pending[i].hook == nullptr) {
            pending[i].status = HookStatus::NoMemory;
            continue;
        }
        pending[i].status = prepareHook(PatchStyle::NearJump, *entry.function, entry.replacement, *pending[i].hook);
        if (pending[i].status == HookStatus::Ok && sameSiteEarlier(pending, i)) {
            discardHook(*pending[i].hook);
            pending[i].status = HookStatus::DuplicateTarget;
        }
        any = any || pending[i].status == HookStatus::Ok;
    }

    if (any) {
        whileFrozen(
            pending, reserveHooks(pending.size()) ? HookStatus::Ok : HookStatus::NoMemory,
            [&](std::size_t i, const ThreadFreezer& freezer) { return checkApply(*pending[i].hook, freezer); },
            [&](std::size_t i, ThreadFreezer& freezer) {
                return apply(*pending[i].hook, freezer, entries[i].function);
            });
    }

    const PrintCallback print = g_print.load();
    int attached = 0;
    for (std::size_t i = 0; i < pending.size(); ++i) {
        InlineHook* hook = pending[i].hook;
        entries[i].status = pending[i].status;
        if (pending[i].status == HookStatus::Ok) {
            registerHook(hook);  // room was reserved before the patch
            entries[i].attached = true;
            ++attached;
            if (print != nullptr)
                print("attach %p: patched %p, relay %p, trampoline %p, %u bytes moved", hook->requested, hook->site,
                      hook->relay, hook->trampoline, static_cast<unsigned>(hook->plan.copiedLength));
            continue;
        }
        if (print != nullptr)
            print("attach %p: failed: %s", entries[i].function != nullptr ? *entries[i].function : nullptr,
                  describe(pending[i].status));
        if (hook != nullptr) {
            discardHook(*hook);
            delete hook;
        }
    }
    return attached;
}

int detachNearJumps(NearJumpDetachEntry* entries, int count)
{
    std::vector<Pending> pending;
    const bool started = startBatch(entries, count, pending);
    for (int i = 0; entries != nullptr && i < count; ++i) {
        entries[i].detached = 0;
        entries[i].status = started ? HookStatus::InvalidArgument : HookStatus::NoMemory;
    }
    if (!started)
        return 0;

    EngineLock lock;
    bool any = false;
    for (std::size_t i = 0; i < pending.size(); ++i) {
        if (entries[i].function == nullptr)
            continue;
        pending[i].hook = findHook(*entries[i].function, PatchStyle::NearJump);
        pending[i].status = pending[i].hook != nullptr ? HookStatus::Ok : HookStatus::NotHooked;
        for (std::size_t j = 0; j < i && pending[i].status == HookStatus::Ok; ++j) {
            if (pending[j].hook == pending[i].hook)
                pending[i].status = HookStatus::DuplicateTarget;
        }
        any = any || pending[i].status == HookStatus::Ok;
    }

    if (any) {
        whileFrozen(
            pending, HookStatus::Ok, [&](std::size_t i, const ThreadFreezer&) { return checkRemove(*pending[i].hook); },
            [&](std::size_t i, ThreadFreezer& freezer) {
                return remove(*pending[i].hook, freezer, entries[i].function);
            });
    }

    const PrintCallback print = g_print.load();
    int detached = 0;
    for (std::size_t i = 0; i < pending.size(); ++i) {
        InlineHook* hook = pending[i].hook;
        entries[i].status = pending[i].status;
        if (pending[i].status == HookStatus::Ok) {
            if (print != nullptr)
                print("detach %p: restored %p", hook->requested, hook->site);
            unregisterHook(hook);
            discardHook(*hook);
            delete hook;
            entries[i].detached = 1;
            ++detached;
        } else if (print != nullptr) {
            print("detach %p: failed: %s", entries[i].function != nullptr ? *entries[i].function : nullptr,
                  describe(pending[i].status));
        }
    }
    return detached;
}

}  // namespace HookEngines
}  // namespace Overlay
