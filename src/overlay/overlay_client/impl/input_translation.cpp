#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

#include "overlay/overlay_client/impl/input_translation.h"

#include <cstdlib>

namespace Overlay {

namespace {

using Flags = Ipc::Stub::EventFlags;

bool isDown(KeyStateReader keyState, int virtualKey)
{
    return (keyState(virtualKey) & 0x8000) != 0;
}

bool isToggled(KeyStateReader keyState, int virtualKey)
{
    return (keyState(virtualKey) & 0x0001) != 0;
}

std::int32_t lockModifiers(KeyStateReader keyState)
{
    std::int32_t modifiers = 0;
    if (isToggled(keyState, VK_NUMLOCK))
        modifiers |= Flags::EVENTFLAG_NUM_LOCK_ON;
    if (isToggled(keyState, VK_CAPITAL))
        modifiers |= Flags::EVENTFLAG_CAPS_LOCK_ON;
    return modifiers;
}

// Left or right for a modifier key, from the state of its two physical keys.
std::int32_t side(KeyStateReader keyState, int leftKey, int rightKey)
{
    if (isDown(keyState, leftKey))
        return Flags::EVENTFLAG_IS_LEFT;
    if (isDown(keyState, rightKey))
        return Flags::EVENTFLAG_IS_RIGHT;
    return 0;
}

}  // namespace

bool isKeyMessage(UINT message) noexcept
{
    switch (message) {
    case WM_KEYDOWN:
    case WM_KEYUP:
    case WM_CHAR:
    case WM_SYSKEYDOWN:
    case WM_SYSKEYUP:
    case WM_SYSCHAR: return true;
    default: return false;
    }
}

bool isTranslatedMouseMessage(UINT message) noexcept
{
    switch (message) {
    case WM_MOUSEMOVE:
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
    case WM_RBUTTONDOWN:
    case WM_RBUTTONUP:
    case WM_MBUTTONDOWN:
    case WM_MBUTTONUP:
    case WM_MOUSEWHEEL:
    case WM_MOUSELEAVE: return true;
    default: return false;
    }
}

bool isSwallowedMouseMessage(UINT message) noexcept
{
    if (message >= WM_NCMOUSEMOVE && message <= WM_NCMBUTTONDBLCLK)  // 0xA0 to 0xA9
        return true;
    if (message >= WM_NCXBUTTONDOWN && message <= WM_NCXBUTTONDBLCLK)  // 0xAB to 0xAD
        return true;
    if (message >= WM_XBUTTONDOWN && message <= WM_MOUSEHWHEEL)  // 0x20B to 0x20E
        return true;
    switch (message) {
    case WM_NCHITTEST:
    case WM_LBUTTONDBLCLK:
    case WM_RBUTTONDBLCLK:
    case WM_MBUTTONDBLCLK:
    case WM_NCMOUSEHOVER:
    case WM_MOUSEHOVER: return true;
    default: return false;
    }
}

std::int32_t keyModifiers(WPARAM wParam, LPARAM lParam, KeyStateReader keyState)
{
    std::int32_t modifiers = lockModifiers(keyState);
    if (isDown(keyState, VK_SHIFT))
        modifiers |= Flags::EVENTFLAG_SHIFT_DOWN;
    if (isDown(keyState, VK_CONTROL))
        modifiers |= Flags::EVENTFLAG_CONTROL_DOWN;
    if (isDown(keyState, VK_MENU))
        modifiers |= Flags::EVENTFLAG_ALT_DOWN;

    const bool extended = (lParam & (1 << 24)) != 0;
    switch (wParam) {
    case VK_CLEAR:
    case VK_NUMPAD0:
    case VK_NUMPAD1:
    case VK_NUMPAD2:
    case VK_NUMPAD3:
    case VK_NUMPAD4:
    case VK_NUMPAD5:
    case VK_NUMPAD6:
    case VK_NUMPAD7:
    case VK_NUMPAD8:
    case VK_NUMPAD9:
    case VK_MULTIPLY:
    case VK_ADD:
    case VK_SUBTRACT:
    case VK_DECIMAL:
    case VK_DIVIDE:
    case VK_NUMLOCK: modifiers |= Flags::EVENTFLAG_IS_KEY_PAD; break;
    case VK_RETURN:
        if (extended)
            modifiers |= Flags::EVENTFLAG_IS_KEY_PAD;
        break;
    case VK_PRIOR:
    case VK_NEXT:
    case VK_END:
    case VK_HOME:
    case VK_LEFT:
    case VK_UP:
    case VK_RIGHT:
    case VK_DOWN:
    case VK_INSERT:
    case VK_DELETE:
        // Without the extended bit these come from the key pad with Num Lock off.
        if (!extended)
            modifiers |= Flags::EVENTFLAG_IS_KEY_PAD;
        break;
    case VK_SHIFT: modifiers |= side(keyState, VK_LSHIFT, VK_RSHIFT); break;
    case VK_CONTROL: modifiers |= side(keyState, VK_LCONTROL, VK_RCONTROL); break;
    case VK_MENU: modifiers |= side(keyState, VK_LMENU, VK_RMENU); break;
    case VK_LWIN: modifiers |= Flags::EVENTFLAG_IS_LEFT; break;
    case VK_RWIN: modifiers |= Flags::EVENTFLAG_IS_RIGHT; break;
    default: break;
    }
    return modifiers;
}

Ipc::Stub::KeyEvent translateKey(UINT message, WPARAM wParam, LPARAM lParam, KeyStateReader keyState)
{
    Ipc::Stub::KeyEvent event;
    const bool character = message == WM_CHAR || message == WM_SYSCHAR;
    if (character)
        event.type = Ipc::Stub::KeyEventType::KEYEVENT_CHAR;
    else if (message == WM_KEYDOWN || message == WM_SYSKEYDOWN)
        event.type = Ipc::Stub::KeyEventType::KEYEVENT_RAWKEYDOWN;
    else
        event.type = Ipc::Stub::KeyEventType::KEYEVENT_KEYUP;
    // A character message carries a character, not a key: the key-location rules would misread
    // 'a' (0x61) as a key-pad key, so only the modifier keys' state applies to it.
    event.modifiers = character ? keyModifiers(0, 0, keyState) : keyModifiers(wParam, lParam, keyState);
    event.windowsKeyCode = static_cast<std::int32_t>(static_cast<std::uint32_t>(wParam));
    event.nativeKeyCode = static_cast<std::int32_t>(static_cast<std::uint32_t>(lParam));
    event.isSystemKey = message == WM_SYSKEYDOWN || message == WM_SYSKEYUP || message == WM_SYSCHAR;
    event.character = 0;
    event.unmodifiedCharacter = 0;
    return event;
}

std::int32_t mouseModifiers(WPARAM wParam, KeyStateReader keyState)
{
    std::int32_t modifiers = lockModifiers(keyState);
    if (wParam & MK_SHIFT)
        modifiers |= Flags::EVENTFLAG_SHIFT_DOWN;
    if (wParam & MK_CONTROL)
        modifiers |= Flags::EVENTFLAG_CONTROL_DOWN;
    if (isDown(keyState, VK_MENU))
        modifiers |= Flags::EVENTFLAG_ALT_DOWN;
    if (wParam & MK_LBUTTON)
        modifiers |= Flags::EVENTFLAG_LEFT_MOUSE_BUTTON;
    if (wParam & MK_MBUTTON)
        modifiers |= Flags::EVENTFLAG_MIDDLE_MOUSE_BUTTON;
    if (wParam & MK_RBUTTON)
        modifiers |= Flags::EVENTFLAG_RIGHT_MOUSE_BUTTON;
    return modifiers;
}

POINT pointFromLParam(LPARAM lParam) noexcept
{
    return POINT{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
}

Ipc::Stub::MouseEvent mouseEvent(POINT point, std::int32_t modifiers)
{
    Ipc::Stub::MouseEvent event;
    event.point.x = point.x;
    event.point.y = point.y;
    event.modifiers = modifiers;
    return event;
}

std::int32_t buttonOf(UINT message) noexcept
{
    switch (message) {
    case WM_RBUTTONDOWN:
    case WM_RBUTTONUP: return Ipc::Stub::MouseButtonType::MBT_RIGHT;
    case WM_MBUTTONDOWN:
    case WM_MBUTTONUP: return Ipc::Stub::MouseButtonType::MBT_MIDDLE;
    default: return Ipc::Stub::MouseButtonType::MBT_LEFT;
    }
}

bool isButtonDown(UINT message) noexcept
{
    return message == WM_LBUTTONDOWN || message == WM_RBUTTONDOWN || message == WM_MBUTTONDOWN;
}

bool isButtonUp(UINT message) noexcept
{
    return message == WM_LBUTTONUP || message == WM_RBUTTONUP || message == WM_MBUTTONUP;
}

Ipc::Stub::MouseWheelEvent wheelEvent(POINT clientPoint, WPARAM wParam, std::int32_t modifiers, bool shiftDown)
{
    Ipc::Stub::MouseWheelEvent event;
    event.base = mouseEvent(clientPoint, modifiers);
    const std::int32_t delta = static_cast<short>(HIWORD(wParam));
    event.deltaX = shiftDown ? delta : 0;
    event.deltaY = shiftDown ? 0 : delta;
    return event;
}

const ClickThresholds& ClickThresholds::system()
{
    static const ClickThresholds thresholds{GetSystemMetrics(SM_CXDOUBLECLK) / 2, GetSystemMetrics(SM_CYDOUBLECLK) / 2,
                                            GetDoubleClickTime()};
    return thresholds;
}

bool ClickSequence::isNear(POINT point, DWORD time) const noexcept
{
    return std::abs(lastX_ - static_cast<int>(point.x)) <= thresholds_.halfWidth &&
           std::abs(lastY_ - static_cast<int>(point.y)) <= thresholds_.halfHeight &&
           static_cast<DWORD>(time - lastTime_) <= thresholds_.time;
}

void ClickSequence::onMoveOrLeave(POINT point, DWORD time) noexcept
{
    if (isNear(point, time))
        return;
    lastX_ = 0;
    lastY_ = 0;
    lastTime_ = 0;
    lastMessage_ = 0;
    clickCount_ = 1;
}

std::int32_t ClickSequence::onButtonDown(UINT message, POINT point, DWORD time) noexcept
{
    if (isNear(point, time) && message == lastMessage_ && clickCount_ < 3) {
        ++clickCount_;
    } else {
        clickCount_ = 1;
        lastX_ = point.x;
        lastY_ = point.y;
    }
    lastTime_ = time;
    lastMessage_ = message;
    return clickCount_;
}

PressOwnership::Stroke PressOwnership::strokeOf(UINT message, WPARAM wParam, int& virtualKey) noexcept
{
    virtualKey = 0;
    const int xButton = GET_XBUTTON_WPARAM(wParam) == XBUTTON2 ? VK_XBUTTON2 : VK_XBUTTON1;
    switch (message) {
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN: virtualKey = int(wParam & 0xFF); return Stroke::Down;
    case WM_KEYUP:
    case WM_SYSKEYUP: virtualKey = int(wParam & 0xFF); return Stroke::Up;
    case WM_CHAR:
    case WM_DEADCHAR:
    case WM_SYSCHAR:
    case WM_SYSDEADCHAR:
    case WM_UNICHAR: return Stroke::Character;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK: virtualKey = VK_LBUTTON; return Stroke::Down;
    case WM_LBUTTONUP: virtualKey = VK_LBUTTON; return Stroke::Up;
    case WM_RBUTTONDOWN:
    case WM_RBUTTONDBLCLK: virtualKey = VK_RBUTTON; return Stroke::Down;
    case WM_RBUTTONUP: virtualKey = VK_RBUTTON; return Stroke::Up;
    case WM_MBUTTONDOWN:
    case WM_MBUTTONDBLCLK: virtualKey = VK_MBUTTON; return Stroke::Down;
    case WM_MBUTTONUP: virtualKey = VK_MBUTTON; return Stroke::Up;
    case WM_XBUTTONDOWN:
    case WM_XBUTTONDBLCLK: virtualKey = xButton; return Stroke::Down;
    case WM_XBUTTONUP: virtualKey = xButton; return Stroke::Up;
    default: return Stroke::None;
    }
}

void HeldKeys::set(int virtualKey, bool held) noexcept
{
    if (virtualKey < 0 || virtualKey > 255)
        return;
    const std::uint64_t bit = std::uint64_t(1) << (virtualKey % 64);
    if (held)
        bits_[virtualKey / 64].fetch_or(bit);
    else
        bits_[virtualKey / 64].fetch_and(~bit);
}

bool HeldKeys::test(int virtualKey) const noexcept
{
    switch (virtualKey) {
    case VK_LSHIFT:
    case VK_RSHIFT: virtualKey = VK_SHIFT; break;
    case VK_LCONTROL:
    case VK_RCONTROL: virtualKey = VK_CONTROL; break;
    case VK_LMENU:
    case VK_RMENU: virtualKey = VK_MENU; break;
    default: break;
    }
    if (virtualKey < 0 || virtualKey > 255)
        return false;
    return (bits_[virtualKey / 64].load(std::memory_order_relaxed) >> (virtualKey % 64)) & 1;
}

bool HeldKeys::any() const noexcept
{
    for (const auto& word : bits_)
        if (word.load(std::memory_order_relaxed) != 0)
            return true;
    return false;
}

void HeldKeys::clear() noexcept
{
    for (auto& word : bits_)
        word.store(0);
}

HeldKeys& overlayHeldKeys() noexcept
{
    static HeldKeys keys;
    return keys;
}

HeldKeys& gameHeldKeys() noexcept
{
    static HeldKeys keys;
    return keys;
}

bool releasesHeldPress(const RAWINPUT& input, const HeldKeys& held) noexcept
{
    if (input.header.dwType == RIM_TYPEKEYBOARD)
        return (input.data.keyboard.Flags & RI_KEY_BREAK) != 0 && held.test(input.data.keyboard.VKey);
    if (input.header.dwType != RIM_TYPEMOUSE)
        return false;
    const USHORT flags = input.data.mouse.usButtonFlags;
    const std::pair<USHORT, int> ups[] = {{RI_MOUSE_LEFT_BUTTON_UP, VK_LBUTTON},
                                          {RI_MOUSE_RIGHT_BUTTON_UP, VK_RBUTTON},
                                          {RI_MOUSE_MIDDLE_BUTTON_UP, VK_MBUTTON},
                                          {RI_MOUSE_BUTTON_4_UP, VK_XBUTTON1},
                                          {RI_MOUSE_BUTTON_5_UP, VK_XBUTTON2}};
    for (const auto& [flag, key] : ups)
        if ((flags & flag) != 0 && held.test(key))
            return true;
    return false;
}

void PressOwnership::setOwner(int virtualKey, std::uint8_t owner) noexcept
{
    owners_[virtualKey] = owner;
    if (overlayHeld_)
        overlayHeld_->set(virtualKey, owner != 0 && InputSide(owner - 1) != InputSide::Game);
    if (gameHeld_)
        gameHeld_->set(virtualKey, owner != 0 && InputSide(owner - 1) == InputSide::Game);
}

std::optional<InputSide> PressOwnership::route(UINT message, WPARAM wParam, LPARAM lParam, bool captured) noexcept
{
    const InputSide current = captured ? InputSide::Overlay : InputSide::Game;
    int key = 0;
    switch (strokeOf(message, wParam, key)) {
    case Stroke::Down: {
        // A repeat stays with its press. A first press (a key that was up, any button press) is
        // new, also after an up that went to another window.
        const bool keyboard = message == WM_KEYDOWN || message == WM_SYSKEYDOWN;
        const bool repeat = keyboard && (lParam & (1 << 30)) != 0;
        if (!repeat || owners_[key] == 0)
            setOwner(key, std::uint8_t(1 + int(current)));
        if (keyboard)
            characters_ = InputSide(owners_[key] - 1);
        return InputSide(owners_[key] - 1);
    }
    case Stroke::Up: {
        // A press made before we watched went to the game.
        const InputSide owner = owners_[key] == 0 ? InputSide::Game : InputSide(owners_[key] - 1);
        setOwner(key, 0);
        return owner;
    }
    case Stroke::Character: return characters_;
    case Stroke::None: break;
    }
    return std::nullopt;
}

void PressOwnership::assign(UINT message, WPARAM wParam, InputSide side) noexcept
{
    int key = 0;
    if (strokeOf(message, wParam, key) == Stroke::Down) {
        setOwner(key, std::uint8_t(1 + int(side)));
        if (message == WM_KEYDOWN || message == WM_SYSKEYDOWN)
            characters_ = side;
    }
}

}  // namespace Overlay
