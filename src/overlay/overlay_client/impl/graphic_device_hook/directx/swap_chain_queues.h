#pragma once
// A Direct3D 12 swap chain does not name the command queue it presents with, and drawing needs it.
// This table keeps it: recorded where the game creates its swap chain and, for a swap chain made
// before we were loaded, found among the direct queues the game executes on.
//
// The queue is kept in a small object attached to the swap chain as private data: the swap chain
// releases it when it is destroyed, and with it our reference to the queue, so that a game that
// lets go of its swap chain, queue and device gets its device destroyed. forget() takes these
// objects off the swap chains still alive (nothing of ours may stay in the game's objects).
//
// Thread-safe: swap chains are created and destroyed, and queues executed on, any game thread.

#include <d3d12.h>
#include <dxgi1_4.h>
#include <wrl/client.h>

#include <atomic>
#include <map>
#include <mutex>

namespace Overlay {

class SwapChainQueues
{
public:
    // Called once a swap chain with a recorded queue, or a watched one, is destroyed, on the thread
    // that destroyed it, with no lock of ours held; never for one that forget() took off.
    using GoneCallback = void (*)(IDXGISwapChain* swapChain);

    explicit SwapChainQueues(GoneCallback gone) : gone_(gone) {}
    ~SwapChainQueues() { forget(); }
    SwapChainQueues(const SwapChainQueues&) = delete;
    SwapChainQueues& operator=(const SwapChainQueues&) = delete;

    // The queue recorded for a swap chain; null when not known (yet).
    Microsoft::WRL::ComPtr<ID3D12CommandQueue> queueOf(IDXGISwapChain* swapChain) const;
    // Remembers the queue of a swap chain the game just made, where `device` is a queue (any other
    // device is not Direct3D 12's); never throws.
    void record(IUnknown* device, IUnknown* swapChain) noexcept;
    // For a Direct3D 12 swap chain made before we were loaded: takes the direct queue of its device
    // that the game executed on last, if any, and otherwise waits for one (offer). True when found.
    bool find(IDXGISwapChain* swapChain);
    // True while a swap chain waits for its queue: the game's ExecuteCommandLists then offers its own.
    bool wanted() const noexcept { return wanted_.load(std::memory_order_relaxed); }
    // Takes a queue the game executes on, while one is wanted; never throws.
    void offer(ID3D12CommandQueue* queue) noexcept;
    // Attaches to any swap chain (Direct3D 11's too) so that its destruction is reported, where
    // nothing is attached yet; true once attached.
    bool watch(IDXGISwapChain* swapChain) noexcept;
    // Takes our objects off every swap chain still alive.
    void forget();

private:
    class Sentinel;

    // Sets the swap chain's queue (null: it waits for one), attaching a sentinel when it has none;
    // a watching sentinel waits for nothing. False when it could not be attached.
    bool set(IDXGISwapChain* swapChain, Microsoft::WRL::ComPtr<ID3D12CommandQueue> queue, bool watching = false);
    // Whether a recorded swap chain waits for its queue; with mutex_ held.
    bool waitedFor() const;
    // The sentinel's last reference is gone: so is its swap chain, unless we took it off ourselves.
    static void released(Sentinel& sentinel) noexcept;

    // Static: a sentinel may outlive the table it was made by.
    static std::mutex mutex_;
    const GoneCallback gone_;
    // Each sentinel (borrowed) is alive while its swap chain is, and leaves the map with it.
    std::map<IDXGISwapChain*, Sentinel*> queues_;
    // Set while a Direct3D 12 swap chain presents with a queue we do not know.
    std::atomic<bool> wanted_{false};
    // Held only while wanted_ is set.
    Microsoft::WRL::ComPtr<ID3D12CommandQueue> offered_;
};

}  // namespace Overlay
