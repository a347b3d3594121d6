#include "loaded_signal.h"

#include "overlay/overlay_common/loading/load_contract.h"
#include "win/wine.h"

namespace Overlay {

namespace {

struct WaitingThreadStart
{
    HANDLE loaded;
    HANDLE never;
};

DWORD WINAPI waitForever(void* parameter)
{
    const auto* start = static_cast<const WaitingThreadStart*>(parameter);
    // One call: Wine's server signals the event and puts this thread into its wait in the same
    // request, so no host can see the event before the thread waits.
    SignalObjectAndWait(start->loaded, start->never, INFINITE, FALSE);
    return 0;
}

}  // namespace

void announceLoaded(HMODULE self) noexcept
{
    HMODULE pinned = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(self), &pinned);

    // Open for the life of the process: the name stays while the DLL is here.
    const HANDLE loaded = CreateEventW(nullptr, TRUE, FALSE, Loading::loadedEventName(GetCurrentProcessId()).c_str());
    if (!loaded)
        return;
    if (!Win::runningUnderWine()) {
        SetEvent(loaded);
        return;
    }
    // The thread starts once the loader lock is free; its start block lives as long as it does.
    static WaitingThreadStart start = {loaded, CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    const HANDLE thread =
        start.never ? CreateThread(nullptr, 64 * 1024, waitForever, &start, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr)
                    : nullptr;
    if (thread)
        CloseHandle(thread);
    else
        SetEvent(loaded);  // better a host that calls now than one that never calls
}

}  // namespace Overlay
