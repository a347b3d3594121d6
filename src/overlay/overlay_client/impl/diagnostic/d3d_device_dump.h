#pragma once
// Writes the game's DXGI swap chain, its Direct3D 11 device and its adapter into the log, and names
// the enumeration values that appear there.

#include "log/level.h"

#include <d3dcommon.h>
#include <dxgi.h>

#include <string>

namespace Overlay {

// All lines at `level`; nothing when the log does not take that level. Failed queries are logged and
// shorten the dump; it never throws.
void dumpSwapChain(IDXGISwapChain* swapChain, Log::Level level);

// The SDK identifier of the value ("D3D_FEATURE_LEVEL_11_0"), or the value as a signed decimal
// number when it is not one of the named ones.
std::wstring featureLevelName(D3D_FEATURE_LEVEL value);
std::wstring formatName(DXGI_FORMAT value);
std::wstring scalingName(DXGI_MODE_SCALING value);
std::wstring scanlineOrderName(DXGI_MODE_SCANLINE_ORDER value);
std::wstring swapEffectName(DXGI_SWAP_EFFECT value);

}  // namespace Overlay
