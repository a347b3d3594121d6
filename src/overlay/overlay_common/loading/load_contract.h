#pragma once
// What a host and the game agree on while the overlay DLL is being brought into the game, besides
// the DLL's exports: two named objects, keyed by the game's process id.
//
//  - The loaded event, made by the overlay DLL as it is loaded and signalled once another process
//    may start threads in the game to call the exports (under Wine: once a thread of ours waits in
//    the system to make them, so that no busy game thread is interrupted to do it).
//  - The loader block, made by the host before it hooks the game's window thread: the overlay
//    DLL's path for overlay_loader_x64.dll to load there, and what became of it.

#include <windows.h>

#include <cstdint>
#include <string>

namespace Overlay::Loading {

inline std::wstring loadedEventName(DWORD processId)
{
    return L"Local\\overlay_client_loaded_" + std::to_wstring(processId);
}

inline std::wstring loaderBlockName(DWORD processId)
{
    return L"Local\\overlay_loader_" + std::to_wstring(processId);
}

// The loader's hook procedure, exported by name from overlay_loader_x64.dll.
constexpr const char* loaderHookName = "overlayLoaderHook";

enum class LoaderState : uint32_t {
    Waiting = 0,  // written by the host
    Loaded = 1,   // the overlay DLL is loaded and pinned
    Failed = 2,   // `error` holds LoadLibraryW's error code (or the loader's own, below)
};

struct LoaderBlock
{
    static constexpr uint32_t currentVersion = 1;
    uint32_t version;
    uint32_t state;  // LoaderState
    uint32_t error;
    uint32_t reserved;
    // Null-terminated; a path longer than this cannot be loaded by Windows either.
    wchar_t dllPath[32768];
};

}  // namespace Overlay::Loading
