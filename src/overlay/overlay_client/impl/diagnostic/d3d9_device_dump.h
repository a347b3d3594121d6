#pragma once
// Writes a game's Direct3D 9 device (its adapter, driver and device type) into the log.

#include <d3d9.h>

#include <string>

namespace Overlay {

// DEBUG lines, ERROR for failed queries; nothing when the log does not take DEBUG. Never throws.
void dumpD3D9Device(IDirect3DDevice9* device);

// "HAL", "Ref", "SW", "NullRef", or "Unknown".
std::wstring deviceTypeName(D3DDEVTYPE type);

}  // namespace Overlay
