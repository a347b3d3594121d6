#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

#include "overlay/overlay_client/impl/hook_utils/hook_utils.h"

#include "overlay/overlay_client/impl/hook_utils/detours_api.h"
#include "overlay/overlay_client/impl/hook_utils/mhook_api.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace Overlay {

namespace {

MhookDumpBuffer* g_mhookDumpBuffer = nullptr;

void clearEngineLog()
{
    if (g_mhookDumpBuffer != nullptr)
        g_mhookDumpBuffer->length = 0;
}

// The buffer's text without its final newline.
std::string engineLogText()
{
    if (g_mhookDumpBuffer == nullptr || g_mhookDumpBuffer->length == 0)
        return std::string();
    std::size_t length = static_cast<std::size_t>(g_mhookDumpBuffer->length);
    if (g_mhookDumpBuffer->data[length - 1] == '\n')
        --length;
    return std::string(g_mhookDumpBuffer->data, length);
}

using HookEngines::HookStatus;

void logOutcome(const wchar_t* action, const HookRecord& record, bool succeeded)
{
    if (succeeded)
        LOG_INFO(L"%0 : %1 : %2", action, record.getName(), L"Ok");
    else
        LOG_ERROR(L"%0 : %1 : %2 (%3)", action, record.getName(), L"Failed", describe(record.getStatus()));
}

// A failed transaction writes nothing: the change that failed carries its own reason, the others
// were held back by it. A failure of the whole transaction (no memory, threads not stopped) is
// every record's reason.
HookStatus transactionStatus(HookRecord& record, const HookEngines::FarJumpFailure& failure)
{
    if (failure.function == nullptr || failure.function == record.getRealFuncAddress())
        return failure.status;
    return HookStatus::Aborted;
}

// The records of the list (null entries skipped) that are attached (`hooked`) or not.
HookList recordsWhere(const HookList& records, bool hooked)
{
    HookList found;
    for (HookRecord* record : records) {
        if (record != nullptr && record->isHooked() == hooked)
            found.push_back(record);
    }
    return found;
}

// Stages `change` (DetourAttach or DetourDetach) for every record in one transaction of the second
// engine and commits it. On failure logs `errorFormat` with the code and the reason, and `failure`
// names the change that failed.
bool farJumpTransaction(const HookList& records, LONG (*change)(PVOID*, PVOID), const wchar_t* errorFormat,
                        HookEngines::FarJumpFailure& failure)
{
    DetourTransactionBegin();
    DetourUpdateThread(GetCurrentThread());
    for (HookRecord* record : records)
        change(record->getRealFuncAddress(), record->getHookFunc());
    const LONG error = DetourTransactionCommitEx(&failure);
    if (error != 0)
        LOG_ERROR(errorFormat, error, describe(failure.status));
    return error == 0;
}

// Where each replacement forwards once its record is gone. Slots are claimed in order and never
// released; static, trivially destructible storage, so replacements can still read it while the
// process exits.
struct RetiredSlot
{
    std::atomic<const void*> hookFunc;
    std::atomic<void*> realFunc;
};
constexpr std::size_t RetiredCapacity = 256;
RetiredSlot g_retired[RetiredCapacity];
std::atomic<bool> g_retiredFullReported{false};

void retire(const HookRecord& record) noexcept
{
    const void* const key = record.getHookFunc();
    for (RetiredSlot& slot : g_retired) {
        const void* current = slot.hookFunc.load(std::memory_order_acquire);
        if (current == nullptr && slot.hookFunc.compare_exchange_strong(current, key, std::memory_order_acq_rel))
            current = key;
        if (current == key) {
            slot.realFunc.store(record.getRealFunc(), std::memory_order_release);
            return;
        }
    }
    if (!g_retiredFullReported.exchange(true))
        LOG_ERROR(L"No room left to retire %0: its replacement has nowhere to forward once its owner is gone",
                  record.getName());
}

}  // namespace

void* retiredRealFunc(const void* hookFunc) noexcept
{
    for (const RetiredSlot& slot : g_retired) {
        const void* const current = slot.hookFunc.load(std::memory_order_acquire);
        if (current == nullptr)
            break;
        if (current == hookFunc)
            return slot.realFunc.load(std::memory_order_acquire);
    }
    return nullptr;
}

HookRecord::HookRecord(void* realFunc, void* hookFunc, std::string name, bool unhookOnDestroy)
    : realFunc_(realFunc), hookFunc_(hookFunc), name_(std::move(name)), unhookOnDestroy_(unhookOnDestroy)
{
    if (realFunc_ == nullptr)
        throw std::invalid_argument(name_ + ": realFunc is null");
    if (hookFunc_ == nullptr)
        throw std::invalid_argument(name_ + ": hookFunc is null");
}

HookRecord::~HookRecord()
{
    if (!hooked_)
        return;
    if (unhookOnDestroy_) {
        try {
            unhook(HookList{this});
        } catch (...) {
            // A destructor must not throw; unhook has logged what it could.
        }
    }
    // Still attached: the patch outlives the record, its replacement forwards to the trampoline.
    if (hooked_)
        retire(*this);
}

namespace {

// Two batches at once would each freeze the thread running the other.
std::mutex& hookingMutex()
{
    static std::mutex mutex;
    return mutex;
}

}  // namespace

HookRecord makeHookRecord(void* realFunc, void* hookFunc, std::string name)
{
    return HookRecord(realFunc, hookFunc, std::move(name), true);
}

std::unique_ptr<HookRecord> makeUniqueHookRecord(void* realFunc, void* hookFunc, std::string name)
{
    return std::unique_ptr<HookRecord>(new HookRecord(realFunc, hookFunc, std::move(name), true));
}

