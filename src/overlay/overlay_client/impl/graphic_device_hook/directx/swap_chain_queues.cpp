#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

#include "overlay/overlay_client/impl/graphic_device_hook/directx/swap_chain_queues.h"

#include "overlay/overlay_client/impl/rendering/d3d/d3d12/renderer_d3d12.h"

#include "win/scope_guard.h"

#include <vector>

using Microsoft::WRL::ComPtr;

namespace Overlay {
namespace {

// Names the sentinel in a swap chain's private data.
const GUID sentinelId = {0x5b3e9c1a, 0x7d42, 0x4f0e, {0x8a, 0x6c, 0x21, 0x93, 0xd4, 0x5e, 0x0b, 0x77}};

}  // namespace

std::mutex SwapChainQueues::mutex_;

// Attached to a Direct3D 12 swap chain: holds the queue it presents with for as long as the swap
// chain holds it.
class SwapChainQueues::Sentinel final : public IUnknown
{
public:
    Sentinel(SwapChainQueues* table, IDXGISwapChain* swapChain) : table_(table), swapChain_(swapChain) {}

    STDMETHOD(QueryInterface)(REFIID id, void** object) override
    {
        if (!object) {
            return E_POINTER;
        }
        if (id != __uuidof(IUnknown)) {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        *object = static_cast<IUnknown*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHOD_(ULONG, AddRef)() override { return static_cast<ULONG>(InterlockedIncrement(&references_)); }
    STDMETHOD_(ULONG, Release)() override
    {
        const LONG left = InterlockedDecrement(&references_);
        if (left == 0) {
            released(*this);
            delete this;
        }
        return static_cast<ULONG>(left);
    }

    SwapChainQueues* table_;            // guarded by mutex_; null once taken off
    IDXGISwapChain* const swapChain_;   // borrowed: the swap chain that holds us
    ComPtr<ID3D12CommandQueue> queue_;  // guarded by mutex_; null while waited for
    bool watching_ = false;             // guarded by mutex_: attached only to tell when its swap chain goes

private:
    ~Sentinel() = default;

    LONG references_ = 1;
};

ComPtr<ID3D12CommandQueue> SwapChainQueues::queueOf(IDXGISwapChain* swapChain) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = queues_.find(swapChain);
    return found != queues_.end() ? found->second->queue_ : nullptr;
}

void SwapChainQueues::record(IUnknown* device, IUnknown* swapChain) noexcept
{
    guarded(L"CreateSwapChain", [&] {
        ComPtr<IDXGISwapChain> chain;
        ComPtr<ID3D12CommandQueue> queue;
        if (device && swapChain && SUCCEEDED(device->QueryInterface(IID_PPV_ARGS(&queue))) &&
            SUCCEEDED(swapChain->QueryInterface(IID_PPV_ARGS(&chain)))) {
            set(chain.Get(), queue);
        }
    });
}

bool SwapChainQueues::find(IDXGISwapChain* swapChain)
{
    ComPtr<ID3D12CommandQueue> offered;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        offered.Swap(offered_);  // not a move assignment: MinGW's ComPtr copies there
    }
    ComPtr<ID3D12Device> queueDevice;
    const bool found = offered && SUCCEEDED(offered->GetDevice(IID_PPV_ARGS(&queueDevice))) &&
                       queueDevice.Get() == Rendering::d3d12DeviceOf(swapChain).Get();
    if (found) {
        LOG_INFO(L"Command queue of the swap chain found: %0", static_cast<const void*>(offered.Get()));
    }
    // Recorded while it waits too: its sentinel tells when it no longer does.
    set(swapChain, found ? offered : nullptr);
    return found;
}

bool SwapChainQueues::watch(IDXGISwapChain* swapChain) noexcept
{
    bool attached = false;
    guarded(L"Watch swap chain", [&] { attached = set(swapChain, nullptr, true); });
    return attached;
}

bool SwapChainQueues::set(IDXGISwapChain* swapChain, ComPtr<ID3D12CommandQueue> queue, bool watching)
{
    Sentinel* attached = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = queues_.find(swapChain);
        if (found != queues_.end()) {
            if (!watching) {
                found->second->queue_.Swap(queue);  // the one replaced goes once the lock is let go
                found->second->watching_ = false;
            }
        } else {
            attached = new Sentinel(this, swapChain);
            attached->queue_ = queue;
            attached->watching_ = watching;
            queues_[swapChain] = attached;
        }
        wanted_.store(waitedFor());
    }
    if (!attached) {
        return true;
    }
    const HRESULT result = swapChain->SetPrivateDataInterface(sentinelId, attached);
    attached->Release();  // the swap chain's reference from here on; the last one on failure
    if (FAILED(result)) {
        LOG_WARN(L"Failed to attach to the swap chain, hr = %0: the overlay is not drawn on it", result);
        return false;
    }
    return true;
}

bool SwapChainQueues::waitedFor() const
{
    for (const auto& entry : queues_) {
        if (!entry.second->queue_ && !entry.second->watching_) {
            return true;
        }
    }
    return false;
}

void SwapChainQueues::released(Sentinel& sentinel) noexcept
{
    // Released once the lock is let go: the last reference to a queue may take a device with it.
    ComPtr<ID3D12CommandQueue> queue;
    ComPtr<ID3D12CommandQueue> offered;
    GoneCallback gone = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue.Swap(sentinel.queue_);
        SwapChainQueues* const table = sentinel.table_;
        if (!table) {
            return;  // taken off by us
        }
        const auto found = table->queues_.find(sentinel.swapChain_);
        if (found != table->queues_.end() && found->second == &sentinel) {
            table->queues_.erase(found);
        }
        if (!table->waitedFor()) {
            table->wanted_.store(false);
            offered.Swap(table->offered_);
        }
        gone = table->gone_;
    }
    // The table may be gone by now: the callback is a plain function that finds its own way in.
    gone(sentinel.swapChain_);
}

void SwapChainQueues::offer(ID3D12CommandQueue* queue) noexcept
{
    guarded(L"ExecuteCommandLists", [&] {
        if (queue->GetDesc().Type != D3D12_COMMAND_LIST_TYPE_DIRECT) {
            return;
        }
        ComPtr<ID3D12CommandQueue> replaced;  // released once the lock is let go
        std::lock_guard<std::mutex> lock(mutex_);
        if (wanted_.load()) {
            replaced.Swap(offered_);
            offered_ = queue;
        }
    });
}

void SwapChainQueues::forget()
{
    std::vector<IDXGISwapChain*> attached;  // each with a reference of ours
    ComPtr<ID3D12CommandQueue> offered;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        attached.reserve(queues_.size());
        for (const auto& entry : queues_) {
            entry.second->table_ = nullptr;
            // A sentinel still listed is not released yet, so its swap chain's memory is there even
            // when another thread is destroying it right now: that one's count comes back from nought
            // to 1, and it releases the sentinel itself. Any other is held until we are off it.
            if (entry.first->AddRef() > 1) {
                attached.push_back(entry.first);
            }
        }
        queues_.clear();
        offered.Swap(offered_);
        wanted_.store(false);
    }
    // Outside the lock: taking a sentinel off releases it. Our code must not stay in the game's
    // objects, which outlive us once we are unloaded.
    for (IDXGISwapChain* swapChain : attached) {
        const auto release = Win::scopeExit([swapChain] { swapChain->Release(); });
        const HRESULT result = swapChain->SetPrivateData(sentinelId, 0, nullptr);
        if (FAILED(result)) {
            LOG_WARN(L"Failed to detach from a swap chain, hr = %0", result);
        }
    }
}

}  // namespace Overlay
