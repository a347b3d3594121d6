#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

#include "overlay/overlay_client/impl/window_hook.h"

#include "overlay/overlay_client/impl/input_channels_hook.h"

#include <commctrl.h>

namespace Overlay {

namespace {

// Our own reads see the keys as the system has them, not as the game is shown them.
SHORT systemKeyState(int virtualKey)
{
    return InputChannelsHook::systemKeyState(virtualKey);
}

// The thread's keys read once per event: under Wine every GetKeyState is a round trip through the
// server, and an event's modifiers read five keys. Window thread only.
thread_local BYTE keyboardSnapshot[256];

bool takeKeyboardSnapshot()
{
    return InputChannelsHook::systemKeyboardState(keyboardSnapshot);
}

SHORT snapshotKeyState(int virtualKey)
{
    const BYTE state = keyboardSnapshot[virtualKey & 0xFF];
    return static_cast<SHORT>(((state & 0x80) ? 0x8000 : 0) | (state & 0x01));
}

// The snapshot where it could be taken, the keys one by one otherwise.
KeyStateReader eventKeyState()
{
    return takeKeyboardSnapshot() ? &snapshotKeyState : &systemKeyState;
}

bool isAutoRepeat(LPARAM lParam)
{
    return (lParam & (1 << 30)) != 0;
}

bool keyDown(int virtualKey)
{
    return (systemKeyState(virtualKey) & 0x8000) != 0;
}

// Sent by a destructor on another thread: the subclass can only be removed on the window's thread.
UINT detachMessage() noexcept
{
    static const UINT value = RegisterWindowMessageW(L"tnq_overlay_window_hook_detach");
    return value;
}

}  // namespace

WindowHook::WindowHook(HWND window, bool enableHotkeys)
    : SingleInstance<WindowHook>(this), window_(window), enableHotkeys_(enableHotkeys),
      clicks_(ClickThresholds::system()), presses_(&overlayHeldKeys(), &gameHeldKeys())
{
    LOG_INFO(L"Hooking Window");
    checkedWindow();
    detachMessage();
}

WindowHook::~WindowHook()
{
    if (subclassed_.load()) {
        HWND window = window_.load();
        if (window && GetWindowThreadProcessId(window, nullptr) != GetCurrentThreadId()) {
            DWORD_PTR result = 0;
            SendMessageTimeoutW(window, detachMessage(), 0, reinterpret_cast<LPARAM>(this), SMTO_ABORTIFHUNG, 5000,
                                &result);
        } else {
            removeSubclass();
        }
    }
    removeMessageHook();
    // No press is left that the game's polled key state should not see.
    overlayHeldKeys().clear();
    gameHeldKeys().clear();
}

void WindowHook::setListener(WindowHookListener* listener) noexcept
{
    listener_.exchange(listener);
}

void WindowHook::install()
{
    if (messageHook_.load())
        return;
    // A window that is already gone has no thread; thread 0 would ask for a hook on every thread.
    const DWORD threadId = GetWindowThreadProcessId(checkedWindow(), nullptr);
    if (threadId == 0)
        Err::throwLastError("Failed to get the window's thread");
    HHOOK hook = SetWindowsHookExW(WH_GETMESSAGE, &WindowHook::messageHookProc, nullptr, threadId);
    if (!hook)
        Err::throwLastError("Failed to SetWindowsHookEx");
    HHOOK expected = nullptr;
    if (!messageHook_.compare_exchange_strong(expected, hook))
        UnhookWindowsHookEx(hook);  // installed meanwhile by another thread
}

void WindowHook::setInputCapture(bool capture) noexcept
{
    inputCapture_.store(capture);
}

bool WindowHook::isInputCaptured() const noexcept
{
    return inputCapture_.load();
}

bool WindowHook::isWindowHooked() const noexcept
{
    return windowHooked_.load();
}

RECT WindowHook::getClientRect() const
{
    RECT rect{};
    if (!GetClientRect(checkedWindow(), &rect))
        Err::throwLastError("GetClientRect error");
    return rect;
}

RECT WindowHook::clientToScreen(const RECT& rect) const
{
    HWND window = checkedWindow();
    POINT topLeft{rect.left, rect.top};
    POINT bottomRight{rect.right, rect.bottom};
    if (!ClientToScreen(window, &topLeft) || !ClientToScreen(window, &bottomRight))
        Err::throwLastError("ClientToScreen error");
    return RECT{topLeft.x, topLeft.y, bottomRight.x, bottomRight.y};
}

DWORD WindowHook::getWindowThreadId() const
{
    return GetWindowThreadProcessId(checkedWindow(), nullptr);
}

HWND WindowHook::checkedWindow() const
{
    HWND window = window_.load();
    if (!window)
        Err::makeSystemError(ERROR_INVALID_HANDLE, "Window handle is null")->raise();
    return window;
}

LRESULT CALLBACK WindowHook::messageHookProc(int code, WPARAM wParam, LPARAM lParam)
{
    WindowHook* self = SingleInstance<WindowHook>::instance();
    if (self && code == HC_ACTION && (wParam & PM_REMOVE) && lParam) {
        MSG& message = *reinterpret_cast<MSG*>(lParam);
        bool swallow = false;
        const bool handled = guarded(L"WindowHook", [&] { swallow = self->filterMessage(message); });
        if (!handled) {
            guarded(L"WindowHook", [&] {
                if (WindowHookListener* listener = self->listener_.load())
                    listener->onWindowHookError();
            });
        }
        if (swallow) {
            message.hwnd = nullptr;
            message.message = WM_NULL;
            return 0;
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

bool WindowHook::filterMessage(MSG& message)
{
    if (!windowHooked_.load() && !subclass())
        return false;
    // Raw input goes to whichever of the thread's windows registered for it: while captured none
    // reaches the game but the release of a press it holds, and the system's clean-up for each
    // withheld input still runs.
    if (message.message == WM_INPUT && inputCapture_.load()) {
        if (releasesGamePress(message.lParam))
            return false;
        if (GET_RAWINPUT_CODE_WPARAM(message.wParam) == RIM_INPUT)
            DefWindowProcW(message.hwnd, WM_INPUT, message.wParam, message.lParam);
        return true;
    }
    if (message.hwnd == nullptr || message.hwnd != window_.load())
        return false;
    // The system ends a leave request with this message, captured or not.
    if (message.message == WM_MOUSELEAVE)
        leaveTracking_ = false;

    if (isHotkey(message)) {
        presses_.assign(message.message, message.wParam, InputSide::Dropped);
        return true;
    }
    const bool captured = inputCapture_.load();
    if (const auto side = presses_.route(message.message, message.wParam, message.lParam, captured)) {
        switch (*side) {
        case InputSide::Game: return false;
        case InputSide::Dropped: return true;
        case InputSide::Overlay: break;
        }
        if (isKeyMessage(message.message)) {
            // The key first: the character that TranslateMessage posts comes after it anyway.
            translateKey(message);
            TranslateMessage(&message);
        } else if (isTranslatedMouseMessage(message.message)) {
            translateMouse(message);
        }
        return true;
    }
    if (!captured)
        return false;
    if (isTranslatedMouseMessage(message.message)) {
        translateMouse(message);
        return true;
    }
    return isSwallowedMouseMessage(message.message);
}

bool WindowHook::releasesGamePress(LPARAM rawInput)
{
    RAWINPUT input{};
    UINT size = sizeof input;
    // Keyboard and mouse records fit; a larger one (a HID device's) releases nothing of ours.
    const UINT copied =
        GetRawInputData(reinterpret_cast<HRAWINPUT>(rawInput), RID_INPUT, &input, &size, sizeof(RAWINPUTHEADER));
    return copied != UINT(-1) && copied >= sizeof(RAWINPUTHEADER) && releasesHeldPress(input, gameHeldKeys());
}

bool WindowHook::isHotkey(const MSG& message) const
{
    if (!enableHotkeys_ || message.message != WM_KEYDOWN || isAutoRepeat(message.lParam))
        return false;
    WindowHookListener* listener = listener_.load();
    if (message.wParam == VK_TAB && keyDown(VK_SHIFT)) {
        if (listener)
            listener->onShiftTab();
        return true;
    }
    if (message.wParam == VK_SPACE && keyDown(VK_CONTROL)) {
        if (listener)
            listener->onCtrlSpace();
        return true;
    }
    return false;
}

void WindowHook::translateKey(const MSG& message)
{
    WindowHookListener* listener = listener_.load();
    if (message.message == WM_KEYDOWN && message.wParam == VK_ESCAPE && !isAutoRepeat(message.lParam) && listener)
        listener->onEscape();
    const Ipc::Stub::KeyEvent event =
        Overlay::translateKey(message.message, message.wParam, message.lParam, eventKeyState());
    if ((listener = listener_.load()) != nullptr)
        listener->onKeyEvent(event);
}

void WindowHook::translateMouse(const MSG& message)
{
    HWND window = window_.load();
    const KeyStateReader keyState = eventKeyState();
    const std::int32_t modifiers = mouseModifiers(message.wParam, keyState);
    WindowHookListener* listener = listener_.load();

    switch (message.message) {
    case WM_MOUSEMOVE: {
        const POINT point = pointFromLParam(message.lParam);
        clicks_.onMoveOrLeave(point, message.time);
        if (!leaveTracking_) {
            TRACKMOUSEEVENT track{sizeof(track), TME_LEAVE, window, 0};
            leaveTracking_ = TrackMouseEvent(&track) != FALSE;
        }
        Ipc::Stub::MouseMoveEvent event;
        event.base = mouseEvent(point, modifiers);
        event.mouseLeave = false;
        if (listener)
            listener->onMouseMoveEvent(event);
        return;
    }
    case WM_MOUSEWHEEL: {
        POINT point = pointFromLParam(message.lParam);  // screen coordinates
        if (WindowFromPoint(point) != window || !ScreenToClient(window, &point))
            return;
        const Ipc::Stub::MouseWheelEvent event =
            wheelEvent(point, message.wParam, modifiers, (keyState(VK_SHIFT) & 0x8000) != 0);
        if (listener)
            listener->onMouseWheelEvent(event);
        return;
    }
    case WM_MOUSELEAVE: {
        POINT point = message.pt;
        ScreenToClient(window, &point);
        clicks_.onMoveOrLeave(point, message.time);
        Ipc::Stub::MouseMoveEvent event;
        event.base = mouseEvent(point, modifiers);
        event.mouseLeave = true;
        if (listener)
            listener->onMouseMoveEvent(event);
        return;
    }
    default: break;
    }

    const POINT point = pointFromLParam(message.lParam);
    Ipc::Stub::MouseClickEvent event;
    event.base = mouseEvent(point, modifiers);
    event.type = buttonOf(message.message);
    if (isButtonDown(message.message)) {
        SetCapture(window);
        SetFocus(window);
        event.mouseUp = false;
        event.clickCount = clicks_.onButtonDown(message.message, point, message.time);
    } else {
        if (GetCapture() == window)
            ReleaseCapture();
        event.mouseUp = true;
        event.clickCount = clicks_.clickCount();
    }
    if (listener)
        listener->onMouseClickEvent(event);
}

bool WindowHook::subclass()
{
    bool success = subclassed_.load();
    if (!success) {
        success =
            SetWindowSubclass(window_.load(), &WindowHook::subclassProc, 0, reinterpret_cast<DWORD_PTR>(this)) != FALSE;
        if (!success) {
            const DWORD error = GetLastError();
            LOG_ERROR(L"Failed to subclass window: %0", Err::systemMessage(error));
        }
        subclassed_.store(success);
    }
    windowHooked_.store(success);
    if (!success) {
        removeSubclass();
        removeMessageHook();
    }
    if (WindowHookListener* listener = listener_.load())
        listener->onWindowHooked(success);
    return success;
}

void WindowHook::removeSubclass() noexcept
{
    if (subclassed_.exchange(false))
        RemoveWindowSubclass(window_.load(), &WindowHook::subclassProc, 0);
}

void WindowHook::removeMessageHook() noexcept
{
    if (HHOOK hook = messageHook_.exchange(nullptr))
        UnhookWindowsHookEx(hook);
}

LRESULT CALLBACK WindowHook::subclassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                          UINT_PTR /*subclassId*/, DWORD_PTR refData)
{
    auto* self = reinterpret_cast<WindowHook*>(refData);  // borrowed: removes this procedure before it dies
    try {
        WindowHookListener* listener = self->listener_.load();
        switch (message) {
        case WM_MOVE:
            if (listener)
                listener->onWindowMoved();
            break;
        case WM_SIZE:
            if (listener)
                listener->onWindowResized();
            self->removeMessageHook();
            self->install();
            break;
        case WM_SETCURSOR:
            if (self->inputCapture_.load())
                return 0;
            break;
        case WM_INPUT:
            // Sent rather than posted: kept from the game all the same, cleaned up by the system.
            if (self->inputCapture_.load())
                return GET_RAWINPUT_CODE_WPARAM(wParam) == RIM_INPUT ? DefWindowProcW(window, message, wParam, lParam)
                                                                     : 0;
            break;
        case WM_NCDESTROY:
            self->removeSubclass();
            self->removeMessageHook();
            self->window_.store(nullptr);
            if (listener)
                listener->onWindowDestroyed();
            break;
        default:
            if (message == detachMessage() && lParam == reinterpret_cast<LPARAM>(self)) {
                self->removeSubclass();
                return 0;
            }
            break;
        }
    } catch (const std::exception& e) {
        guarded(nullptr, [&] {
            if (WindowHookListener* listener = self->listener_.load())
                listener->onWindowHookError();
        });
        guarded(nullptr, [&] { LOG_ERROR(L"%0", e.what()); });
    } catch (...) {
        guarded(nullptr, [&] {
            if (WindowHookListener* listener = self->listener_.load())
                listener->onWindowHookError();
        });
        guarded(nullptr, [] { LOG_ERROR(L"Unknown exception"); });
    }
    return DefSubclassProc(window, message, wParam, lParam);
}

}  // namespace Overlay
