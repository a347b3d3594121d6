#pragma once
// Something drawn with a renderer. Every device object an object makes belongs to its current
// renderer; a renderer change drops them first, so no bitmap of one renderer meets another.

#include "overlay/overlay_client/impl/rendering/renderer.h"

#include <memory>
#include <string>

namespace Overlay::Rendering {

// How long the presenting thread waits for a mutex the host shares with us. A host that holds it
// longer (hung, or too slow) costs the overlay one frame of freshness, never the game a frame.
constexpr unsigned long hostLockTimeoutMs = 8;

// A frame's waits for the host's mutexes share that bound: however many blocks a frame reads, a
// host that holds them costs the game at most hostLockTimeoutMs per frame. In scope on the
// presenting thread for one frame.
class FrameHostWaits
{
public:
    FrameHostWaits();
    ~FrameHostWaits();
    FrameHostWaits(const FrameHostWaits&) = delete;
    FrameHostWaits& operator=(const FrameHostWaits&) = delete;

    // What the next wait on this thread may take, in milliseconds: what is left of the frame's bound
    // (0 once spent), or the whole bound outside a frame.
    static unsigned long remainingMs();
};

// Tells the log once when the host starts keeping a block locked past the bound, and once when
// it lets go again, however many frames it lasts.
class HostBusyLog
{
public:
    explicit HostBusyLog(const wchar_t* block) : block_(block) {}
    void busy();
    void free();

private:
    const wchar_t* block_;
    bool busy_ = false;
};

// Tells the log once per fault when what the host shares cannot be used (a block gone, a header
// that fails its checks): that frame is refused and the overlay goes on.
class HostDataLog
{
public:
    void refused(const char* what);
    void accepted() { last_.clear(); }

private:
    std::string last_;
};

class RenderObject
{
public:
    explicit RenderObject(std::shared_ptr<Renderer> renderer);
    RenderObject(const RenderObject&) = delete;
    RenderObject& operator=(const RenderObject&) = delete;
    virtual ~RenderObject() = default;

    // Throws std::runtime_error when there is no renderer.
    void draw();
    // Nothing happens for the renderer already set.
    void setRenderer(std::shared_ptr<Renderer> renderer);
    void resetRenderer();

protected:
    virtual void onDraw() = 0;
    virtual void onRendererChanged() = 0;
    virtual void releaseResources() = 0;

    std::shared_ptr<Renderer> renderer_;
};

}  // namespace Overlay::Rendering
