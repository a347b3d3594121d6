#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

#include "overlay/overlay_client/impl/load_library_hook.h"

#include <atomic>

#include "win/unique_handle.h"

#include <tlhelp32.h>
#include <winternl.h>

namespace Overlay {

namespace {

const char* const NarrowBlacklist[] = {"fraps.dll", "fraps32.dll", "fraps64.dll"};
const wchar_t* const WideBlacklist[] = {L"fraps.dll", L"fraps32.dll", L"fraps64.dll"};

constexpr std::size_t MaxFileName = 260;
constexpr LONG StatusAccessDenied = static_cast<LONG>(0xC0000022);

template <class Char, std::size_t N>
bool isBlacklistedName(const Char* name, std::size_t length, const Char* const (&blacklist)[N]) noexcept
{
    if (name == nullptr || length == 0)
        return false;
    if (name[length - 1] == '/' || name[length - 1] == '\\')
        return false;
    std::size_t start = 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (name[i] == '/' || name[i] == '\\')
            start = i + 1;
    }
    if (length - start > MaxFileName)
        return false;
    Char lower[MaxFileName];
    std::size_t count = 0;
    for (std::size_t i = start; i < length && name[i] != 0; ++i)
        lower[count++] = (name[i] >= 'A' && name[i] <= 'Z') ? static_cast<Char>(name[i] - 'A' + 'a') : name[i];
    for (const Char* entry : blacklist) {
        std::size_t i = 0;
        while (i < count && entry[i] != 0 && entry[i] == lower[i])
            ++i;
        if (i == count && entry[i] == 0)
            return true;
    }
    return false;
}

template <class Char>
std::size_t textLength(const Char* text) noexcept
{
    std::size_t n = 0;
    while (text[n] != 0)
        ++n;
    return n;
}

void* exported(HMODULE module, const char* name)
{
    return module != nullptr ? reinterpret_cast<void*>(GetProcAddress(module, name)) : nullptr;
}

HMODULE kernel32()
{
    return GetModuleHandleW(L"kernel32.dll");
}

using LoadLibraryAFn = HMODULE(WINAPI*)(LPCSTR);
using LoadLibraryWFn = HMODULE(WINAPI*)(LPCWSTR);
using LoadLibraryExAFn = HMODULE(WINAPI*)(LPCSTR, HANDLE, DWORD);
using LoadLibraryExWFn = HMODULE(WINAPI*)(LPCWSTR, HANDLE, DWORD);
// The second argument is a pointer on Windows and a value in some implementations: forwarded as is.
using LdrLoadDllFn = LONG(NTAPI*)(PWSTR, void*, PUNICODE_STRING, PVOID*);

std::atomic<LoadLibraryHook::LoadObserver> loadObserver{nullptr};

}  // namespace

// The replacements. They read only constant data and the records' realFunc.
struct LoadLibraryReplacements
{
    enum Index { A, W, ExA, ExW, Ldr };

    static HookRecord* record(LoadLibraryHook& hook, Index index)
    {
        switch (index) {
        case A: return &hook.loadLibraryA_;
        case W: return &hook.loadLibraryW_;
        case ExA: return &hook.loadLibraryExA_;
        case ExW: return &hook.loadLibraryExW_;
        default: return hook.ldrLoadDll_.get();
        }
    }

    // The function `replacement` stands in front of; null when there is none to call.
    template <class Function>
    static Function real(Index index, Function replacement)
    {
        if (LoadLibraryHook* self = SingleInstance<LoadLibraryHook>::instance()) {
            if (HookRecord* r = record(*self, index))
                return r->real<Function>();
        }
        return retiredReal(replacement);
    }

    template <class Result>
    static Result loaded(Result result)
    {
        if (const LoadLibraryHook::LoadObserver observer = loadObserver.load()) {
            const DWORD error = GetLastError();  // the game reads the load's own
            guarded(L"Module loaded", [observer] { observer(); });
            SetLastError(error);
        }
        return result;
    }

    static HMODULE denied()
    {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }

    static HMODULE WINAPI loadLibraryA(LPCSTR name)
    {
        const LoadLibraryAFn original = real(A, &loadLibraryA);
        if (LoadLibraryHook::isBlacklisted(name) || original == nullptr)
            return denied();
        return loaded(original(name));
    }

    static HMODULE WINAPI loadLibraryW(LPCWSTR name)
    {
        const LoadLibraryWFn original = real(W, &loadLibraryW);
        if (LoadLibraryHook::isBlacklisted(name) || original == nullptr)
            return denied();
        return loaded(original(name));
    }

    static HMODULE WINAPI loadLibraryExA(LPCSTR name, HANDLE file, DWORD flags)
    {
        const LoadLibraryExAFn original = real(ExA, &loadLibraryExA);
        if (LoadLibraryHook::isBlacklisted(name) || original == nullptr)
            return denied();
        return loaded(original(name, file, flags));
    }

