#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

#include "overlay/overlay_client/impl/graphic_device_hook/present_gate.h"

#include "overlay/overlay_client/impl/hook_utils/hook_utils.h"
#include "win/scope_guard.h"
#include "win/wine.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

namespace Overlay {
namespace {

struct Gate
{
    std::mutex mutex;
    std::condition_variable changed;
    bool holding = false;
    bool arrived = false;
    DWORD holder = 0;  // its own calls pass
    DWORD timeoutMs = 0;
};

Gate gate;

// Made once and kept: a game thread may still be on its way through one after it is detached.
std::unique_ptr<HookRecord> queuePresentRecord;
std::unique_ptr<HookRecord> acquireNextImageRecord;
std::unique_ptr<HookRecord> acquireNextImage2Record;

void waitAtGate()
{
    std::unique_lock<std::mutex> lock(gate.mutex);
    if (!gate.holding || gate.holder == GetCurrentThreadId()) {
        return;
    }
    gate.arrived = true;
    gate.changed.notify_all();
    gate.changed.wait_for(lock, std::chrono::milliseconds(gate.timeoutMs), [] { return !gate.holding; });
}

// Vulkan's handles and results, as the x64 calling convention passes them.
int32_t WINAPI queuePresentGate(void* queue, const void* presentInfo)
{
    waitAtGate();
    return queuePresentRecord->real<decltype(&queuePresentGate)>()(queue, presentInfo);
}

int32_t WINAPI acquireNextImageGate(void* device, uint64_t swapChain, uint64_t timeout, uint64_t semaphore,
                                    uint64_t fence, uint32_t* index)
{
    waitAtGate();
    return acquireNextImageRecord->real<decltype(&acquireNextImageGate)>()(device, swapChain, timeout, semaphore, fence,
                                                                           index);
}

int32_t WINAPI acquireNextImage2Gate(void* device, const void* acquireInfo, uint32_t* index)
{
    waitAtGate();
    return acquireNextImage2Record->real<decltype(&acquireNextImage2Gate)>()(device, acquireInfo, index);
}

void* entryPoint(HMODULE module, const char* name)
{
    void* const address = codeAddress(GetProcAddress(module, name));
    if (!address) {
        Err::throwLastError(std::string("Failed to get proc address: ") + name);
    }
    return address;
}

}  // namespace

void callBetweenPresents(const std::function<void()>& call, DWORD arrivalMs, DWORD timeoutMs)
{
    const HMODULE vulkan = GetModuleHandleW(L"winevulkan.dll");
    if (!vulkan) {
        call();
        return;
    }
    if (!queuePresentRecord) {
        queuePresentRecord = makeUniqueHookRecord(entryPoint(vulkan, "vkQueuePresentKHR"),
                                                  codeAddress(&queuePresentGate), "vkQueuePresentKHR");
        acquireNextImageRecord = makeUniqueHookRecord(entryPoint(vulkan, "vkAcquireNextImageKHR"),
                                                      codeAddress(&acquireNextImageGate), "vkAcquireNextImageKHR");
        acquireNextImage2Record = makeUniqueHookRecord(entryPoint(vulkan, "vkAcquireNextImage2KHR"),
                                                       codeAddress(&acquireNextImage2Gate), "vkAcquireNextImage2KHR");
    }
    const HookList records = {queuePresentRecord.get(), acquireNextImageRecord.get(), acquireNextImage2Record.get()};
    {
        const std::lock_guard<std::mutex> lock(gate.mutex);
        gate.holding = true;
        gate.arrived = false;
        gate.holder = GetCurrentThreadId();
        gate.timeoutMs = timeoutMs;
    }
    const auto open = Win::scopeExit([&records] {
        {
            const std::lock_guard<std::mutex> lock(gate.mutex);
            gate.holding = false;
        }
        gate.changed.notify_all();
        unhook(records);
    });
    hook(records);
    if (!allHooked(records)) {
        throw std::runtime_error("Failed to hold the game's Vulkan presentation");
    }
    {
        std::unique_lock<std::mutex> lock(gate.mutex);
        gate.changed.wait_for(lock, std::chrono::milliseconds(arrivalMs), [] { return gate.arrived; });
    }
    call();
}

void callBesidePresents(const std::function<void()>& call)
{
    // A present of a running game arrives within this; one already under way has left by then.
    const DWORD presentArrivalMs = 500;
    // Making throw-away devices and swap chains takes a few hundred milliseconds under Wine: the
    // game's presentation waits at most this long for them.
    const DWORD presentHoldMs = 5000;
    if (Win::runningUnderWine()) {
        callBetweenPresents(call, presentArrivalMs, presentHoldMs);
    } else {
        call();
    }
}

}  // namespace Overlay
