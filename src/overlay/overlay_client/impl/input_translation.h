#pragma once
// Window messages into the host's input events. Everything the translation reads from the system
// (key states, the double-click metrics, message times) comes in as arguments, so that every rule
// can be exercised without a window; the window hook passes the real values.

#include <windows.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>

#include "overlay/overlay_common/ipc/overlay_ipc_types.h"

namespace Overlay {

// GetKeyState, or a stand-in: the high bit means down, the low bit toggled on.
using KeyStateReader = SHORT (*)(int virtualKey);

bool isKeyMessage(UINT message) noexcept;
// Mouse messages translated into events.
bool isTranslatedMouseMessage(UINT message) noexcept;
// Mouse and non-client messages swallowed under capture without an event.
bool isSwallowedMouseMessage(UINT message) noexcept;

// The event of a keyboard message (WM_KEYDOWN to WM_SYSCHAR); the key state is read at translation.
Ipc::Stub::KeyEvent translateKey(UINT message, WPARAM wParam, LPARAM lParam, KeyStateReader keyState);
std::int32_t keyModifiers(WPARAM wParam, LPARAM lParam, KeyStateReader keyState);
// Modifiers of a mouse message: buttons, Shift and Control from wParam, Alt and the locks from the
// key state.
std::int32_t mouseModifiers(WPARAM wParam, KeyStateReader keyState);

// The signed client point packed in lParam.
POINT pointFromLParam(LPARAM lParam) noexcept;
Ipc::Stub::MouseEvent mouseEvent(POINT point, std::int32_t modifiers);
// MBT_LEFT, MBT_MIDDLE or MBT_RIGHT for a button message.
std::int32_t buttonOf(UINT message) noexcept;
bool isButtonDown(UINT message) noexcept;
bool isButtonUp(UINT message) noexcept;
// Vertical wheel delta, sideways while Shift is down.
Ipc::Stub::MouseWheelEvent wheelEvent(POINT clientPoint, WPARAM wParam, std::int32_t modifiers, bool shiftDown);

// How near (in pixels, each way) and how soon (milliseconds) a click continues a sequence.
struct ClickThresholds
{
    int halfWidth = 0;
    int halfHeight = 0;
    UINT time = 0;

    // The system's double-click metrics, read once per process.
    static const ClickThresholds& system();
};

// Counts clicks of one button in one place: 1, 2, 3, then 1 again.
class ClickSequence
{
public:
    explicit ClickSequence(const ClickThresholds& thresholds) noexcept : thresholds_(thresholds) {}

    // A move or leave away from the last click (in place or time) ends the sequence.
    void onMoveOrLeave(POINT point, DWORD time) noexcept;
    // A button press; returns its click count.
    std::int32_t onButtonDown(UINT message, POINT point, DWORD time) noexcept;
    std::int32_t clickCount() const noexcept { return clickCount_; }

private:
    bool isNear(POINT point, DWORD time) const noexcept;

    ClickThresholds thresholds_;
    int lastX_ = 0;
    int lastY_ = 0;
    DWORD lastTime_ = 0;
    UINT lastMessage_ = 0;
    std::int32_t clickCount_ = 1;
};

// Which side receives the messages of one key or mouse-button press.
enum class InputSide : std::uint8_t {
    Game,
    Overlay,
    Dropped,  // taken by the overlay for itself (a hotkey): neither the game nor the host sees it
};

// The virtual keys (mouse buttons included) whose presses the overlay holds, readable from any
// thread: the game's polled key state reports them as up.
class HeldKeys
{
public:
    void set(int virtualKey, bool held) noexcept;
    // VK_LSHIFT and VK_RSHIFT read VK_SHIFT (key messages carry the generic key), and so on.
    bool test(int virtualKey) const noexcept;
    bool any() const noexcept;
    void clear() noexcept;

private:
    std::array<std::atomic<std::uint64_t>, 4> bits_{};
};

// The process's: published by the window hook, read by the hooks on the other input channels. The
// overlay's presses are hidden from the game's polled state; the game's own presses keep their
// releases while the overlay is shown.
HeldKeys& overlayHeldKeys() noexcept;
HeldKeys& gameHeldKeys() noexcept;

// True when a raw input record releases a key or mouse button that `held` holds: such a release
// goes to the game while the overlay is shown, so that no key stays pressed for it.
bool releasesHeldPress(const RAWINPUT& input, const HeldKeys& held) noexcept;

// Each key and mouse-button press belongs to the side that received its down message: the game while
// input is not captured, the overlay while it is. Its auto-repeats, characters and up go to the same
// side whatever the capture when they arrive, so a key held when the overlay appears is released
// for the game, and the key that closes the overlay never reaches the game as a lone key-up.
class PressOwnership
{
public:
    // Publishes (when given) the keys whose presses are not the game's, and those that are.
    explicit PressOwnership(HeldKeys* overlayHeld = nullptr, HeldKeys* gameHeld = nullptr) noexcept
        : overlayHeld_(overlayHeld), gameHeld_(gameHeld)
    {
    }

    // The side of a keyboard message (WM_KEYDOWN to WM_SYSCHAR) or a mouse-button message (down,
    // up, double click; X buttons too) while input is `captured` or not; none for other messages.
    std::optional<InputSide> route(UINT message, WPARAM wParam, LPARAM lParam, bool captured) noexcept;
    // Routes the down message to `side` (a hotkey's: Dropped), with its press.
    void assign(UINT message, WPARAM wParam, InputSide side) noexcept;

    // The virtual key a message presses or releases (0 for a character message) and which it does.
    enum class Stroke { Down, Up, Character, None };
    static Stroke strokeOf(UINT message, WPARAM wParam, int& virtualKey) noexcept;

private:
    void setOwner(int virtualKey, std::uint8_t owner) noexcept;

    HeldKeys* overlayHeld_;
    HeldKeys* gameHeld_;
    // 0 while the key is up; else 1 + the owner's InputSide.
    std::array<std::uint8_t, 256> owners_{};
    // Characters come from translating the last key down.
    InputSide characters_ = InputSide::Game;
};

}  // namespace Overlay
