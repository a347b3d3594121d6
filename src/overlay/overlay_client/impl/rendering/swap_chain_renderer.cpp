#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

#include "overlay/overlay_client/impl/rendering/swap_chain_renderer.h"

namespace Overlay::Rendering {

Microsoft::WRL::ComPtr<ID3D11Device> d3d11DeviceOf(IDXGISwapChain* swapChain)
{
    Microsoft::WRL::ComPtr<ID3D11Device> device;
    Err::throwIfFailed(swapChain->GetDevice(IID_PPV_ARGS(&device)), "Failed to get ID3D11Device");
    return device;
}

}  // namespace Overlay::Rendering