    static HMODULE WINAPI loadLibraryExW(LPCWSTR name, HANDLE file, DWORD flags)
    {
        const LoadLibraryExWFn original = real(ExW, &loadLibraryExW);
        if (LoadLibraryHook::isBlacklisted(name) || original == nullptr)
            return denied();
        return loaded(original(name, file, flags));
    }

    static LONG NTAPI ldrLoadDll(PWSTR searchPath, void* flags, PUNICODE_STRING name, PVOID* baseAddress)
    {
        const bool refuse = guarded(L"LdrLoadDll", false, [&] {
            return name != nullptr && name->Buffer != nullptr && name->Length != 0 &&
                   LoadLibraryHook::isBlacklisted(name->Buffer, name->Length / 2);
        });
        const LdrLoadDllFn original = real(Ldr, &ldrLoadDll);
        if (refuse || original == nullptr) {
            if (baseAddress != nullptr)
                *baseAddress = nullptr;
            return StatusAccessDenied;
        }
        return loaded(original(searchPath, flags, name, baseAddress));
    }
};

void LoadLibraryHook::setLoadObserver(LoadObserver observer) noexcept
{
    loadObserver.store(observer);
}

LoadLibraryHook::LoadLibraryHook()
    : SingleInstance<LoadLibraryHook>(this),
      loadLibraryA_(makeHookRecord(exported(kernel32(), "LoadLibraryA"),
                                   codeAddress(&LoadLibraryReplacements::loadLibraryA), "LoadLibraryA")),
      loadLibraryW_(makeHookRecord(exported(kernel32(), "LoadLibraryW"),
                                   codeAddress(&LoadLibraryReplacements::loadLibraryW), "LoadLibraryW")),
      loadLibraryExA_(makeHookRecord(exported(kernel32(), "LoadLibraryExA"),
                                     codeAddress(&LoadLibraryReplacements::loadLibraryExA), "LoadLibraryExA")),
      loadLibraryExW_(makeHookRecord(exported(kernel32(), "LoadLibraryExW"),
                                     codeAddress(&LoadLibraryReplacements::loadLibraryExW), "LoadLibraryExW"))
{
    LOG_INFO(L"Hooking LoadLibrary");
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr) {
        LOG_ERROR(L"Failed to get ntdll.dll");
        return;
    }
    void* ldrLoadDll = exported(ntdll, "LdrLoadDll");
    if (ldrLoadDll == nullptr) {
        LOG_ERROR(L"Failed to get LdrLoadDll");
        return;
    }
    ldrLoadDll_ = makeUniqueHookRecord(ldrLoadDll, codeAddress(&LoadLibraryReplacements::ldrLoadDll), "LdrLoadDllHook");
}

LoadLibraryHook::~LoadLibraryHook()
{
    try {
        unhook(getHooks());
    } catch (...) {
        // Detaching never reaches the game as an exception.
    }
}

HookList LoadLibraryHook::getHooks()
{
    HookList hooks{&loadLibraryA_, &loadLibraryW_, &loadLibraryExA_, &loadLibraryExW_};
    if (ldrLoadDll_)
        hooks.push_back(ldrLoadDll_.get());
    return hooks;
}

bool LoadLibraryHook::isBlacklisted(const char* name, std::size_t length) noexcept
{
    return isBlacklistedName(name, length, NarrowBlacklist);
}

bool LoadLibraryHook::isBlacklisted(const wchar_t* name, std::size_t length) noexcept
{
    return isBlacklistedName(name, length, WideBlacklist);
}

bool LoadLibraryHook::isBlacklisted(const char* name) noexcept
{
    return name != nullptr && isBlacklisted(name, textLength(name));
}

bool LoadLibraryHook::isBlacklisted(const wchar_t* name) noexcept
{
    return name != nullptr && isBlacklisted(name, textLength(name));
}

ProcessModules LoadLibraryHook::getProcessModules()
{
    const Win::UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, GetCurrentProcessId()));
    if (!snapshot)
        Err::throwLastError("Failed to get process modules");

    ProcessModules modules;
    modules.reserve(1024);
    MODULEENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Module32FirstW(snapshot.get(), &entry); more; more = Module32NextW(snapshot.get(), &entry))
        modules.push_back({entry.szModule, entry.szExePath});
    return modules;
}

ProcessModules LoadLibraryHook::findBlacklisted(const ProcessModules& modules)
{
    ProcessModules found;
    for (const ProcessModule& module : modules) {
        if (isBlacklisted(module.name.c_str(), module.name.size()))
            found.push_back(module);
    }
    return found;
}

}  // namespace Overlay
