// The hook procedure a host installs on a game's window thread (WH_GETMESSAGE). The first message
// that thread takes from its queue while the host's loader block waits loads the overlay DLL named
// there, which pins itself: unhooking later unloads this module, never the overlay. A failed load
// leaves the next host's block to be tried again.

#include <windows.h>

#include "overlay/overlay_common/loading/load_contract.h"

namespace {

using Overlay::Loading::LoaderBlock;
using Overlay::Loading::LoaderState;

LONG loaded = 0;

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
    auto* block =
        static_cast<LoaderBlock*>(MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, sizeof(LoaderBlock)));
    if (block && block->state == uint32_t(LoaderState::Waiting)) {
        const size_t capacity = sizeof block->dllPath / sizeof block->dllPath[0];
        if (block->version != LoaderBlock::currentVersion || block->dllPath[capacity - 1] != L'\0') {
            finish(block, LoaderState::Failed, ERROR_INVALID_DATA);
        } else if (LoadLibraryW(block->dllPath)) {
            InterlockedExchange(&loaded, 1);
            finish(block, LoaderState::Loaded, ERROR_SUCCESS);
        } else {
            finish(block, LoaderState::Failed, GetLastError());
        }
    }
    if (block)
        UnmapViewOfFile(block);
    CloseHandle(mapping);
}

}  // namespace

extern "C" LRESULT CALLBACK overlayLoaderHook(int code, WPARAM wParam, LPARAM lParam)
{
    // Only the hooked thread calls this; the overlay's own start-up may take messages meanwhile.
    static bool loading = false;
    if (code >= 0 && !loading && InterlockedCompareExchange(&loaded, 0, 0) == 0) {
        loading = true;
        loadOverlay();
        loading = false;
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}
