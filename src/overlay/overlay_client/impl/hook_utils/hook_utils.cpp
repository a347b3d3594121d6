#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

#include "overlay/overlay_client/impl/hook_utils/hook_utils.h"

#include "overlay/overlay_client/impl/hook_utils/detours_api.h"
#include "overlay/overlay_client/impl/hook_utils/mhook_api.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

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

void logOutcome(const wchar_t* action, const HookRecord& record, bool succeeded)
{
    if (succeeded)
        LOG_INFO(L"%0 : %1 : %2", action, record.getName(), L"Ok");
    else
        LOG_ERROR(L"%0 : %1 : %2", action, record.getName(), L"Failed");
}

} // namespace

HookRecord::HookRecord(void* realFunc, void* hookFunc, std::string name, bool unhookOnDestroy)
    : m_realFunc(realFunc), m_hookFunc(hookFunc), m_name(std::move(name)), m_unhookOnDestroy(unhookOnDestroy)
{
    if (m_realFunc == nullptr)
        throw std::invalid_argument(m_name + ": realFunc is null");
    if (m_hookFunc == nullptr)
        throw std::invalid_argument(m_name + ": hookFunc is null");
}

HookRecord::~HookRecord()
{
    if (!m_unhookOnDestroy || !m_hooked)
        return;
    try {
        unhook(HookList{this});
    } catch (...) {
        // A destructor must not throw; unhook has logged what it could.
    }
}

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
    HookList collected;
    for (HookRecord* record : records) {
        if (record != nullptr && !record->m_hooked)
            collected.push_back(record);
    }
    if (collected.empty())
        return;

    // First engine, all records in one batch.
    clearEngineLog();
    std::vector<MhookHookEntry> entries;
    entries.reserve(collected.size());
    for (HookRecord* record : collected)
        entries.push_back({&record->m_realFunc, record->m_hookFunc, false});
    Mhook_SetHookEx(entries.data(), static_cast<int>(entries.size()));
    for (std::size_t i = 0; i < collected.size(); ++i) {
        if (entries[i].attached) {
            collected[i]->m_hooked = true;
            collected[i]->m_backend = HookBackendMhook;
        }
    }

    // Second engine, one transaction for what the first one refused.
    HookList rest;
    for (HookRecord* record : collected) {
        if (!record->m_hooked)
            rest.push_back(record);
    }
    if (!rest.empty()) {
        DetourTransactionBegin();
        DetourUpdateThread(GetCurrentThread());
        for (HookRecord* record : rest)
            DetourAttach(&record->m_realFunc, record->m_hookFunc);
        const LONG error = DetourTransactionCommit();
        if (error == 0) {
            for (HookRecord* record : rest) {
                record->m_hooked = true;
                record->m_backend = HookBackendDetours;
            }
        } else {
            LOG_ERROR(L"Detours attach error = %1", error);
        }
    }

    bool failed = false;
    for (HookRecord* record : collected) {
        logOutcome(L"Hook", *record, record->m_hooked);
        failed = failed || !record->m_hooked;
    }
    if (failed && g_mhookDumpBuffer != nullptr && g_mhookDumpBuffer->length > 0)
        LOG_ERROR(L"Mhook Dump Start:\n%0\nMhook Dump End", engineLogText());
}

void unhook(const HookList& records)
{
    HookList collected;
    for (HookRecord* record : records) {
        if (record != nullptr && record->m_hooked)
            collected.push_back(record);
    }
    if (collected.empty())
        return;

    clearEngineLog();
    HookList byMhook;
    HookList byDetours;
    for (HookRecord* record : collected)
        (record->m_backend == HookBackendDetours ? byDetours : byMhook).push_back(record);

    if (!byMhook.empty()) {
        std::vector<MhookUnhookEntry> entries;
        entries.reserve(byMhook.size());
        for (HookRecord* record : byMhook)
            entries.push_back({&record->m_realFunc, 0});
        Mhook_UnhookEx(entries.data(), static_cast<int>(entries.size()));
        for (std::size_t i = 0; i < byMhook.size(); ++i)
            byMhook[i]->m_hooked = entries[i].detached == 0;
    }

    if (!byDetours.empty()) {
        DetourTransactionBegin();
        DetourUpdateThread(GetCurrentThread());
        for (HookRecord* record : byDetours)
            DetourDetach(&record->m_realFunc, record->m_hookFunc);
        const LONG error = DetourTransactionCommit();
        if (error == 0) {
            for (HookRecord* record : byDetours)
                record->m_hooked = false;
        } else {
            LOG_ERROR(L"Detours detach error = %1", error);
        }
    }

    for (HookRecord* record : collected)
        logOutcome(L"Unhook", *record, !record->m_hooked);
}

bool allHooked(const HookList& records)
{
    return std::all_of(records.begin(), records.end(), [](const HookRecord* record) { return record->isHooked(); });
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
    const std::uint64_t n = std::min<std::uint64_t>(static_cast<std::uint64_t>(formatted),
                                                    MhookDumpBuffer::Capacity - 1 - length);
    if (n == 0)
        return;
    buffer->length = length + n;
    buffer->data[buffer->length] = '\n';
    ++buffer->length;
}

} // namespace Overlay
