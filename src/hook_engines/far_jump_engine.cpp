#include "hook_engines/far_jump_engine.h"

#include "hook_engines/inline_hook.h"

#include "win/srw_lock.h"

#include <windows.h>

#include <memory>
#include <new>
#include <vector>

namespace Overlay {
namespace HookEngines {

namespace {

struct Operation
{
    bool attach;
    void** function;
    InlineHook* hook;
};

struct Transaction
{
    bool open = false;
    DWORD owner = 0;
    long error = NO_ERROR;
    FarJumpFailure failure;  // what made `error`
    std::vector<Operation> operations;
};

SRWLOCK g_transactionLock = SRWLOCK_INIT;

Transaction& transaction()
{
    static Transaction* instance = new Transaction();
    return *instance;
}

struct TransactionLock : Win::SrwExclusive
{
    TransactionLock() : Win::SrwExclusive(g_transactionLock) {}
};

long errorCode(HookStatus status)
{
    switch (status) {
    case HookStatus::Ok: return NO_ERROR;
    case HookStatus::NoMemory: return ERROR_NOT_ENOUGH_MEMORY;
    case HookStatus::UnreadableCode: return ERROR_INVALID_ADDRESS;
    case HookStatus::NotHooked: return ERROR_INVALID_HANDLE;
    case HookStatus::CodeChanged:
    case HookStatus::Overwritten: return ERROR_INVALID_DATA;
    case HookStatus::ThreadInPatch:
    case HookStatus::ReturnIntoPatch:
    case HookStatus::ThreadUnreadable:
    case HookStatus::FreezeFailed: return ERROR_BUSY;
    case HookStatus::ProtectFailed: return ERROR_ACCESS_DENIED;
    case HookStatus::InvalidArgument:
    case HookStatus::DuplicateTarget: return ERROR_INVALID_PARAMETER;
    default: return ERROR_INVALID_BLOCK;  // code the engine cannot move
    }
}

bool ownedByCaller(const Transaction& t)
{
    return t.open && t.owner == GetCurrentThreadId();
}

// Frees what the staged attaches prepared and closes the transaction.
void close(Transaction& t, bool committed)
{
    for (Operation& op : t.operations) {
        if (!op.attach)
            continue;
        if (committed) {
            registerHook(op.hook);  // room was reserved before the patch
        } else {
            discardHook(*op.hook);
            delete op.hook;
        }
    }
    if (committed) {
        for (Operation& op : t.operations) {
            if (op.attach)
                continue;
            unregisterHook(op.hook);
            discardHook(*op.hook);
            delete op.hook;
        }
    }
    t.operations.clear();
    t.open = false;
    t.owner = 0;
    t.error = NO_ERROR;
    t.failure = FarJumpFailure();
}

// Keeps the transaction's first failure; returns `error`.
long fail(Transaction& t, void** function, HookStatus status, long error)
{
    if (t.error == NO_ERROR && error != NO_ERROR) {
        t.error = error;
        t.failure = {function, status};
    }
    return error;
}

long fail(Transaction& t, void** function, HookStatus status)
{
    return fail(t, function, status, errorCode(status));
}

bool alreadyStaged(const Transaction& t, const InlineHook* hook, bool attach)
{
    for (const Operation& op : t.operations) {
        if (op.attach == attach && (op.hook == hook || (attach && op.hook->site == hook->site)))
            return true;
    }
    return false;
}

// Stages one change of `function` into the calling thread's open transaction that has not failed
// yet: `change` runs under both locks and returns its status, which the transaction keeps.
template <class Change>
long stageChange(void** function, Change change)
{
    TransactionLock lock;
    Transaction& t = transaction();
    if (!ownedByCaller(t))
        return ERROR_INVALID_OPERATION;
    if (t.error != NO_ERROR)
        return t.error;
    if (function == nullptr || *function == nullptr)
        return fail(t, function, HookStatus::InvalidArgument);
    EngineLock engine;
    return fail(t, function, change(t));
}

// Writes the staged changes in order; on a failure undoes those already written and names the
// change that failed.
HookStatus write(Transaction& t, ThreadFreezer& freezer, std::size_t& failed)
{
    for (std::size_t i = 0; i < t.operations.size(); ++i) {
        Operation& op = t.operations[i];
        const HookStatus status =
            op.attach ? apply(*op.hook, freezer, op.function) : remove(*op.hook, freezer, op.function);
        if (status == HookStatus::Ok)
            continue;
        failed = i;
        while (i-- > 0) {
            Operation& done = t.operations[i];
            if (done.attach)
                remove(*done.hook, freezer, done.function);
            else
                apply(*done.hook, freezer, done.function);
        }
        return status;
    }
    return HookStatus::Ok;
}

}  // namespace

long beginFarJumpTransaction()
{
    TransactionLock lock;
    Transaction& t = transaction();
    if (t.open)
        return ERROR_INVALID_OPERATION;
    t.open = true;
    t.owner = GetCurrentThreadId();
    t.error = NO_ERROR;
    return NO_ERROR;
}

long enlistFarJumpThread(void* thread)
{
    TransactionLock lock;
    Transaction& t = transaction();
    if (!ownedByCaller(t))
        return ERROR_INVALID_OPERATION;
    if (thread == nullptr || thread == INVALID_HANDLE_VALUE)
        return fail(t, nullptr, HookStatus::InvalidArgument, ERROR_INVALID_HANDLE);
    return NO_ERROR;
}

long stageFarJumpAttach(void** function, void* replacement)
{
    return stageChange(function, [&](Transaction& t) {
        if (replacement == nullptr)
            return HookStatus::InvalidArgument;
        std::unique_ptr<InlineHook> hook(new (std::nothrow) InlineHook());
        if (hook == nullptr)
            return HookStatus::NoMemory;
        HookStatus status = prepareHook(PatchStyle::AbsoluteJump, *function, replacement, *hook);
        if (status == HookStatus::Ok && alreadyStaged(t, hook.get(), true)) {
            discardHook(*hook);
            status = HookStatus::DuplicateTarget;
        }
        if (status != HookStatus::Ok)
            return status;
        try {
            t.operations.push_back({true, function, hook.get()});
        } catch (...) {
            discardHook(*hook);
            return HookStatus::NoMemory;
        }
        hook.release();
        return HookStatus::Ok;
    });
}

long stageFarJumpDetach(void** function, void* replacement)
{
    return stageChange(function, [&](Transaction& t) {
        InlineHook* hook = findHook(*function, PatchStyle::AbsoluteJump);
        if (hook == nullptr || (replacement != nullptr && hook->replacement != replacement))
            return HookStatus::NotHooked;
        if (alreadyStaged(t, hook, false))
            return HookStatus::DuplicateTarget;
        try {
            t.operations.push_back({false, function, hook});
        } catch (...) {
            return HookStatus::NoMemory;
        }
        return HookStatus::Ok;
    });
}

long commitFarJumpTransaction(FarJumpFailure* failure)
{
    if (failure != nullptr)
        *failure = FarJumpFailure();
    TransactionLock lock;
    Transaction& t = transaction();
    if (!ownedByCaller(t)) {
        if (failure != nullptr)
            failure->status = HookStatus::InvalidArgument;  // no transaction of this thread is open
        return ERROR_INVALID_OPERATION;
    }
    if (t.error != NO_ERROR) {
        const long error = t.error;
        if (failure != nullptr)
            *failure = t.failure;
        close(t, false);
        return error;
    }
    if (t.operations.empty()) {
        close(t, true);
        return NO_ERROR;
    }

    EngineLock engine;
    HookStatus status = reserveHooks(t.operations.size()) ? HookStatus::Ok : HookStatus::NoMemory;
    ThreadFreezer freezer;
    // From the freeze to thaw: no heap, no logging, no locks other threads may hold.
    std::size_t failed = t.operations.size();  // none in particular
    HookStatus checked = HookStatus::Ok;
    if (status == HookStatus::Ok) {
        status = freezeAndCheck(freezer, [&] {
            failed = t.operations.size();
            for (std::size_t i = 0; i < t.operations.size(); ++i) {
                const Operation& op = t.operations[i];
                checked = op.attach ? checkApply(*op.hook, freezer) : checkRemove(*op.hook);
                if (checked != HookStatus::Ok) {
                    failed = i;
                    break;
                }
            }
            return checked;
        });
    }
    if (status != HookStatus::Ok)
        failed = t.operations.size();  // the freeze failed: no change in particular
    else
        status = checked;
    if (status == HookStatus::Ok)
        status = write(t, freezer, failed);
    freezer.thaw();

    if (failure != nullptr && status != HookStatus::Ok)
        *failure = {failed < t.operations.size() ? t.operations[failed].function : nullptr, status};
    close(t, status == HookStatus::Ok);
    return errorCode(status);
}

long abortFarJumpTransaction()
{
    TransactionLock lock;
    Transaction& t = transaction();
    if (!ownedByCaller(t))
        return ERROR_INVALID_OPERATION;
    close(t, false);
    return NO_ERROR;
}

}  // namespace HookEngines
}  // namespace Overlay
