#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

#include "overlay/overlay_client/impl/diagnostic/d3d9_device_dump.h"

#include <objbase.h>
#include <wrl/client.h>

using Microsoft::WRL::ComPtr;

namespace Overlay {
namespace {

// Writes the end line when the dump leaves, on every path.
struct DumpEnd
{
    DumpEnd() = default;
    DumpEnd(const DumpEnd&) = delete;
    DumpEnd& operator=(const DumpEnd&) = delete;
    ~DumpEnd() { LOG_DEBUG(L"=== D3D9 Graphics Device Dump End ==="); }
};

void dumpAdapter(IDirect3DDevice9* device, UINT adapter)
{
    ComPtr<IDirect3D9> direct3D;
    HRESULT hr = device->GetDirect3D(&direct3D);
    if (FAILED(hr)) {
        LOG_ERROR(L"Failed to obtain D3D9 instance from the device: %1", hr);
        return;
    }
    D3DADAPTER_IDENTIFIER9 identifier = {};
    hr = direct3D->GetAdapterIdentifier(adapter, 0, &identifier);
    if (FAILED(hr)) {
        LOG_ERROR(L"Failed to obtain device identifier: %1", hr);
        return;
    }
    LOG_DEBUG(L"Name: %1", static_cast<const char*>(identifier.DeviceName));
    LOG_DEBUG(L"Description: %1", static_cast<const char*>(identifier.Description));
    LOG_DEBUG(L"VID: %1, DID: %2, SubSysID: %3, Revision: %4", identifier.VendorId, identifier.DeviceId,
              identifier.SubSysId, identifier.Revision);
    wchar_t guid[64] = {};
    if (StringFromGUID2(identifier.DeviceIdentifier, guid, 64) > 0) {
        LOG_DEBUG(L"Device identifier: %1", static_cast<const wchar_t*>(guid));
    }
    const LARGE_INTEGER version = identifier.DriverVersion;
    LOG_DEBUG(L"Driver: %1, ver: %2.%3.%4.%5", static_cast<const char*>(identifier.Driver),
              unsigned(HIWORD(static_cast<DWORD>(version.HighPart))),
              unsigned(LOWORD(static_cast<DWORD>(version.HighPart))), unsigned(HIWORD(version.LowPart)),
              unsigned(LOWORD(version.LowPart)));
}

}  // namespace

std::wstring deviceTypeName(D3DDEVTYPE type)
{
    switch (type) {
    case D3DDEVTYPE_HAL: return L"HAL";
    case D3DDEVTYPE_REF: return L"Ref";
    case D3DDEVTYPE_SW: return L"SW";
    case D3DDEVTYPE_NULLREF: return L"NullRef";
    default: return L"Unknown";
    }
}

void dumpD3D9Device(IDirect3DDevice9* device)
{
    if (!Log::Core::isEnabled(Log::Level::Debug) || !device) {
        return;
    }
    LOG_DEBUG(L"=== D3D9 Graphics Device Dump Start ===");
    const DumpEnd end;
    D3DCAPS9 caps = {};
    if (FAILED(device->GetDeviceCaps(&caps))) {
        // Nothing below can be told without the caps but the texture memory.
        LOG_ERROR(L"Failed to get device caps");
    }
    const UINT textureMemory = device->GetAvailableTextureMem();
    LOG_DEBUG(L"Adapter ord. %1, in grp. %2; n.adapters in grp: %3", caps.AdapterOrdinal, caps.AdapterOrdinalInGroup,
              caps.NumberOfAdaptersInGroup);
    dumpAdapter(device, caps.AdapterOrdinal);
    LOG_DEBUG(L"Device type: %1 (%2)", deviceTypeName(caps.DeviceType), static_cast<uint32_t>(caps.DeviceType));
    LOG_DEBUG(L"Available texture mem.: %1", textureMemory);
}

}  // namespace Overlay
