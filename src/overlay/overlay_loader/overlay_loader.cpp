// The hook procedure a host installs on a game's window thread (WH_GETMESSAGE). The first message
// that thread takes from its queue loads the overlay DLL named in the host's loader block, which
// pins itself: unhooking later unloads this module, never the overlay.

#include <windows.h>

#include "overlay/overlay_common/loading/load_contract.h"

namespace {

using Overlay::Loading::LoaderBlock;
using Overlay::Loading::LoaderState;

LONG attempted = 0;

void finish(LoaderBlock* block, LoaderState state, DWORD error)
{
    block->error = error;
    // The host polls `state`: it goes last.
    InterlockedExchange(reinterpret_cast<volatile LONG*>(&block->state), LONG(state));
}

void loadOverlay()
{
    const HANDLE mapping = OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE,
                                            Overlay::Loading::loaderBlockName(GetCurrentProcessId()).c_str());
    if (!mapping)
        return;  // not asked by a host of ours: nothing to report to
    auto* block = static_cast<LoaderBlock*>(MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, sizeof(LoaderBlock)));
    if (block) {
        const size_t capacity = sizeof block->dllPath / sizeof block->dllPath[0];
        if (block->version != LoaderBlock::currentVersion || block->dllPath[capacity - 1] != L'\0') {
            finish(block, LoaderState::Failed, ERROR_INVALID_DATA);
        } else if (LoadLibraryW(block->dllPath)) {
            finish(block, LoaderState::Loaded, ERROR_SUCCESS);
        } else {
            finish(block, LoaderState::Failed, GetLastError());
        }
        UnmapViewOfFile(block);
    }
    CloseHandle(mapping);
}

}  // namespace

extern "C" LRESULT CALLBACK overlayLoaderHook(int code, WPARAM wParam, LPARAM lParam)
{
    if (code >= 0 && InterlockedExchange(&attempted, 1) == 0)
        loadOverlay();
    return CallNextHookEx(nullptr, code, wParam, lParam);
}
