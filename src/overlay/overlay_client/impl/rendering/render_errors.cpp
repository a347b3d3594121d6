#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

#include "overlay/overlay_client/impl/rendering/render_errors.h"

namespace Overlay::Rendering {

void throwIfFailed(HRESULT hr, const char* message)
{
    if (FAILED(hr)) {
        Err::makeSystemError(static_cast<uint32_t>(hr), message)->raise();
    }
}

}  // namespace Overlay::Rendering
