#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "overlay/overlay_client/impl/input_translation.h"
#include "overlay/overlay_client/impl/single_instance.h"
#include "overlay/overlay_common/ipc/overlay_ipc_types.h"

namespace Overlay {

// What the window hook reports. Every operation runs on the game window's thread and has an empty
// default, so a listener implements only what it needs.
class WindowHookListener
{
public:
    virtual ~WindowHookListener() = default;

    // Handling a message of the window threw; the game's window keeps working.
    virtual void onWindowHookError() {}
    // Outcome of subclassing the window, at the first message its thread removes from its queue.
    virtual void onWindowHooked(bool /*success*/) {}
    virtual void onShiftTab() {}
    virtual void onCtrlSpace() {}
    // Escape pressed while input is captured; its key event follows.
    virtual void onEscape() {}
    virtual void onWindowMoved() {}
    virtual void onWindowResized() {}
    virtual void onWindowDestroyed() {}
    virtual void onKeyEvent(const Ipc::Stub::KeyEvent& /*event*/) {}
    virtual void onMouseMoveEvent(const Ipc::Stub::MouseMoveEvent& /*event*/) {}
    virtual void onMouseClickEvent(const Ipc::Stub::MouseClickEvent& /*event*/) {}
    virtual void onMouseWheelEvent(const Ipc::Stub::MouseWheelEvent& /*event*/) {}
};

OVERLAY_SINGLE_INSTANCE_NAME(WindowHook);

// Watches the game window: a WH_GETMESSAGE hook on the window's thread subclasses the window from
// inside that thread. With hotkeys enabled it recognises Shift+Tab and Ctrl+Space; while input
// capture is on it takes keyboard and mouse messages away from the game and reports them as the
// host's input events. A key or button press stays with the side that got its down message (see
// PressOwnership). It also reports moves, resizes and the window's destruction.
//
//   WindowHook hook(window, true);
//   hook.setListener(&listener);   // borrowed: must outlive its registration
//   hook.install();                // subclassing follows on the window's thread
class WindowHook : private SingleInstance<WindowHook>
{
public:
    // Throws the system error 6 "Window handle is null" for a null window.
    WindowHook(HWND window, bool enableHotkeys);
    // Removes the subclass and the message hook. Runs best on the window's thread; from another
    // thread the window's thread is asked to remove the subclass.
    ~WindowHook();

    WindowHook(const WindowHook&) = delete;
    WindowHook& operator=(const WindowHook&) = delete;

    // Null removes the listener. Borrowed.
    void setListener(WindowHookListener* listener) noexcept;
    // Installs the message hook on the window's thread when it is not installed yet.
    void install();
    void setInputCapture(bool capture) noexcept;
    bool isInputCaptured() const noexcept;
    // True once the window is subclassed (and until it is destroyed).
    bool isWindowHooked() const noexcept;

    // The window's client rectangle; throws "Window handle is null" once the window is gone.
    RECT getClientRect() const;
    // The rectangle's corners in screen coordinates.
    RECT clientToScreen(const RECT& rect) const;
    DWORD getWindowThreadId() const;

private:
    static LRESULT CALLBACK messageHookProc(int code, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK subclassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR subclassId,
                                         DWORD_PTR refData);

    HWND checkedWindow() const;
    // On the window's thread, from the message hook.
    bool subclass();
    void removeSubclass() noexcept;
    void removeMessageHook() noexcept;
    // True when the message is swallowed.
    bool filterMessage(MSG& message);
    bool isHotkey(const MSG& message) const;
    // True for a raw input record that releases a press the game holds.
    static bool releasesGamePress(LPARAM rawInput);
    void translateKey(const MSG& message);
    void translateMouse(const MSG& message);

    std::atomic<HWND> window_;
    std::atomic<HHOOK> messageHook_{nullptr};
    std::atomic<WindowHookListener*> listener_{nullptr};
    const bool enableHotkeys_;
    std::atomic<bool> windowHooked_{false};
    std::atomic<bool> inputCapture_{false};
    std::atomic<bool> subclassed_{false};

    // Window thread only.
    bool leaveTracking_ = false;
    ClickSequence clicks_;
    PressOwnership presses_;
};

}  // namespace Overlay
