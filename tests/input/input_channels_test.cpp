// The game's other input channels while the overlay holds keys or is shown. Under Wine the polled
// key state, raw input and DirectInput follow the thread's message retrieval, and no pad exists, so
// what Windows would answer comes from stand-ins hooked beneath the real functions; the hooks under
// test are attached over them, as over any function.

#include <gtest/gtest.h>

#include <windows.h>

#ifndef DIRECTINPUT_VERSION
#define DIRECTINPUT_VERSION 0x0800
#endif
#include <dinput.h>
#include <xinput.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "log_capture.h"
#include "overlay/overlay_client/impl/input_channels_hook.h"
#include "overlay/overlay_client/impl/input_translation.h"

namespace Overlay {
namespace {

// What the stand-ins report: 'W' and 'Q' down, a pad with A pressed, queued records: raw keyboard
// records (key, released) and DirectInput records (offset, data).
std::deque<std::pair<USHORT, bool>> rawRecords;
int queuedKeystrokes = 0;
std::deque<std::pair<DWORD, DWORD>> deviceRecords;

SHORT WINAPI standInAsyncKeyState(int key)
{
    return key == 'W' || key == 'Q' ? SHORT(0x8001) : SHORT(0);
}

SHORT WINAPI standInKeyState(int key)
{
    return key == 'W' || key == 'Q' ? SHORT(-127) : SHORT(0);  // down and toggled
}

BOOL WINAPI standInKeyboardState(PBYTE keys)
{
    std::memset(keys, 0, 256);
    keys['W'] = keys['Q'] = 0x81;
    return TRUE;
}

UINT WINAPI standInRawInputBuffer(PRAWINPUT data, PUINT size, UINT)
{
    if (!data) {
        *size = sizeof(RAWINPUT);
        return 0;
    }
    UINT count = 0;
    for (; !rawRecords.empty() && (count + 1) * sizeof(RAWINPUT) <= *size; ++count, rawRecords.pop_front()) {
        data[count] = RAWINPUT{};
        data[count].header.dwType = RIM_TYPEKEYBOARD;
        data[count].header.dwSize = sizeof(RAWINPUT);
        data[count].data.keyboard.VKey = rawRecords.front().first;
        data[count].data.keyboard.Flags = rawRecords.front().second ? RI_KEY_BREAK : RI_KEY_MAKE;
    }
    return count;
}

DWORD WINAPI standInGetState(DWORD user, XINPUT_STATE* state)
{
    if (user != 0)
        return ERROR_DEVICE_NOT_CONNECTED;
    state->dwPacketNumber = 7;
    state->Gamepad = XINPUT_GAMEPAD{XINPUT_GAMEPAD_A, 200, 0, 20000, 0, 0, 0};
    return ERROR_SUCCESS;
}

DWORD WINAPI standInGetKeystroke(DWORD, DWORD, XINPUT_KEYSTROKE* keystroke)
{
    if (queuedKeystrokes == 0)
        return ERROR_EMPTY;
    --queuedKeystrokes;
    *keystroke = XINPUT_KEYSTROKE{VK_PAD_A, 0, XINPUT_KEYSTROKE_KEYDOWN, 0, 0};
    return ERROR_SUCCESS;
}

HRESULT STDMETHODCALLTYPE standInDeviceState(IDirectInputDevice8W*, DWORD size, void* data)
{
    std::memset(data, 0x80, size);  // every key and button down, every hat at 0.5 degrees
    return DI_OK;
}

HRESULT STDMETHODCALLTYPE standInDeviceData(IDirectInputDevice8W*, DWORD, DIDEVICEOBJECTDATA* data, DWORD* count, DWORD)
{
    DWORD given = 0;
    for (; data && given < *count && !deviceRecords.empty(); ++given, deviceRecords.pop_front())
        data[given] = DIDEVICEOBJECTDATA{deviceRecords.front().first, deviceRecords.front().second, 1, 0, 0};
    *count = given;
    return DI_OK;
}

class InputChannelsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // The game's input modules, loaded before the hook looks for them.
        const auto load = [](const wchar_t* module, const char* name) {
            return reinterpret_cast<void*>(GetProcAddress(LoadLibraryW(module), name));
        };
        getState_ = reinterpret_cast<decltype(getState_)>(load(L"xinput1_4.dll", "XInputGetState"));
        getKeystroke_ = reinterpret_cast<decltype(getKeystroke_)>(load(L"xinput1_4.dll", "XInputGetKeystroke"));
        const auto create = reinterpret_cast<HRESULT(WINAPI*)(HINSTANCE, DWORD, REFIID, void**, IUnknown*)>(
            load(L"dinput8.dll", "DirectInput8Create"));
        ASSERT_TRUE(getState_ && getKeystroke_ && create);
        ASSERT_TRUE(SUCCEEDED(create(GetModuleHandleW(nullptr), DIRECTINPUT_VERSION, IID_IDirectInput8W,
                                     reinterpret_cast<void**>(&input_), nullptr)));
        ASSERT_TRUE(SUCCEEDED(input_->CreateDevice(GUID_SysKeyboard, &keyboard_, nullptr)));
        void** methods = *reinterpret_cast<void***>(keyboard_);