void hook(const HookList& records)
{
    const std::lock_guard<std::mutex> turn(hookingMutex());
    const HookList collected = recordsWhere(records, false);
    if (collected.empty())
        return;

    // First engine, all records in one batch.
    clearEngineLog();
    std::vector<MhookHookEntry> entries;
    entries.reserve(collected.size());
    for (HookRecord* record : collected)
        entries.push_back({&record->realFunc_, record->hookFunc_, false});
    Mhook_SetHookEx(entries.data(), static_cast<int>(entries.size()));
    for (std::size_t i = 0; i < collected.size(); ++i) {
        collected[i]->status_ = entries[i].status;
        if (entries[i].attached) {
            collected[i]->hooked_ = true;
            collected[i]->backend_ = HookBackendMhook;
        }
    }

    // Second engine, one transaction for what the first one refused.
    const HookList rest = recordsWhere(collected, false);
    if (!rest.empty()) {
        HookEngines::FarJumpFailure failure;
        const bool committed = farJumpTransaction(rest, &DetourAttach, L"Detours attach error = %1 (%2)", failure);
        for (HookRecord* record : rest) {
            record->status_ = committed ? HookStatus::Ok : transactionStatus(*record, failure);
            if (committed) {
                record->hooked_ = true;
                record->backend_ = HookBackendDetours;
            }
        }
    }

    bool failed = false;
    for (HookRecord* record : collected) {
        logOutcome(L"Hook", *record, record->hooked_);
        failed = failed || !record->hooked_;
    }
    if (failed && g_mhookDumpBuffer != nullptr && g_mhookDumpBuffer->length > 0)
        LOG_ERROR(L"Mhook Dump Start:\n%0\nMhook Dump End", engineLogText());
}

void unhook(const HookList& records)
{
    const std::lock_guard<std::mutex> turn(hookingMutex());
    const HookList collected = recordsWhere(records, true);
    if (collected.empty())
        return;

    clearEngineLog();
    HookList byMhook;
    HookList byDetours;
    for (HookRecord* record : collected)
        (record->backend_ == HookBackendDetours ? byDetours : byMhook).push_back(record);

    if (!byMhook.empty()) {
        std::vector<MhookUnhookEntry> entries;
        entries.reserve(byMhook.size());
        for (HookRecord* record : byMhook)
            entries.push_back({&record->realFunc_, 0});
        Mhook_UnhookEx(entries.data(), static_cast<int>(entries.size()));
        for (std::size_t i = 0; i < byMhook.size(); ++i) {
            byMhook[i]->hooked_ = entries[i].detached == 0;
            byMhook[i]->status_ = entries[i].status;
        }
    }

    if (!byDetours.empty()) {
        HookEngines::FarJumpFailure failure;
        const bool committed = farJumpTransaction(byDetours, &DetourDetach, L"Detours detach error = %1 (%2)", failure);
        for (HookRecord* record : byDetours) {
            record->status_ = committed ? HookStatus::Ok : transactionStatus(*record, failure);
            record->hooked_ = !committed;
        }
    }

    // Before the owner can go: its replacements may still be entered, through a patch that stays
    // or by a thread that was already on its way in.
    for (HookRecord* record : collected)
        retire(*record);

    for (HookRecord* record : collected)
        logOutcome(L"Unhook", *record, !record->hooked_);
}

bool allHooked(const HookList& records)
{
    return std::all_of(records.begin(), records.end(), [](const HookRecord* record) { return record->isHooked(); });
}

bool waitForReplacementsToEnd(const std::atomic<long>& inside, const char* owner, unsigned long timeoutMs) noexcept
{
    if (inside.load() == 0)
        return true;
    LOG_INFO(L"%0: waiting for %1 thread(s) to leave its replacements", owner, inside.load());
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (inside.load() != 0) {
        if (GetTickCount64() >= deadline) {
            LOG_ERROR(L"%0: %1 thread(s) still inside its replacements after %2 ms", owner, inside.load(), timeoutMs);
            return false;
        }
        Sleep(1);
    }
    return true;
}

void initHookEngineLog()
{
    if (g_mhookDumpBuffer == nullptr) {
        g_mhookDumpBuffer = new MhookDumpBuffer();
        g_mhookDumpBuffer->length = 0;
    }
    Mhook_SetPrintCallback(&mhookPrintCallback);
}

void deinitHookEngineLog()
{
    Mhook_SetPrintCallback(nullptr);
    delete g_mhookDumpBuffer;
    g_mhookDumpBuffer = nullptr;
}

const MhookDumpBuffer* hookEngineLog()
{
    return g_mhookDumpBuffer;
}

void mhookPrintCallback(const char* format, ...)
{
    MhookDumpBuffer* buffer = g_mhookDumpBuffer;
    if (buffer == nullptr || format == nullptr)
        return;
    const std::uint64_t length = buffer->length;
    const std::uint64_t free = MhookDumpBuffer::Capacity - length;
    if (free < 2)
        return;
    va_list args;
    va_start(args, format);
    const int formatted = std::vsnprintf(buffer->data + length, static_cast<std::size_t>(free), format, args);
    va_end(args);
    if (formatted <= 0)
        return;
    const std::uint64_t n =
        std::min<std::uint64_t>(static_cast<std::uint64_t>(formatted), MhookDumpBuffer::Capacity - 1 - length);
    if (n == 0)
        return;
    buffer->length = length + n;
    buffer->data[buffer->length] = '\n';
    ++buffer->length;
}

}  // namespace Overlay
