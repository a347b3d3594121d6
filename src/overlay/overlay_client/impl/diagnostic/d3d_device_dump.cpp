#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

#include "overlay/overlay_client/impl/diagnostic/d3d_device_dump.h"

#include <d3d11.h>
#include <wrl/client.h>

#include <sstream>

using Microsoft::WRL::ComPtr;

namespace Overlay {
namespace {

// DXGI_FORMAT values 0 to 115, in value order.
const wchar_t* const formatNames[] = {
    L"DXGI_FORMAT_UNKNOWN",
    L"DXGI_FORMAT_R32G32B32A32_TYPELESS",
    L"DXGI_FORMAT_R32G32B32A32_FLOAT",
    L"DXGI_FORMAT_R32G32B32A32_UINT",
    L"DXGI_FORMAT_R32G32B32A32_SINT",
    L"DXGI_FORMAT_R32G32B32_TYPELESS",
    L"DXGI_FORMAT_R32G32B32_FLOAT",
    L"DXGI_FORMAT_R32G32B32_UINT",
    L"DXGI_FORMAT_R32G32B32_SINT",
    L"DXGI_FORMAT_R16G16B16A16_TYPELESS",
    L"DXGI_FORMAT_R16G16B16A16_FLOAT",
    L"DXGI_FORMAT_R16G16B16A16_UNORM",
    L"DXGI_FORMAT_R16G16B16A16_UINT",
    L"DXGI_FORMAT_R16G16B16A16_SNORM",
    L"DXGI_FORMAT_R16G16B16A16_SINT",
    L"DXGI_FORMAT_R32G32_TYPELESS",
    L"DXGI_FORMAT_R32G32_FLOAT",
    L"DXGI_FORMAT_R32G32_UINT",
    L"DXGI_FORMAT_R32G32_SINT",
    L"DXGI_FORMAT_R32G8X24_TYPELESS",
    L"DXGI_FORMAT_D32_FLOAT_S8X24_UINT",
    L"DXGI_FORMAT_R32_FLOAT_X8X24_TYPELESS",
    L"DXGI_FORMAT_X32_TYPELESS_G8X24_UINT",
    L"DXGI_FORMAT_R10G10B10A2_TYPELESS",
    L"DXGI_FORMAT_R10G10B10A2_UNORM",
    L"DXGI_FORMAT_R10G10B10A2_UINT",
    L"DXGI_FORMAT_R11G11B10_FLOAT",
    L"DXGI_FORMAT_R8G8B8A8_TYPELESS",
    L"DXGI_FORMAT_R8G8B8A8_UNORM",
    L"DXGI_FORMAT_R8G8B8A8_UNORM_SRGB",
    L"DXGI_FORMAT_R8G8B8A8_UINT",
    L"DXGI_FORMAT_R8G8B8A8_SNORM",
    L"DXGI_FORMAT_R8G8B8A8_SINT",
    L"DXGI_FORMAT_R16G16_TYPELESS",
    L"DXGI_FORMAT_R16G16_FLOAT",
    L"DXGI_FORMAT_R16G16_UNORM",
    L"DXGI_FORMAT_R16G16_UINT",
    L"DXGI_FORMAT_R16G16_SNORM",
    L"DXGI_FORMAT_R16G16_SINT",
    L"DXGI_FORMAT_R32_TYPELESS",
    L"DXGI_FORMAT_D32_FLOAT",
    L"DXGI_FORMAT_R32_FLOAT",
    L"DXGI_FORMAT_R32_UINT",
    L"DXGI_FORMAT_R32_SINT",
    L"DXGI_FORMAT_R24G8_TYPELESS",
    L"DXGI_FORMAT_D24_UNORM_S8_UINT",
    L"DXGI_FORMAT_R24_UNORM_X8_TYPELESS",
    L"DXGI_FORMAT_X24_TYPELESS_G8_UINT",
    L"DXGI_FORMAT_R8G8_TYPELESS",
    L"DXGI_FORMAT_R8G8_UNORM",
    L"DXGI_FORMAT_R8G8_UINT",
    L"DXGI_FORMAT_R8G8_SNORM",
    L"DXGI_FORMAT_R8G8_SINT",
    L"DXGI_FORMAT_R16_TYPELESS",
    L"DXGI_FORMAT_R16_FLOAT",
    L"DXGI_FORMAT_D16_UNORM",
    L"DXGI_FORMAT_R16_UNORM",
    L"DXGI_FORMAT_R16_UINT",
    L"DXGI_FORMAT_R16_SNORM",
    L"DXGI_FORMAT_R16_SINT",
    L"DXGI_FORMAT_R8_TYPELESS",
    L"DXGI_FORMAT_R8_UNORM",
    L"DXGI_FORMAT_R8_UINT",
    L"DXGI_FORMAT_R8_SNORM",
    L"DXGI_FORMAT_R8_SINT",
    L"DXGI_FORMAT_A8_UNORM",
    L"DXGI_FORMAT_R1_UNORM",
    L"DXGI_FORMAT_R9G9B9E5_SHAREDEXP",
    L"DXGI_FORMAT_R8G8_B8G8_UNORM",
    L"DXGI_FORMAT_G8R8_G8B8_UNORM",
    L"DXGI_FORMAT_BC1_TYPELESS",
    L"DXGI_FORMAT_BC1_UNORM",
    L"DXGI_FORMAT_BC1_UNORM_SRGB",
    L"DXGI_FORMAT_BC2_TYPELESS",
    L"DXGI_FORMAT_BC2_UNORM",
    L"DXGI_FORMAT_BC2_UNORM_SRGB",
    L"DXGI_FORMAT_BC3_TYPELESS",
    L"DXGI_FORMAT_BC3_UNORM",
    L"DXGI_FORMAT_BC3_UNORM_SRGB",
    L"DXGI_FORMAT_BC4_TYPELESS",
    L"DXGI_FORMAT_BC4_UNORM",
    L"DXGI_FORMAT_BC4_SNORM",
    L"DXGI_FORMAT_BC5_TYPELESS",
    L"DXGI_FORMAT_BC5_UNORM",
    L"DXGI_FORMAT_BC5_SNORM",
    L"DXGI_FORMAT_B5G6R5_UNORM",
    L"DXGI_FORMAT_B5G5R5A1_UNORM",
    L"DXGI_FORMAT_B8G8R8A8_UNORM",
    L"DXGI_FORMAT_B8G8R8X8_UNORM",
    L"DXGI_FORMAT_R10G10B10_XR_BIAS_A2_UNORM",
    L"DXGI_FORMAT_B8G8R8A8_TYPELESS",
    L"DXGI_FORMAT_B8G8R8A8_UNORM_SRGB",
    L"DXGI_FORMAT_B8G8R8X8_TYPELESS",
    L"DXGI_FORMAT_B8G8R8X8_UNORM_SRGB",
    L"DXGI_FORMAT_BC6H_TYPELESS",
    L"DXGI_FORMAT_BC6H_UF16",
    L"DXGI_FORMAT_BC6H_SF16",
    L"DXGI_FORMAT_BC7_TYPELESS",
    L"DXGI_FORMAT_BC7_UNORM",
    L"DXGI_FORMAT_BC7_UNORM_SRGB",
    L"DXGI_FORMAT_AYUV",
    L"DXGI_FORMAT_Y410",
    L"DXGI_FORMAT_Y416",
    L"DXGI_FORMAT_NV12",
    L"DXGI_FORMAT_P010",
    L"DXGI_FORMAT_P016",
    L"DXGI_FORMAT_420_OPAQUE",
    L"DXGI_FORMAT_YUY2",
    L"DXGI_FORMAT_Y210",
    L"DXGI_FORMAT_Y216",
    L"DXGI_FORMAT_NV11",
    L"DXGI_FORMAT_AI44",
    L"DXGI_FORMAT_IA44",
    L"DXGI_FORMAT_P8",
    L"DXGI_FORMAT_A8P8",
    L"DXGI_FORMAT_B4G4R4A4_UNORM",
};

struct NamedValue
{
    int value;
    const wchar_t* name;
};

template <size_t N>
std::wstring nameOf(const NamedValue (&table)[N], int value)
{
    for (const auto& entry : table) {
        if (entry.value == value) {
            return entry.name;
        }
    }
    return std::to_wstring(value);
}

const NamedValue featureLevels[] = {
    {D3D_FEATURE_LEVEL_9_1, L"D3D_FEATURE_LEVEL_9_1"},   {D3D_FEATURE_LEVEL_9_2, L"D3D_FEATURE_LEVEL_9_2"},
    {D3D_FEATURE_LEVEL_9_3, L"D3D_FEATURE_LEVEL_9_3"},   {D3D_FEATURE_LEVEL_10_0, L"D3D_FEATURE_LEVEL_10_0"},
    {D3D_FEATURE_LEVEL_10_1, L"D3D_FEATURE_LEVEL_10_1"}, {D3D_FEATURE_LEVEL_11_0, L"D3D_FEATURE_LEVEL_11_0"},
    {D3D_FEATURE_LEVEL_11_1, L"D3D_FEATURE_LEVEL_11_1"},
};

const NamedValue scalings[] = {
    {DXGI_MODE_SCALING_UNSPECIFIED, L"DXGI_MODE_SCALING_UNSPECIFIED"},
    {DXGI_MODE_SCALING_CENTERED, L"DXGI_MODE_SCALING_CENTERED"},
    {DXGI_MODE_SCALING_STRETCHED, L"DXGI_MODE_SCALING_STRETCHED"},
};

const NamedValue scanlineOrders[] = {
    {DXGI_MODE_SCANLINE_ORDER_UNSPECIFIED, L"DXGI_MODE_SCANLINE_ORDER_UNSPECIFIED"},
    {DXGI_MODE_SCANLINE_ORDER_PROGRESSIVE, L"DXGI_MODE_SCANLINE_ORDER_PROGRESSIVE"},
    {DXGI_MODE_SCANLINE_ORDER_UPPER_FIELD_FIRST, L"DXGI_MODE_SCANLINE_ORDER_UPPER_FIELD_FIRST"},
    {DXGI_MODE_SCANLINE_ORDER_LOWER_FIELD_FIRST, L"DXGI_MODE_SCANLINE_ORDER_LOWER_FIELD_FIRST"},
};

// DXGI_SWAP_EFFECT_FLIP_DISCARD (4) is left unnamed on purpose: it is written as its number.
const NamedValue swapEffects[] = {
    {0, L"DXGI_SWAP_EFFECT_DISCARD"},
    {1, L"DXGI_SWAP_EFFECT_SEQUENTIAL"},
    {3, L"DXGI_SWAP_EFFECT_FLIP_SEQUENTIAL"},
};

std::wstring luidText(const LUID& luid)
{
    std::wostringstream text;
    text << std::hex << luid.LowPart << static_cast<unsigned long>(luid.HighPart);
    return text.str();
}

// Writes the end line when the dump leaves, on every path.
class DumpEnd
{
public:
    explicit DumpEnd(Log::Level level) : level_(level) {}
    ~DumpEnd() { LOG_AT_LEVEL_(level_, L"=== SwapChain dump End ==="); }
    DumpEnd(const DumpEnd&) = delete;
    DumpEnd& operator=(const DumpEnd&) = delete;

private:
    Log::Level level_;
};

void dumpDescription(IDXGISwapChain* swapChain, Log::Level level)
{
    DXGI_SWAP_CHAIN_DESC desc = {};
    const HRESULT hr = swapChain->GetDesc(&desc);
    if (FAILED(hr)) {
        LOG_AT_LEVEL_(level, L"Failed to get DXGI_SWAP_CHAIN_DESC, error: %0", hr);
        return;
    }
    LOG_AT_LEVEL_(level, L"Width=%0, Height=%1", desc.BufferDesc.Width, desc.BufferDesc.Height);
    LOG_AT_LEVEL_(level, L"RefreshRate: Numerator=%0, Denominator=%1", desc.BufferDesc.RefreshRate.Numerator,
                  desc.BufferDesc.RefreshRate.Denominator);
    LOG_AT_LEVEL_(level, L"Format: %0", formatName(desc.BufferDesc.Format));
    LOG_AT_LEVEL_(level, L"ScanlineOrdering: %0", scanlineOrderName(desc.BufferDesc.ScanlineOrdering));
    LOG_AT_LEVEL_(level, L"Scaling: %0", scalingName(desc.BufferDesc.Scaling));
    LOG_AT_LEVEL_(level, L"SampleDesc: Count=%0, Quality=%1", desc.SampleDesc.Count, desc.SampleDesc.Quality);
    LOG_AT_LEVEL_(level, L"BufferUsage: %0", desc.BufferUsage);
    LOG_AT_LEVEL_(level, L"BufferCount: %0", desc.BufferCount);
    LOG_AT_LEVEL_(level, L"OutputWindow(HWND): %0", static_cast<const void*>(desc.OutputWindow));
    LOG_AT_LEVEL_(level, L"Windowed: %0", desc.Windowed);
    LOG_AT_LEVEL_(level, L"SwapEffect: %0", swapEffectName(desc.SwapEffect));
    LOG_AT_LEVEL_(level, L"Flags: %0", desc.Flags);
}

}  // namespace

std::wstring featureLevelName(D3D_FEATURE_LEVEL value)
{
    return nameOf(featureLevels, static_cast<int>(value));
}

std::wstring formatName(DXGI_FORMAT value)
{
    const auto number = static_cast<uint32_t>(value);
    if (number < sizeof formatNames / sizeof formatNames[0]) {
        return formatNames[number];
    }
    if (number == DXGI_FORMAT_FORCE_UINT) {
        return L"DXGI_FORMAT_FORCE_UINT";
    }
    return std::to_wstring(static_cast<int32_t>(number));
}

std::wstring scalingName(DXGI_MODE_SCALING value)
{
    return nameOf(scalings, static_cast<int>(value));
}

std::wstring scanlineOrderName(DXGI_MODE_SCANLINE_ORDER value)
{
    return nameOf(scanlineOrders, static_cast<int>(value));
}

std::wstring swapEffectName(DXGI_SWAP_EFFECT value)
{
    return nameOf(swapEffects, static_cast<int>(value));
}

void dumpSwapChain(IDXGISwapChain* swapChain, Log::Level level)
{
    if (!Log::Core::isEnabled(level) || !swapChain) {
        return;
    }
    LOG_AT_LEVEL_(level, L"=== SwapChain dump Start ===");
    // Declared first, so the end line follows the release of everything below.
    const DumpEnd end(level);

    dumpDescription(swapChain, level);

    ComPtr<ID3D11Device> device;
    HRESULT hr = swapChain->GetDevice(IID_PPV_ARGS(&device));
    if (FAILED(hr)) {
        LOG_AT_LEVEL_(level, L"Failed to get device, error: %0", hr);
        return;
    }
    LOG_AT_LEVEL_(level, L"Device:");
    // The device's feature level goes out under this label.
    LOG_AT_LEVEL_(level, L"Flags: %0", featureLevelName(device->GetFeatureLevel()));
    LOG_AT_LEVEL_(level, L"CreationFlags: %0", device->GetCreationFlags());

    ComPtr<IDXGIDevice> dxgiDevice;
    hr = device.As(&dxgiDevice);
    if (FAILED(hr)) {
        LOG_AT_LEVEL_(level, L"Failed to get IDXGIDevice, error: %0", hr);
        return;
    }
    ComPtr<IDXGIAdapter> adapter;
    hr = dxgiDevice->GetAdapter(&adapter);
    if (FAILED(hr)) {
        LOG_AT_LEVEL_(level, L"Failed to get IDXGIAdapter, error: %0", hr);
        return;
    }
    LOG_AT_LEVEL_(level, L"Adapter:");
    DXGI_ADAPTER_DESC adapterDesc = {};
    hr = adapter->GetDesc(&adapterDesc);
    if (FAILED(hr)) {
        LOG_AT_LEVEL_(level, L"Failed to get DXGI_ADAPTER_DESC, error: %0", hr);
        return;
    }
    LOG_AT_LEVEL_(level, L"Description: %0", static_cast<const wchar_t*>(adapterDesc.Description));
    LOG_AT_LEVEL_(level, L"AdapterLuid: %0", luidText(adapterDesc.AdapterLuid));
    LOG_AT_LEVEL_(level, L"VendorId: %0, DeviceId: %1, SubSysId: %2, Revision: %3", adapterDesc.VendorId,
                  adapterDesc.DeviceId, adapterDesc.SubSysId, adapterDesc.Revision);
    LOG_AT_LEVEL_(level, L"DedicatedVideoMemory: %0, DedicatedSystemMemory: %1, SharedSystemMemory: %2",
                  adapterDesc.DedicatedVideoMemory, adapterDesc.DedicatedSystemMemory, adapterDesc.SharedSystemMemory);
}

}  // namespace Overlay