        const std::pair<void*, void*> standIns[] = {
            {codeAddress(&GetAsyncKeyState), codeAddress(&standInAsyncKeyState)},
            {codeAddress(&GetKeyState), codeAddress(&standInKeyState)},
            {codeAddress(&GetKeyboardState), codeAddress(&standInKeyboardState)},
            {codeAddress(&GetRawInputBuffer), codeAddress(&standInRawInputBuffer)},
            {codeAddress(getState_), codeAddress(&standInGetState)},
            {codeAddress(getKeystroke_), codeAddress(&standInGetKeystroke)},
            {methods[9], codeAddress(&standInDeviceState)},
            {methods[10], codeAddress(&standInDeviceData)}};
        for (const auto& [target, standIn] : standIns)
            beneath_.push_back(makeUniqueHookRecord(target, standIn, "stand-in"));
        hook(list(beneath_));
        ASSERT_TRUE(allHooked(list(beneath_)));

        hook_ = std::make_unique<InputChannelsHook>();
        hook(hook_->getHooks());
        ASSERT_TRUE(allHooked(hook_->getHooks()));
    }
    void TearDown() override
    {
        hook_.reset();  // ours comes off first: it was patched over the stand-ins
        unhook(list(beneath_));
        if (keyboard_)
            keyboard_->Release();
        if (input_)
            input_->Release();
    }

    static HookList list(const std::vector<std::unique_ptr<HookRecord>>& records)
    {
        HookList result;
        for (const auto& record : records)
            result.push_back(record.get());
        return result;
    }

    LogTest::LogCapture log_;
    DWORD(WINAPI* getState_)(DWORD, XINPUT_STATE*) = nullptr;
    DWORD(WINAPI* getKeystroke_)(DWORD, DWORD, XINPUT_KEYSTROKE*) = nullptr;
    IDirectInput8W* input_ = nullptr;
    IDirectInputDevice8W* keyboard_ = nullptr;
    std::vector<std::unique_ptr<HookRecord>> beneath_;
    std::unique_ptr<InputChannelsHook> hook_;
};

// A key the overlay holds reads as up through every polled call, shown or not; the others do not.
TEST_F(InputChannelsTest, PolledStateHidesTheOverlaysPresses)
{
    PressOwnership presses(&overlayHeldKeys(), &gameHeldKeys());
    presses.route(WM_KEYDOWN, 'W', 0, true);
    BYTE keys[256];
    EXPECT_EQ(GetAsyncKeyState('W'), 0);
    EXPECT_EQ(GetKeyState('W'), 1);  // still toggled
    ASSERT_TRUE(GetKeyboardState(keys));
    EXPECT_EQ(keys['W'], 0x01);
    EXPECT_NE(GetAsyncKeyState('Q'), 0);
    EXPECT_EQ(keys['Q'], 0x81);
    // The overlay's own reads see the system's state.
    EXPECT_NE(InputChannelsHook::systemKeyState('W') & 0x8000, 0);

    presses.route(WM_KEYUP, 'W', 0, false);  // released after the hide: still the overlay's
    EXPECT_NE(GetAsyncKeyState('W'), 0);
    ASSERT_TRUE(GetKeyboardState(keys));
    EXPECT_EQ(keys['W'], 0x81);
}

