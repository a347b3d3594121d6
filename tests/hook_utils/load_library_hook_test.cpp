// The module load hook: the blacklist test, and a real DLL named fraps64.dll refused at all five
// entry points while hooked.
#include "overlay/overlay_client/impl/load_library_hook.h"

#include "log_capture.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <string>

using Overlay::LoadLibraryHook;
using Overlay::ProcessModules;

namespace {

std::wstring testFolder()
{
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, n);
    return folder.substr(0, folder.find_last_of(L"\\/"));
}

std::string narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());  // the build folder's path is ASCII
}

using LdrLoadDllFn = LONG(NTAPI*)(PWSTR, void*, PUNICODE_STRING, PVOID*);

LONG ldrLoad(const std::wstring& path, PVOID* base)
{
    const auto load = reinterpret_cast<LdrLoadDllFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "LdrLoadDll")));
    UNICODE_STRING name;
    name.Buffer = const_cast<PWSTR>(path.c_str());
    name.Length = static_cast<USHORT>(path.size() * 2);
    name.MaximumLength = name.Length;
    return load(nullptr, nullptr, &name, base);
}

bool listsFraps(const ProcessModules& modules)
{
    return std::any_of(modules.begin(), modules.end(), [](const Overlay::ProcessModule& m) {
        return m.name == L"fraps64.dll" && m.path.find(L"fraps64.dll") != std::wstring::npos;
    });
}

}  // namespace

TEST(LoadLibraryHook, BlacklistTest)
{
    EXPECT_TRUE(LoadLibraryHook::isBlacklisted(L"C:\\Games\\Tools\\FRAPS64.DLL"));
    EXPECT_TRUE(LoadLibraryHook::isBlacklisted("C:\\Games\\Tools\\FRAPS64.DLL"));
    EXPECT_TRUE(LoadLibraryHook::isBlacklisted(L"c:/program files/fraps/fraps.dll"));
    EXPECT_TRUE(LoadLibraryHook::isBlacklisted("Fraps32.dll"));
    EXPECT_FALSE(LoadLibraryHook::isBlacklisted(L"fraps64"));
    EXPECT_FALSE(LoadLibraryHook::isBlacklisted("fraps64.dll.bak"));
    EXPECT_FALSE(LoadLibraryHook::isBlacklisted(L"C:\\fraps64.dll\\"));
    EXPECT_FALSE(LoadLibraryHook::isBlacklisted("C:/fraps64.dll/"));
    EXPECT_FALSE(LoadLibraryHook::isBlacklisted(L"xfraps64.dll"));
    EXPECT_FALSE(LoadLibraryHook::isBlacklisted(static_cast<const wchar_t*>(nullptr)));
    EXPECT_FALSE(LoadLibraryHook::isBlacklisted(L"fraps.dll", 0));
    // The length decides, and a zero character ends the name early.
    EXPECT_TRUE(LoadLibraryHook::isBlacklisted(L"fraps.dllXYZ", 9));
    EXPECT_TRUE(LoadLibraryHook::isBlacklisted("fraps.dll\0zz", 12));
    // Too long to be a file name at all.
    const std::wstring longName = std::wstring(261 - 9, L'a') + L"fraps.dll";
    EXPECT_FALSE(LoadLibraryHook::isBlacklisted(longName.c_str()));
}

TEST(LoadLibraryHook, RefusesBlacklistedModulesAtEveryEntryPointWhileAttached)
{
    LogTest::LogCapture log;
    const std::wstring path = testFolder() + L"\\fraps64.dll";

    // Loaded before the hook: the inventory shows it.
    HMODULE early = LoadLibraryW(path.c_str());
    ASSERT_NE(early, nullptr);
    EXPECT_TRUE(listsFraps(LoadLibraryHook::findBlacklisted(LoadLibraryHook::getProcessModules())));
    ASSERT_TRUE(FreeLibrary(early));
    EXPECT_FALSE(listsFraps(LoadLibraryHook::findBlacklisted(LoadLibraryHook::getProcessModules())));

    auto loadHook = std::make_unique<LoadLibraryHook>();
    const Overlay::HookList hooks = loadHook->getHooks();
    ASSERT_EQ(hooks.size(), 5u);
    Overlay::hook(hooks);
    ASSERT_TRUE(Overlay::allHooked(hooks));
    const auto lines = log.take();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front().second, L"Hooking LoadLibrary");

    std::wstring upper = path;
    upper.replace(upper.size() - 11, 11, L"FRAPS64.DLL");
    for (const std::wstring& variant : {path, upper, std::wstring(L"fraps64.dll")}) {
        SCOPED_TRACE(narrow(variant));
        const std::string a = narrow(variant);
        const auto refused = [](auto load) {
            SetLastError(0);
            return load() == nullptr && GetLastError() == ERROR_ACCESS_DENIED;
        };
        EXPECT_TRUE(refused([&] { return LoadLibraryA(a.c_str()); }));
        EXPECT_TRUE(refused([&] { return LoadLibraryW(variant.c_str()); }));
        for (const DWORD flags : {DWORD(0), DWORD(LOAD_WITH_ALTERED_SEARCH_PATH), DWORD(LOAD_LIBRARY_AS_DATAFILE)}) {
            EXPECT_TRUE(refused([&] { return LoadLibraryExA(a.c_str(), nullptr, flags); })) << flags;
            EXPECT_TRUE(refused([&] { return LoadLibraryExW(variant.c_str(), nullptr, flags); })) << flags;
        }
        PVOID base = reinterpret_cast<PVOID>(1);
        EXPECT_EQ(static_cast<unsigned long>(ldrLoad(variant, &base)), 0xC0000022UL);
        EXPECT_EQ(base, nullptr);
    }
    // Everything else still loads, through every entry point.
    EXPECT_NE(LoadLibraryA("version.dll"), nullptr);
    EXPECT_NE(LoadLibraryW(L"version.dll"), nullptr);
    EXPECT_NE(LoadLibraryExA("version.dll", nullptr, 0), nullptr);
    EXPECT_NE(LoadLibraryExW(L"version.dll", nullptr, 0), nullptr);
    PVOID base = nullptr;
    EXPECT_EQ(ldrLoad(L"version.dll", &base), 0);
    EXPECT_NE(base, nullptr);
    EXPECT_FALSE(listsFraps(LoadLibraryHook::getProcessModules()));

    loadHook.reset();
    HMODULE late = LoadLibraryW(path.c_str());
    EXPECT_NE(late, nullptr);
    if (late != nullptr)
        FreeLibrary(late);
}
