#include "d3d11_spy.h"

#include <d3d12.h>
#include <dxgi.h>

namespace {

SpyState state;

}  // namespace

extern "C" void spyLevel11_1(void* device);  // level11_1.cpp

namespace {

template <class Function>
Function real(const char* name)
{
    static const HMODULE module = LoadLibraryW(L"d3d11.dll");
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

class WrappedSwapChain final : public IDXGISwapChain
{
public:
    explicit WrappedSwapChain(IDXGISwapChain* inner) : inner_(inner) {}

    STDMETHOD(QueryInterface)(REFIID id, void** object) override
    {
        if (id == __uuidof(IUnknown) || id == __uuidof(IDXGIObject) || id == __uuidof(IDXGIDeviceSubObject) ||
            id == __uuidof(IDXGISwapChain)) {
            *object = this;
            AddRef();
            return S_OK;
        }
        return inner_->QueryInterface(id, object);
    }
    STDMETHOD_(ULONG, AddRef)() override { return InterlockedIncrement(&references_); }
    STDMETHOD_(ULONG, Release)() override
    {
        const ULONG left = InterlockedDecrement(&references_);
        if (left == 0) {
            inner_->Release();
            delete this;
        }
        return left;
    }
    STDMETHOD(SetPrivateData)(REFGUID id, UINT n, const void* p) override { return inner_->SetPrivateData(id, n, p); }
    STDMETHOD(SetPrivateDataInterface)(REFGUID id, const IUnknown* p) override
    {
        return inner_->SetPrivateDataInterface(id, p);
    }
    STDMETHOD(GetPrivateData)(REFGUID id, UINT* n, void* p) override { return inner_->GetPrivateData(id, n, p); }
    STDMETHOD(GetParent)(REFIID id, void** parent) override { return inner_->GetParent(id, parent); }
    STDMETHOD(GetDevice)(REFIID id, void** device) override
    {
        if (state.unknownDevice && (id == __uuidof(ID3D11Device) || id == __uuidof(ID3D12Device))) {
            *device = nullptr;
            return E_NOINTERFACE;
        }
        return inner_->GetDevice(id, device);
    }
    STDMETHOD(Present)(UINT syncInterval, UINT flags) override
    {
        if (state.skipPresent || FAILED(state.presentResult)) {
            return state.presentResult;
        }
        return inner_->Present(syncInterval, flags);
    }
    STDMETHOD(GetBuffer)(UINT index, REFIID id, void** surface) override
    {
        if (state.failGetBuffer > 0) {
            --state.failGetBuffer;
            *surface = nullptr;
            return static_cast<HRESULT>(0x8899000C);  // D2DERR_RECREATE_TARGET
        }
        if (state.refuseDxgiSurface && id == __uuidof(IDXGISurface)) {
            *surface = nullptr;
            return E_NOINTERFACE;
        }
        return inner_->GetBuffer(index, id, surface);
    }
    STDMETHOD(SetFullscreenState)(BOOL on, IDXGIOutput* to) override { return inner_->SetFullscreenState(on, to); }
    STDMETHOD(GetFullscreenState)(BOOL* on, IDXGIOutput** to) override { return inner_->GetFullscreenState(on, to); }
    STDMETHOD(GetDesc)(DXGI_SWAP_CHAIN_DESC* desc) override { return inner_->GetDesc(desc); }
    STDMETHOD(ResizeBuffers)(UINT count, UINT width, UINT height, DXGI_FORMAT format, UINT flags) override
    {
        if (state.resizeBuffersEntered) {
            SetEvent(state.resizeBuffersEntered);
            WaitForSingleObject(state.resizeBuffersResume, 10000);
        }
        return FAILED(state.resizeBuffersResult) ? state.resizeBuffersResult
                                                 : inner_->ResizeBuffers(count, width, height, format, flags);
    }
    STDMETHOD(ResizeTarget)(const DXGI_MODE_DESC* parameters) override
    {
        return FAILED(state.resizeBuffersResult) ? state.resizeBuffersResult : inner_->ResizeTarget(parameters);
    }
    STDMETHOD(GetContainingOutput)(IDXGIOutput** output) override { return inner_->GetContainingOutput(output); }
    STDMETHOD(GetFrameStatistics)(DXGI_FRAME_STATISTICS* p) override { return inner_->GetFrameStatistics(p); }
    STDMETHOD(GetLastPresentCount)(UINT* count) override { return inner_->GetLastPresentCount(count); }

private:
    IDXGISwapChain* inner_;
    LONG references_ = 1;
};

}  // namespace

extern "C" {

HRESULT WINAPI spyCreateDevice(IDXGIAdapter* adapter, D3D_DRIVER_TYPE driverType, HMODULE software, UINT flags,
                               const D3D_FEATURE_LEVEL* featureLevels, UINT featureLevelCount, UINT sdkVersion,
                               ID3D11Device** device, D3D_FEATURE_LEVEL* featureLevel, ID3D11DeviceContext** context)
{
    state.createDeviceFlags = flags;
    return real<decltype(&spyCreateDevice)>("D3D11CreateDevice")(adapter, driverType, software, flags, featureLevels,
                                                                 featureLevelCount, sdkVersion, device, featureLevel,
                                                                 context);
}

HRESULT WINAPI spyCreateDeviceAndSwapChain(IDXGIAdapter* adapter, D3D_DRIVER_TYPE driverType, HMODULE software,
                                           UINT flags, const D3D_FEATURE_LEVEL* featureLevels, UINT featureLevelCount,
                                           UINT sdkVersion, const DXGI_SWAP_CHAIN_DESC* swapChainDesc,
                                           IDXGISwapChain** swapChain, ID3D11Device** device,
                                           D3D_FEATURE_LEVEL* featureLevel, ID3D11DeviceContext** context)
{
    state.createDeviceAndSwapChainFlags = flags;
    if (state.triedCount < 16) {
        state.tried[state.triedCount] = driverType;
        state.triedWithAdapter[state.triedCount] = adapter != nullptr;
        ++state.triedCount;
    }
    if (adapter ? state.refuseAdapters : (state.refusedDriverTypes & (1u << driverType)) != 0) {
        return E_FAIL;
    }
    const HRESULT result = real<decltype(&spyCreateDeviceAndSwapChain)>("D3D11CreateDeviceAndSwapChain")(
        adapter, driverType, software, flags, featureLevels, featureLevelCount, sdkVersion, swapChainDesc, swapChain,
        device, featureLevel, context);
    if (SUCCEEDED(result) && swapChain && *swapChain) {
        *swapChain = new WrappedSwapChain(*swapChain);
    }
    if (SUCCEEDED(result) && device && *device && state.featureLevel11_1) {
        state.featureLevel11_1 = false;
        spyLevel11_1(*device);
    }
    return result;
}

SpyState* WINAPI spyState()
{
    return &state;
}

}  // extern "C"