// While shown: pads neutral but connected, no keystrokes, DirectInput at rest, and of the raw input
// and DirectInput records only the releases of the game's own presses. Hidden, all passes through.
TEST_F(InputChannelsTest, ShownChannelsAreStillButReleaseTheGamesPresses)
{
    // The game pressed W before the show: through messages (raw input follows them) and a record.
    PressOwnership presses(&overlayHeldKeys(), &gameHeldKeys());
    presses.route(WM_KEYDOWN, 'W', 0, false);
    DIDEVICEOBJECTDATA records[8];
    DWORD count = 8;
    deviceRecords = {{DIK_W, 0x80}};
    ASSERT_EQ(keyboard_->GetDeviceData(sizeof records[0], records, &count, 0), DI_OK);
    ASSERT_EQ(count, 1u);

    hook_->setShown(true);
    queuedKeystrokes = 3;
    rawRecords = {{'A', false}, {'W', true}, {'A', true}};
    deviceRecords = {{DIK_A, 0x80}, {DIK_W, 0}, {DIK_A, 0}};
    XINPUT_STATE pad{};
    EXPECT_EQ(getState_(0, &pad), DWORD(ERROR_SUCCESS));
    EXPECT_EQ(pad.dwPacketNumber, 7u);
    EXPECT_EQ(pad.Gamepad.wButtons | pad.Gamepad.bLeftTrigger | pad.Gamepad.sThumbLX, 0);
    EXPECT_EQ(getState_(1, &pad), DWORD(ERROR_DEVICE_NOT_CONNECTED));
    XINPUT_KEYSTROKE keystroke{};
    EXPECT_EQ(getKeystroke_(0, 0, &keystroke), DWORD(ERROR_EMPTY));
    RAWINPUT raw[4];
    UINT size = sizeof raw;
    ASSERT_EQ(GetRawInputBuffer(raw, &size, sizeof(RAWINPUTHEADER)), 1u);
    EXPECT_EQ(raw[0].data.keyboard.VKey, 'W');
    BYTE keys[256];
    ASSERT_EQ(keyboard_->GetDeviceState(sizeof keys, keys), DI_OK);
    EXPECT_EQ(std::count(std::begin(keys), std::end(keys), 0), 256);
    DIJOYSTATE joystick{};
    ASSERT_EQ(keyboard_->GetDeviceState(sizeof joystick, &joystick), DI_OK);
    EXPECT_EQ(joystick.rgbButtons[0], 0);
    EXPECT_EQ(joystick.rgdwPOV[0], 0xFFFFFFFFu);
    count = 8;
    ASSERT_EQ(keyboard_->GetDeviceData(sizeof records[0], records, &count, 0), DI_OK);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(records[0].dwOfs, DWORD(DIK_W));
    // Nothing withheld comes back as a burst after the hide.
    EXPECT_TRUE(queuedKeystrokes == 0 && rawRecords.empty() && deviceRecords.empty());

    hook_->setShown(false);
    queuedKeystrokes = 1;
    rawRecords = {{'A', false}};
    deviceRecords = {{DIK_A, 0x80}};
    EXPECT_EQ(getState_(0, &pad), DWORD(ERROR_SUCCESS));
    EXPECT_EQ(pad.Gamepad.wButtons, XINPUT_GAMEPAD_A);
    EXPECT_EQ(getKeystroke_(0, 0, &keystroke), DWORD(ERROR_SUCCESS));
    size = sizeof raw;
    EXPECT_EQ(GetRawInputBuffer(raw, &size, sizeof(RAWINPUTHEADER)), 1u);
    ASSERT_EQ(keyboard_->GetDeviceState(sizeof keys, keys), DI_OK);
    EXPECT_EQ(keys[DIK_W], 0x80);
    count = 8;
    ASSERT_EQ(keyboard_->GetDeviceData(sizeof records[0], records, &count, 0), DI_OK);
    EXPECT_EQ(count, 1u);
    presses.route(WM_KEYUP, 'W', 0, false);
}

}  // namespace
}  // namespace Overlay
