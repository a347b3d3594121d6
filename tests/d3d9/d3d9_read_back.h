#pragma once
// Shared by the Direct3D 9 tests: the demo game's options, and its back buffer read into memory.

#include "d3d9_demo_game.h"
#include "graphics_test_support.h"

#include <d3d9.h>

namespace GraphicsTest {

// A hidden 256x192 demo game, Direct3D 9Ex when `extended`.
inline Demo9::Options gameOptions(bool extended = false)
{
    Demo9::Options options = hiddenGame<Demo9::Options>(256, 192);
    options.extended = extended;
    return options;
}

// The back buffer (32-bit, X8R8G8B8 or A8R8G8B8).
inline Image readBackBuffer(IDirect3DDevice9* device)
{
    ComPtr<IDirect3DSurface9> backBuffer;
    check(device->GetBackBuffer(0, 0, D3DBACKBUFFER_TYPE_MONO, &backBuffer), "GetBackBuffer");
    D3DSURFACE_DESC desc = {};
    check(backBuffer->GetDesc(&desc), "GetDesc");
    ComPtr<IDirect3DSurface9> copy;
    check(device->CreateOffscreenPlainSurface(desc.Width, desc.Height, desc.Format, D3DPOOL_SYSTEMMEM, &copy, nullptr),
          "CreateOffscreenPlainSurface");
    check(device->GetRenderTargetData(backBuffer.Get(), copy.Get()), "GetRenderTargetData");
    D3DLOCKED_RECT locked = {};
    check(copy->LockRect(&locked, nullptr, D3DLOCK_READONLY), "LockRect");
    Image image;
    image.width = desc.Width;
    image.height = desc.Height;
    for (uint32_t y = 0; y < desc.Height; ++y) {
        const auto* row = static_cast<const uint8_t*>(locked.pBits) + size_t(y) * locked.Pitch;
        for (uint32_t x = 0; x < desc.Width; ++x) {
            const uint8_t* p = row + size_t(x) * 4;
            image.pixels.push_back({p[2], p[1], p[0], p[3]});
        }
    }
    check(copy->UnlockRect(), "UnlockRect");
    return image;
}

}  // namespace GraphicsTest
