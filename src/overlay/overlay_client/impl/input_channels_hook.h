#pragma once
// Keeps the game's other ways of reading input still while the overlay is shown; the window hook
// takes care of the window messages.
//
//  - Polled key state (GetAsyncKeyState, GetKeyState, GetKeyboardState): keys and buttons whose
//    presses the overlay holds read as up, shown or not (see PressOwnership).
//  - Raw input read in bulk (GetRawInputBuffer): while shown the queue is drained and no record is
//    returned. (Raw input messages are kept from the game by the window hook.)
//  - XInput (xinput1_4, xinput1_3, xinput9_1_0, with the unnamed ordinal 100): connected pads read
//    as neutral, never as disconnected, and no keystrokes while shown.
//  - DirectInput 8 devices (GetDeviceState, GetDeviceData): the neutral state and no buffered
//    records while shown; what was buffered meanwhile is dropped.
//
// None of these is needed for the overlay to run: a record that fails to attach is logged, and
// with the overlay hidden every replacement forwards after one flag check.

#include <windows.h>

#include <array>
#include <atomic>
#include <memory>

#include "overlay/overlay_client/impl/hook_utils/hook_utils.h"
#include "overlay/overlay_client/impl/single_instance.h"

namespace Overlay {

OVERLAY_SINGLE_INSTANCE_NAME(InputChannelsHook);

class InputChannelsHook : private SingleInstance<InputChannelsHook>
{
public:
    // The records for user32's functions, and for XInput and DirectInput 8 when the game has
    // loaded them. Attaching is the caller's job.
    InputChannelsHook();
    // Detaches the records.
    ~InputChannelsHook();
    InputChannelsHook(const InputChannelsHook&) = delete;
    InputChannelsHook& operator=(const InputChannelsHook&) = delete;

    HookList getHooks();
    // The records for XInput and DirectInput modules the game has loaded since: to attach. Runs on
    // a thread that holds no loader lock (DirectInput's methods are found on a device made here).
    HookList findNewModules();

    void setShown(bool shown) noexcept;
    bool isShown() const noexcept;

    // The key state as the system has it, for the overlay's own reads.
    static SHORT systemKeyState(int virtualKey) noexcept;
    // All 256 keys at once, as GetKeyboardState gives them; false when they cannot be read.
    static bool systemKeyboardState(BYTE* keys) noexcept;

    enum Slot {
        AsyncKeyState,
        KeyState,
        KeyboardState,
        RawInputBuffer,
        XInputState,                      // three slots each: xinput1_4, xinput1_3, xinput9_1_0
        XInputStateEx = XInputState + 3,  // ordinal 100
        XInputKeystroke = XInputStateEx + 3,
        DeviceState = XInputKeystroke + 3,  // three slots each: distinct methods found
        DeviceData = DeviceState + 3,
        SlotCount = DeviceData + 3
    };

private:
    friend struct InputChannelReplacements;

    void add(Slot slot, void* target, void* replacement, const char* name, HookList& added);

    std::array<std::unique_ptr<HookRecord>, SlotCount> records_;
    std::atomic<bool> shown_{false};
    std::array<bool, 3> xinputFound_{};
    bool directInputFound_ = false;
};

}  // namespace Overlay
