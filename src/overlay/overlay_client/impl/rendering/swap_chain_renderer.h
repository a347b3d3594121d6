#pragma once
// What the DXGI hook asks of a renderer that draws into the back buffer of a game's swap chain,
// whatever the API it draws with (Direct2D, Direct3D 11; Direct3D 12 the same way). The hook keeps
// one of them and, per frame, only asks: which swap chain do you draw into, can you move to this one
// (same device) or should a renderer of your kind be made for it, and, before the game resizes the
// buffers, let go of the back buffer.
//
// The Direct3D 9 renderer draws for a device instead and is a plain Renderer: its hook makes a new
// one when another device presents.

#include "overlay/overlay_client/impl/rendering/renderer.h"

#include <dxgi.h>
#include <wrl/client.h>

#include <memory>

namespace Overlay::Rendering {

class SwapChainRenderer : public Renderer
{
public:
    // The swap chain it draws into (the renderer holds a reference); null once it let go of it.
    virtual IDXGISwapChain* swapChain() const = 0;
    // True when `swapChain` presents from the device this renderer draws with, so that
    // setSwapChain can move it there. Throws when that swap chain's device cannot be read.
    virtual bool usesDeviceOf(IDXGISwapChain* swapChain) const = 0;
    // Moves the renderer to another swap chain of its device; what it held of the old back buffer
    // is let go.
    virtual void setSwapChain(IDXGISwapChain* swapChain) = 0;
    // A new renderer of the same kind for a swap chain of another device.
    virtual std::shared_ptr<SwapChainRenderer> recreateFor(IDXGISwapChain* swapChain) const = 0;
    // Lets go of everything that references the back buffer, and of the swap chain itself, so
    // that the game can resize the buffers, or release the swap chain and make a new one for the
    // same window (a flip-model swap chain fails while another one of its window lives). The next
    // setSwapChain takes them again.
    virtual void releaseBackBuffer() = 0;
};

}  // namespace Overlay::Rendering
