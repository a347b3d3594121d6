// The translation rules without a window: key state, metrics and times are the test's.

#include <gtest/gtest.h>

#include <windows.h>

#include <set>
#include <vector>

#include "overlay/overlay_client/impl/input_translation.h"

namespace Overlay {
namespace {

using Flags = Ipc::Stub::EventFlags;

std::set<int> downKeys;
std::set<int> toggledKeys;

SHORT fakeKeyState(int virtualKey)
{
    return static_cast<SHORT>((downKeys.count(virtualKey) ? 0x8000 : 0) | (toggledKeys.count(virtualKey) ? 1 : 0));
}

constexpr LPARAM extended = 1 << 24;

TEST(InputTranslationTest, KeyMessagesGiveTheirTypeCodesAndModifiers)
{
    struct Row
    {
        UINT message;
        WPARAM key;
        std::uint32_t lParam;  // as the message carries it in its low 32 bits
        std::set<int> down;
        std::set<int> toggled;
        std::int32_t type;
        std::int32_t modifiers;
        bool system = false;
    };
    const std::int32_t raw = 0, up = 2, character = 3;
    const std::int32_t shift = Flags::EVENTFLAG_SHIFT_DOWN, ctrl = Flags::EVENTFLAG_CONTROL_DOWN,
                       alt = Flags::EVENTFLAG_ALT_DOWN, numLock = Flags::EVENTFLAG_NUM_LOCK_ON,
                       capsLock = Flags::EVENTFLAG_CAPS_LOCK_ON, keyPad = Flags::EVENTFLAG_IS_KEY_PAD,
                       left = Flags::EVENTFLAG_IS_LEFT, right = Flags::EVENTFLAG_IS_RIGHT;
    const std::vector<Row> rows = {
        {WM_KEYDOWN, 'A', 0x1E0001, {}, {}, raw, 0, false},
        {WM_KEYUP, 'A', 0xC01E0001, {}, {}, up, 0, false},
        {WM_SYSKEYDOWN, 'A', 0x201E0001, {VK_MENU}, {}, raw, alt, true},
        {WM_CHAR, 'a', 0x1E0001, {}, {}, character, 0, false},
        {WM_SYSCHAR, 'a', 0x201E0001, {}, {}, character, 0, true},
        // The state of the modifier keys and the locks, for every message kind.
        {WM_KEYDOWN, 'B', 0, {VK_SHIFT, VK_CONTROL}, {VK_NUMLOCK, VK_CAPITAL}, raw, shift | ctrl | numLock | capsLock},
        {WM_CHAR, 'B', 0, {VK_SHIFT}, {VK_CAPITAL}, character, shift | capsLock, false},
        // A character is not a key: 'a' (0x61, VK_NUMPAD1 as a key) carries no key-pad flag.
        {WM_CHAR, 0x61, 0, {}, {}, character, 0, false},
        // Key location: the key pad's keys, Enter and the navigation keys by their extended bit.
        {WM_KEYDOWN, VK_NUMPAD5, 0, {}, {}, raw, keyPad, false},
        {WM_KEYDOWN, VK_DIVIDE, extended, {}, {}, raw, keyPad, false},
        {WM_KEYDOWN, VK_SEPARATOR, 0, {}, {}, raw, 0, false},
        {WM_KEYDOWN, VK_RETURN, extended, {}, {}, raw, keyPad, false},
        {WM_KEYDOWN, VK_HOME, 0, {}, {}, raw, keyPad, false},
        {WM_KEYDOWN, VK_HOME, extended, {}, {}, raw, 0, false},
        {WM_KEYDOWN, VK_SHIFT, 0, {VK_SHIFT, VK_LSHIFT}, {}, raw, shift | left, false},
        {WM_KEYDOWN, VK_SHIFT, 0, {VK_SHIFT, VK_RSHIFT}, {}, raw, shift | right, false},
        {WM_KEYDOWN, VK_CONTROL, extended, {VK_CONTROL, VK_LCONTROL, VK_RCONTROL}, {}, raw, ctrl | left, false},
        {WM_SYSKEYDOWN, VK_MENU, extended, {VK_MENU, VK_RMENU}, {}, raw, alt | right, true},
        {WM_KEYDOWN, VK_LWIN, extended, {}, {}, raw, left, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::Message() << "message 0x" << std::hex << row.message << " key 0x" << row.key);
        downKeys = row.down;
        toggledKeys = row.toggled;
        const Ipc::Stub::KeyEvent event = translateKey(row.message, row.key, LPARAM(row.lParam), &fakeKeyState);
        EXPECT_EQ(event.type, row.type);
        EXPECT_EQ(event.modifiers, row.modifiers);
        EXPECT_EQ(event.windowsKeyCode, static_cast<std::int32_t>(row.key));
        EXPECT_EQ(event.nativeKeyCode, static_cast<std::int32_t>(row.lParam));
        EXPECT_EQ(event.isSystemKey, row.system);
        EXPECT_EQ(event.character, 0);
        EXPECT_EQ(event.unmodifiedCharacter, 0);
    }
}

TEST(InputTranslationTest, MouseModifiersPointsAndWheel)
{
    downKeys = {VK_MENU, VK_SHIFT};
    toggledKeys = {VK_NUMLOCK};
    EXPECT_EQ(mouseModifiers(MK_LBUTTON | MK_RBUTTON | MK_MBUTTON | MK_SHIFT | MK_CONTROL, &fakeKeyState),
              Flags::EVENTFLAG_LEFT_MOUSE_BUTTON | Flags::EVENTFLAG_RIGHT_MOUSE_BUTTON |
                  Flags::EVENTFLAG_MIDDLE_MOUSE_BUTTON | Flags::EVENTFLAG_SHIFT_DOWN | Flags::EVENTFLAG_CONTROL_DOWN |
                  Flags::EVENTFLAG_ALT_DOWN | Flags::EVENTFLAG_NUM_LOCK_ON);
    downKeys = {};
    toggledKeys = {VK_CAPITAL};
    EXPECT_EQ(mouseModifiers(0, &fakeKeyState), Flags::EVENTFLAG_CAPS_LOCK_ON);

    // Points left of and above the client area are negative.
    const POINT point = pointFromLParam(MAKELPARAM(-5, 70));
    EXPECT_EQ(point.x, -5);
    EXPECT_EQ(point.y, 70);

    for (bool shift : {false, true}) {
        const Ipc::Stub::MouseWheelEvent event = wheelEvent({3, 4}, MAKEWPARAM(MK_SHIFT, -120), 2, shift);
        EXPECT_EQ(event.deltaX, shift ? -120 : 0);
        EXPECT_EQ(event.deltaY, shift ? 0 : -120);
        EXPECT_EQ(event.base.point.x, 3);
        EXPECT_EQ(event.base.modifiers, 2);
    }
}

TEST(InputTranslationTest, ClickSequenceCountsWithinDistanceAndTime)
{
    // Double-click area 4 x 6 pixels, 500 ms.
    const ClickThresholds thresholds{2, 3, 500};
    struct Step
    {
        UINT message;  // a button down, or WM_MOUSEMOVE
        POINT point;
        DWORD time;
        std::int32_t count;  // after the step
    };
    const std::vector<std::vector<Step>> sequences = {
        // 1, 2, 3, then 1 again; moves near the click keep the sequence.
        {{WM_LBUTTONDOWN, {100, 100}, 1000, 1},
         {WM_MOUSEMOVE, {102, 103}, 1100, 1},
         {WM_LBUTTONDOWN, {102, 103}, 1200, 2},
         {WM_LBUTTONDOWN, {101, 97}, 1700, 3},
         {WM_LBUTTONDOWN, {100, 100}, 1800, 1},
         {WM_LBUTTONDOWN, {100, 100}, 1900, 2}},
        // Too far, too late, or a move away end the sequence.
        {{WM_LBUTTONDOWN, {100, 100}, 1000, 1}, {WM_LBUTTONDOWN, {103, 100}, 1100, 1}},
        {{WM_LBUTTONDOWN, {100, 100}, 1000, 1}, {WM_LBUTTONDOWN, {100, 104}, 1100, 1}},
        {{WM_LBUTTONDOWN, {100, 100}, 1000, 1}, {WM_LBUTTONDOWN, {100, 100}, 1501, 1}},
        {{WM_LBUTTONDOWN, {100, 100}, 1000, 1},
         {WM_MOUSEMOVE, {110, 100}, 1100, 1},
         {WM_LBUTTONDOWN, {100, 100}, 1200, 1}},
        // Another button starts again.
        {{WM_LBUTTONDOWN, {100, 100}, 1000, 1},
         {WM_RBUTTONDOWN, {100, 100}, 1100, 1},
         {WM_RBUTTONDOWN, {100, 100}, 1200, 2}},
        // Message times wrap around.
        {{WM_MBUTTONDOWN, {7, 7}, 0xFFFFFF00, 1}, {WM_MBUTTONDOWN, {7, 7}, 0x00000010, 2}},
    };
    for (std::size_t index = 0; index < sequences.size(); ++index) {
        ClickSequence clicks(thresholds);
        for (const Step& step : sequences[index]) {
            SCOPED_TRACE(::testing::Message() << "sequence " << index << " time " << step.time);
            if (step.message == WM_MOUSEMOVE)
                clicks.onMoveOrLeave(step.point, step.time);
            else
                EXPECT_EQ(clicks.onButtonDown(step.message, step.point, step.time), step.count);
            EXPECT_EQ(clicks.clickCount(), step.count);
        }
    }
}

}  // namespace
}  // namespace Overlay
