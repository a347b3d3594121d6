#pragma once
// d3d11_spy.dll stands in for D3D11.dll in the graphics hook tests and benchmarks: its entry points
// forward to the real ones, and it wraps the swap chains it makes (all sharing one method table, so
// hooking it hooks them all) so that a test can make them fail, and stands in for what Wine lacks.

#include <d3d11.h>
#include <windows.h>

struct SpyState
{
    // The flags the last call of each entry point got.
    UINT createDeviceFlags = 0;
    UINT createDeviceAndSwapChainFlags = 0;
    // What the wrapped swap chains return instead of the real result, when failing.
    HRESULT presentResult = S_OK;
    HRESULT resizeBuffersResult = S_OK;
    // When set, ResizeBuffers sets the first event and waits (up to 10 s) for the second before it
    // goes on: a test takes its time while the call is inside the runtime.
    HANDLE resizeBuffersEntered = nullptr;
    HANDLE resizeBuffersResume = nullptr;
    // GetBuffer fails with D2DERR_RECREATE_TARGET this many more times.
    UINT failGetBuffer = 0;
    // The back buffer is handed out as a texture but not as the IDXGISurface Direct2D draws into, as
    // on Windows by a device made without BGRA support.
    bool refuseDxgiSurface = false;
    // GetDevice answers neither as a Direct3D 11 nor as a Direct3D 12 device, as a Direct3D 10 swap
    // chain does on Windows (Wine's Direct3D 10 devices are Direct3D 11 ones).
    bool unknownDevice = false;
    // Present returns presentResult at once, presenting nothing (to time what a hook adds to the call).
    bool skipPresent = false;
    // D3D11CreateDeviceAndSwapChain fails (E_FAIL) for these driver types (bit 1 << type) when no
    // adapter is given, and for every call with an adapter when refuseAdapters is set.
    UINT refusedDriverTypes = 0;
    bool refuseAdapters = false;
    // The next device D3D11CreateDeviceAndSwapChain makes stands in for one of feature level 11_1 (Wine
    // makes 11_0 ones): it says so, and its immediate context has 64 unordered-access slots at the
    // output merger, of which the spy keeps those after the eighth. Render targets set alone unbind
    // them all.
    bool featureLevel11_1 = false;
    // The driver type of each D3D11CreateDeviceAndSwapChain call, and whether an adapter came with it.
    D3D_DRIVER_TYPE tried[16] = {};
    bool triedWithAdapter[16] = {};
    UINT triedCount = 0;
};

using SpyStateFn = SpyState*(WINAPI*)();

// The spy as a test loads it: its state, reset before and after, and its entry points.
struct Spy
{
    Spy() { *state = SpyState(); }
    ~Spy() { *state = SpyState(); }
    Spy(const Spy&) = delete;
    Spy& operator=(const Spy&) = delete;

    template <class Fn>
    Fn entry(const char* name) const
    {
        return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    }

    const HMODULE module = LoadLibraryW(L"d3d11_spy.dll");
    SpyState* const state = entry<SpyStateFn>("spyState")();
    const decltype(&D3D11CreateDeviceAndSwapChain) createDeviceAndSwapChain =
        entry<decltype(&D3D11CreateDeviceAndSwapChain)>("D3D11CreateDeviceAndSwapChain");
};
