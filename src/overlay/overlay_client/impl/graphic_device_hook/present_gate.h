#pragma once
// Under Wine, Direct3D 12 presents through Vulkan (winevulkan.dll) on the X connection, and making
// Vulkan objects (a Direct3D 12 device, a swap chain) on another thread while a present or an image
// acquisition is under way deadlocks both threads. The game may present on any thread, its window
// thread or a render thread of its own, so the game's presentation itself is held instead: its
// vkQueuePresentKHR and vkAcquireNextImage(2)KHR calls wait at their entry while ours runs.

#include <windows.h>

#include <functional>

namespace Overlay {

// Runs `call` on the caller's thread while no other thread of the process is inside winevulkan's
// presentation calls; calls made meanwhile wait for it, each at most timeoutMs. Waits up to
// arrivalMs for a present to arrive first, so that one already under way when the calls were hooked
// has left (a game that presents nothing meanwhile is not presenting). Without winevulkan.dll loaded
// nothing presents through Vulkan: `call` runs at once. Rethrows what `call` throws; throws when the
// calls cannot be hooked.
void callBetweenPresents(const std::function<void()>& call, DWORD arrivalMs, DWORD timeoutMs);

// Runs `call`, which makes throw-away objects that present through Vulkan under Wine, without
// deadlocking a game that presents meanwhile: under Wine between its presents (a present of a running
// game arrives within 500 ms; the game's presentation waits at most 5 s), elsewhere at once.
void callBesidePresents(const std::function<void()>& call);

}  // namespace Overlay
