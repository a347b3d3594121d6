#pragma once
// Whether this process runs under Wine (or Proton), whose behaviour some code must allow for.

#include <windows.h>

namespace Win {

inline bool runningUnderWine()
{
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace Win
