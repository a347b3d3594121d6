#pragma once

// What the reference host knows of the one client that registered with it, and what it does for
// that client: the host's own picture in a SharedWindow and FrameBuffer, the window and cursor
// named in the client's SharedOverlay, and the calls on the client's OverlayClient service.
// Used from the host's worker thread only.

#include <cstdint>
#include <memory>
#include <string>

#include "host_sdk/host_pipe.h"
#include "host_sdk/shared_blocks.h"
#include "picture.h"

namespace Overlay::Host {

class HostSession
{
public:
    explicit HostSession(const Ipc::Stub::ClientInfo& info);

    // A new size of the game's surface (screen rectangle from the client).
    void setSurface(const Ipc::Stub::RectI& bounds);
    // The host's panel, or a test rectangle of the surface's size times `relativeSize` in the
    // colour 0xAARRGGBB (alpha 0 counts as opaque).
    void usePanel();
    void useTestRectangle(const Ipc::Stub::TestOverlayInfo& info);
    void setLastInput(const std::string& text) { lastInput_ = text; }

    // Draws and publishes the current picture; the client copies it on its next frame.
    void render();

    // The client's service; throws when the client cannot be reached or does not answer.
    bool show();
    bool hide();
    bool ping();
    void setCursor(uint32_t cursorType) { overlay_->setCursor(cursorType); }

    bool visible() const { return visible_; }
    void setVisible(bool visible) { visible_ = visible; }

private:
    template <class Call>
    bool callClient(Call call);
    SharedRect placement() const;

    Ipc::Stub::ClientInfo info_;
    std::unique_ptr<HostOverlay> overlay_;
    std::unique_ptr<HostWindow> window_;
    std::unique_ptr<HostFrameBuffer> frameBuffer_;
    std::unique_ptr<ClientConnection> connection_;
    Picture picture_;
    uint32_t surfaceWidth_ = 0;
    uint32_t surfaceHeight_ = 0;
    bool testRectangle_ = false;
    Ipc::Stub::TestOverlayInfo test_;
    std::string lastInput_ = "NONE";
    uint64_t frame_ = 0;
    bool visible_ = false;
};

}  // namespace Overlay::Host
