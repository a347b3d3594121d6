#pragma once
// What the API-specific graphics hooks share: the device-facing interface handed to the listener on
// every frame, the hook interface the application attaches and stops (with the stop itself and the
// count of frames before the game's window is told), and the listener.

#include "log/log.h"
#include "overlay/overlay_client/impl/hook_utils/hook_utils.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>

namespace Overlay {

namespace Rendering {
class Renderer;
}

class GraphicApi
{
public:
    virtual ~GraphicApi() = default;

    // The renderer that draws into the frame being presented, made or moved as needed. Throws
    // std::logic_error when no device or swap chain has been seen yet.
    virtual std::shared_ptr<Rendering::Renderer> getRenderer() = 0;
    // Drops the renderer; the next getRenderer makes a new one.
    virtual void resetRenderer() = 0;
    // The overlay is hidden: lets go of all the game needs back to resize, re-create or destroy its
    // objects. True when the renderer is kept for the next show (the listener may keep what it made
    // with it: onDeviceLost tells when it must let go); false when it was dropped as by resetRenderer.
    virtual bool idleRenderer()
    {
        resetRenderer();
        return false;
    }
    // Writes the current device or swap chain into the log.
    virtual void dumpDevice() = 0;
};

// Told about the game's frames and devices, on the thread that presents. Removed listeners get no
// call that starts after the removal; a listener must stay valid until it has been removed.
class GraphicDeviceHookListener
{
public:
    virtual ~GraphicDeviceHookListener() = default;

    // The window the game presents into (once, after the tenth frame; may be null).
    virtual void onDeviceWindow(HWND /*window*/) {}
    // A Direct3D 9 device was reset to a new back-buffer size.
    virtual void onDeviceReset(uint32_t /*width*/, uint32_t /*height*/, bool /*fullscreen*/) {}
    // Presenting or resizing reported the device removed or reset; the renderer is already gone.
    // Comes on the thread whose call reported it; the DXGI hook never calls it during another
    // thread's onPresent.
    virtual void onDeviceLost() {}
    // A frame is about to be presented; draw through api.getRenderer(). A frame that fails is
    // answered as FrameFailures says.
    virtual void onPresent(GraphicApi& /*api*/) {}
};

// What a listener does after a frame it failed to draw. Many failures end with the renderer that
// met them (a Direct2D target to make again after a display change, a back buffer gone): a new
// renderer draws the next frame. One that fails again before it drew a frame will not recover.
class FrameFailures
{
public:
    // After a failed frame: true when the renderer is to be made anew (api.resetRenderer()), false
    // when the overlay is to stop.
    bool rebuild() noexcept
    {
        const bool first = !rebuilt_;
        rebuilt_ = true;
        return first;
    }
    // After a frame drawn.
    void drawn() noexcept { rebuilt_ = false; }

private:
    bool rebuilt_ = false;
};

class GraphicApiHook : public GraphicApi
{
public:
    virtual HookList getHooks() = 0;
    // The records that must be attached for the overlay to work.
    virtual HookList getMandatoryHooks() = 0;
    // Asks the hook to stop; the next hooked call on the rendering thread completes the stop.
    void stop() noexcept
    {
        if (stopState_.request()) {
            LOG_INFO(L"%0", stopRequestedLine_);
        }
    }

    // Null removes the listener.
    void setListener(GraphicDeviceHookListener* listener) { listener_.exchange(listener); }

    // Detaches, then waits (bounded) for the threads inside the replacements to leave. False when
    // some are still inside: the object must then stay, or they would resume into freed memory.
    virtual bool retire()
    {
        unhook(getHooks());
        return true;
    }
    // How long retire waits for the threads inside: a frame, a device call or a listener call.
    static constexpr unsigned long retireTimeoutMs = 2000;

protected:
    // The lines the log gets when a stop is asked for and when it is completed.
    GraphicApiHook(const wchar_t* stopRequestedLine, const wchar_t* stoppedLine)
        : stopRequestedLine_(stopRequestedLine), stoppedLine_(stoppedLine)
    {
    }

    GraphicDeviceHookListener* listener() const { return listener_.load(); }

    // Completes a requested stop: the first caller after the request lets go (releaseOnStop) on its
    // own thread. True once the hook is stopped.
    bool stopped()
    {
        const StopState::Step step = stopState_.poll();
        if (step != StopState::Step::Completing) {
            return step == StopState::Step::Stopped;
        }
        releaseOnStop();
        LOG_INFO(L"%0", stoppedLine_);
        return true;
    }
    // Lets go of the device, swap chain and renderer the hook holds, once, as the stop completes.
    virtual void releaseOnStop() = 0;

    // True once the listener has been told the game's window: frames go to onPresent from then on.
    bool ready() const noexcept { return ready_.load(); }
    // Counts a qualifying frame (the hook decides which qualify) before the window is told; one caller
    // at a time. Returns the listener to tell the window to, exactly once: on the tenth qualifying
    // frame when a listener is set, else on the first later one that finds a listener (a slow
    // start-up may set it after a fast game's tenth frame); null otherwise.
    GraphicDeviceHookListener* countQualifyingFrame() noexcept
    {
        GraphicDeviceHookListener* listener = this->listener();
        frameCount_ = frameCount_ < 10 ? frameCount_ + 1 : frameCount_;
        if (frameCount_ < 10 || listener == nullptr) {
            return nullptr;
        }
        return ready_.exchange(true) ? nullptr : listener;
    }

private:
    // A stop asked for from any thread and completed on the presenting thread, each step once.
    class StopState
    {
    public:
        enum class Step { Running, Completing, Stopped };

        // True for the first request only.
        bool request() noexcept
        {
            uint32_t expected = running;
            return state_.compare_exchange_strong(expected, requested);
        }
        // Completing exactly once, for the caller that is to finish the stop; Stopped after that.
        Step poll() noexcept
        {
            uint32_t state = state_.load();
            if (state == running) {
                return Step::Running;
            }
            if (state == requested && state_.compare_exchange_strong(state, stopped)) {
                return Step::Completing;
            }
            return Step::Stopped;
        }

    private:
        static constexpr uint32_t running = 0;
        static constexpr uint32_t requested = 1;
        static constexpr uint32_t stopped = 2;
        std::atomic<uint32_t> state_{running};
    };

    std::atomic<GraphicDeviceHookListener*> listener_{nullptr};
    const wchar_t* const stopRequestedLine_;
    const wchar_t* const stoppedLine_;
    StopState stopState_;
    std::atomic<bool> ready_{false};
    uint32_t frameCount_ = 0;  // qualifying frames, up to ten
};

}  // namespace Overlay
