#pragma once
// The overlay drawn over every presented frame while it is shown: the whole game surface darkened,
// then the host's current window on top.

#include "overlay/overlay_client/impl/rendering/render_object.h"
#include "overlay/overlay_client/impl/rendering/render_window.h"
#include "overlay/overlay_common/ipc/shared_memory.h"

#include <memory>
#include <mutex>

namespace Overlay::Rendering {

class RenderOverlay : public RenderObject
{
public:
    // Throws std::invalid_argument when `sharedOverlay` is empty.
    RenderOverlay(std::shared_ptr<Ipc::SharedOverlay> sharedOverlay, const SizeU& surfaceSize,
                  std::shared_ptr<Renderer> renderer);
    ~RenderOverlay() override;

    // May be called from any thread; the next frame darkens the new area.
    void setSurfaceSize(const SizeU& size);
    // Drops the renderer, the window and everything made with them.
    void release();

    // The darkening: black at 60 % opacity.
    static constexpr ColorF dimColor = {0.0f, 0.0f, 0.0f, 0.6f};

protected:
    void onDraw() override;
    void onRendererChanged() override;
    void releaseResources() override;

private:
    void drawWindow();

    std::shared_ptr<Ipc::SharedOverlay> sharedOverlay_;
    std::shared_ptr<RenderWindow> window_;
    std::recursive_mutex surfaceMutex_;
    RectI surfaceRect_;
    HostBusyLog busyLog_{L"the shared overlay"};
    HostDataLog dataLog_;
};

}  // namespace Overlay::Rendering
