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
    std::unique_ptr<InlineHook> owned;  // `hook` while the batch owns it: made here, or handed back
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

// Resets the outputs of a batch of `count` entries (`done` says the entry went through) and makes
// room for its bookkeeping; false for an empty batch or without memory (the entries say NoMemory).
template <class Entry, class Done>
bool startBatch(Entry* entries, int count, Done Entry::*done, std::vector<Pending>& pending)
{
    if (entries == nullptr || count <= 0)
        return false;
    bool started = true;
    try {
        pending.resize(static_cast<std::size_t>(count));
    } catch (...) {
        started = false;
    }
    for (int i = 0; i < count; ++i) {
        entries[i].*done = Done();
        entries[i].status = started ? HookStatus::InvalidArgument : HookStatus::NoMemory;
    }
    return started;
}

// Gives every entry the status `prepare` returns for it; true when any is ready to go on.
template <class Prepare>
bool prepareBatch(std::vector<Pending>& pending, Prepare prepare)
{
    bool any = false;
    for (std::size_t i = 0; i < pending.size(); ++i) {
        pending[i].status = prepare(i);
        any = any || pending[i].status == HookStatus::Ok;
    }
    return any;
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

// Hands every entry its outcome and returns how many went through: `finish` settles and prints
// each of those; the others are printed as failed (`action` names the batch) and a hook the batch
// made for them is discarded.
template <class Entry, class Finish>
int finishBatch(const char* action, Entry* entries, std::vector<Pending>& pending, Finish finish)
{
    const PrintCallback print = g_print.load();
    int done = 0;
    for (std::size_t i = 0; i < pending.size(); ++i) {
        entries[i].status = pending[i].status;
        if (pending[i].status == HookStatus::Ok) {
            finish(i, print);
            ++done;
            continue;
        }
        if (print != nullptr)
            print("%s %p: failed: %s", action, entries[i].function != nullptr ? *entries[i].function : nullptr,
                  describe(pending[i].status));
        if (pending[i].owned)
            discardHook(*pending[i].owned);
    }
    return done;
}

}  // namespace

void setNearJumpPrintCallback(PrintCallback callback)
{
    g_print.store(callback);
}

int attachNearJumps(NearJumpAttachEntry* entries, int count)
{
    std::vector<Pending> pending;
    if (!startBatch(entries, count, &NearJumpAttachEntry::attached, pending))
        return 0;

    EngineLock lock;
    const bool any = prepareBatch(pending, [&](std::size_t i) {
        const NearJumpAttachEntry& entry = entries[i];
        if (entry.function == nullptr || *entry.function == nullptr || entry.replacement == nullptr)
            return HookStatus::InvalidArgument;
        pending[i].owned.reset(new (std::nothrow) InlineHook());
        pending[i].hook = pending[i].owned.get();
        if (pending[i].hook == nullptr)
            return HookStatus::NoMemory;
        const HookStatus status =
            prepareHook(PatchStyle::NearJump, *entry.function, entry.replacement, *pending[i].hook);
        if (status == HookStatus::Ok && sameSiteEarlier(pending, i)) {
            discardHook(*pending[i].hook);
            return HookStatus::DuplicateTarget;
        }
        return status;
    });

    if (any) {
        whileFrozen(
            pending, reserveHooks(pending.size()) ? HookStatus::Ok : HookStatus::NoMemory,
            [&](std::size_t i, const ThreadFreezer& freezer) { return checkApply(*pending[i].hook, freezer); },
            [&](std::size_t i, ThreadFreezer& freezer) {
                return apply(*pending[i].hook, freezer, entries[i].function);
            });
    }

    return finishBatch("attach", entries, pending, [&](std::size_t i, PrintCallback print) {
        const InlineHook* hook = pending[i].hook;
        registerHook(pending[i].owned.release());  // room was reserved before the patch
        entries[i].attached = true;
        if (print != nullptr)
            print("attach %p: patched %p, relay %p, trampoline %p, %u bytes moved", hook->requested, hook->site,
                  hook->relay, hook->trampoline, static_cast<unsigned>(hook->plan.copiedLength));
    });
}

int detachNearJumps(NearJumpDetachEntry* entries, int count)
{
    std::vector<Pending> pending;
    if (!startBatch(entries, count, &NearJumpDetachEntry::detached, pending))
        return 0;

    EngineLock lock;
    const bool any = prepareBatch(pending, [&](std::size_t i) {
        if (entries[i].function == nullptr)
            return HookStatus::InvalidArgument;
        pending[i].hook = findHook(*entries[i].function, PatchStyle::NearJump);
        if (pending[i].hook == nullptr)
            return HookStatus::NotHooked;
        for (std::size_t j = 0; j < i; ++j) {
            if (pending[j].hook == pending[i].hook)
                return HookStatus::DuplicateTarget;
        }
        return HookStatus::Ok;
    });

    if (any) {
        whileFrozen(
            pending, HookStatus::Ok, [&](std::size_t i, const ThreadFreezer&) { return checkRemove(*pending[i].hook); },
            [&](std::size_t i, ThreadFreezer& freezer) {
                return remove(*pending[i].hook, freezer, entries[i].function);
            });
    }

    return finishBatch("detach", entries, pending, [&](std::size_t i, PrintCallback print) {
        InlineHook* hook = pending[i].hook;
        if (print != nullptr)
            print("detach %p: restored %p", hook->requested, hook->site);
        unregisterHook(hook);
        pending[i].owned.reset(hook);  // handed back by the registry; freed with the batch
        discardHook(*hook);
        entries[i].detached = 1;
    });
}

}  // namespace HookEngines
}  // namespace Overlay
