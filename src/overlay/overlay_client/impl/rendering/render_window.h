#pragma once
// One overlay window of the host: its current frame, copied from shared memory into a bitmap when
// the host marked it dirty, drawn at the placement the host chose.

#include "overlay/overlay_client/impl/rendering/render_object.h"
#include "overlay/overlay_common/ipc/shared_memory.h"

#include <memory>

namespace Overlay::Rendering {

class RenderWindow : public RenderObject
{
public:
    // Opens the host's window block; throws when it cannot be opened or names no frame buffer.
    // A frame whose blocks fail their checks later is refused: the last good one stays.
    RenderWindow(std::shared_ptr<Renderer> renderer, const Ipc::SharedId& windowId);
    ~RenderWindow() override;

    const Ipc::SharedId& windowId() const;

protected:
    void onDraw() override;
    void onRendererChanged() override;
    void releaseResources() override;

private:
    void drawLast();

    std::unique_ptr<Ipc::SharedWindow> sharedWindow_;
    std::shared_ptr<Bitmap> bitmap_;
    bool needsUpload_ = true;
    RectI placement_;  // where the bitmap was last drawn
    HostBusyLog busyLog_{L"the shared window"};
    HostDataLog dataLog_;
};

}  // namespace Overlay::Rendering
