#include "input_channels.h"

#ifndef DIRECTINPUT_VERSION
#define DIRECTINPUT_VERSION 0x0800
#endif
#include <dinput.h>
#include <wrl/client.h>
#include <xinput.h>

#include <cstddef>
#include <map>
#include <set>

namespace DemoCommon {
namespace {

using Microsoft::WRL::ComPtr;

enum ChannelId {
    Message,
    Raw,
    RawBuffer,
    Async,
    KeyState,
    KeyboardState,
    DiKeyboard,
    DiKeyboardBuffer,
    DiMouse,
    DiMouseBuffer,
    XInput,
    ChannelCount
};

const char* const channelNames[ChannelCount] = {"message",  "raw",           "rawbuffer",  "async",
                                                "keystate", "keyboardstate", "dikeyboard", "dikeyboardbuffer",
                                                "dimouse",  "dimousebuffer", "xinput"};

const unsigned mouseButtons[] = {VK_LBUTTON, VK_RBUTTON, VK_MBUTTON, VK_XBUTTON1, VK_XBUTTON2};

// XInput's button bits in order, as the virtual keys XInputGetKeystroke names them (0: no button).
const unsigned padKeys[16] = {VK_PAD_DPAD_UP,
                              VK_PAD_DPAD_DOWN,
                              VK_PAD_DPAD_LEFT,
                              VK_PAD_DPAD_RIGHT,
                              VK_PAD_START,
                              VK_PAD_BACK,
                              VK_PAD_LTHUMB_PRESS,
                              VK_PAD_RTHUMB_PRESS,
                              VK_PAD_LSHOULDER,
                              VK_PAD_RSHOULDER,
                              0,
                              0,
                              VK_PAD_A,
                              VK_PAD_B,
                              VK_PAD_X,
                              VK_PAD_Y};

struct Channel
{
    uint64_t presses = 0;
    // What the channel reads (a virtual key, a DirectInput key, a pad button) -> its virtual key.
    std::map<unsigned, unsigned> held;
    // Replaces the counts: "unavailable", "disconnected".
    const char* status = nullptr;

    // A press is the key going from up to down as this channel sees it.
    void set(unsigned key, unsigned vk, bool down)
    {
        if (!down) {
            held.erase(key);
        } else if (held.emplace(key, vk).second) {
            ++presses;
        }
    }
    void set(unsigned vk, bool down) { set(vk, vk, down); }
};

// The keys the polled channels look at.
template <class Visit>
void forPolledKeys(Visit visit)
{
    for (unsigned vk = 'A'; vk <= 'Z'; ++vk) {
        visit(vk);
    }
    for (const unsigned vk : {VK_SPACE, VK_ESCAPE, VK_SHIFT, VK_CONTROL, VK_MENU, VK_LBUTTON, VK_RBUTTON, VK_MBUTTON}) {
        visit(vk);
    }
}

void applyRaw(Channel& channel, const RAWINPUT& input)
{
    if (input.header.dwType == RIM_TYPEKEYBOARD) {
        const RAWKEYBOARD& keyboard = input.data.keyboard;
        // 0xFF marks the extra records of escaped scan codes.
        if (keyboard.VKey != 0 && keyboard.VKey < 0xFF) {
            channel.set(keyboard.VKey, (keyboard.Flags & RI_KEY_BREAK) == 0);
        }
    } else if (input.header.dwType == RIM_TYPEMOUSE) {
        // Each button has a down bit and the up bit above it.
        const unsigned flags = input.data.mouse.usButtonFlags;
        for (unsigned i = 0; i < 5; ++i) {
            if (flags & (1u << (2 * i))) {
                channel.set(mouseButtons[i], true);
            }
            if (flags & (2u << (2 * i))) {
                channel.set(mouseButtons[i], false);
            }
        }
    }
}

// NEXTRAWINPUTBLOCK, whose QWORD MinGW does not define: records start on pointer-size boundaries.
RAWINPUT* nextRecord(RAWINPUT* record)
{
    const ULONG_PTR end = reinterpret_cast<ULONG_PTR>(record) + record->header.dwSize;
    return reinterpret_cast<RAWINPUT*>((end + sizeof(ULONG_PTR) - 1) & ~(sizeof(ULONG_PTR) - 1));
}

template <class Function>
Function moduleFunction(HMODULE module, const char* name)
{
    return module ? reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
}

// A lost device is acquired again and read from the next frame on.
bool readable(IDirectInputDevice8W* device, HRESULT hr)
{
    if (hr == DIERR_INPUTLOST || hr == DIERR_NOTACQUIRED) {
        device->Acquire();
    }
    return SUCCEEDED(hr);
}

}  // namespace

struct InputChannels::State
{
    Channel channels[ChannelCount];
    HWND window = nullptr;
    bool rawRegistered = false;
    HMODULE dinput = nullptr;
    ComPtr<IDirectInput8W> directInput;
    ComPtr<IDirectInputDevice8W> devices[4];  // DiKeyboard .. DiMouseBuffer
    unsigned dikToVk[256] = {};
    HMODULE xinput = nullptr;
    DWORD(WINAPI* xinputGetState)(DWORD, XINPUT_STATE*) = nullptr;

    ComPtr<IDirectInputDevice8W> openDevice(REFGUID guid, const DIDATAFORMAT& format, bool buffered) const
    {
        ComPtr<IDirectInputDevice8W> device;
        DIPROPDWORD size = {};
        size.diph.dwSize = sizeof size;
        size.diph.dwHeaderSize = sizeof size.diph;
        size.diph.dwHow = DIPH_DEVICE;
        size.dwData = 64;
        if (!directInput || FAILED(directInput->CreateDevice(guid, &device, nullptr)) ||
            FAILED(device->SetDataFormat(&format)) ||
            FAILED(device->SetCooperativeLevel(window, DISCL_NONEXCLUSIVE | DISCL_BACKGROUND)) ||
            (buffered && FAILED(device->SetProperty(DIPROP_BUFFERSIZE, &size.diph)))) {
            return nullptr;
        }
        device->Acquire();
        return device;
    }

    void readDirectInput(ChannelId id)
    {
        IDirectInputDevice8W* device = devices[id - DiKeyboard].Get();
        Channel& channel = channels[id];
        if (id == DiKeyboard) {
            BYTE keys[256];
            if (readable(device, device->GetDeviceState(sizeof keys, keys))) {
                for (unsigned dik = 0; dik < 256; ++dik) {
                    channel.set(dik, dikToVk[dik], (keys[dik] & 0x80) != 0);
                }
            }
        } else if (id == DiMouse) {
            DIMOUSESTATE2 mouse;
            if (readable(device, device->GetDeviceState(sizeof mouse, &mouse))) {
                for (unsigned i = 0; i < 5; ++i) {
                    channel.set(i, mouseButtons[i], (mouse.rgbButtons[i] & 0x80) != 0);
                }
            }
        } else {
            const DWORD firstButton = static_cast<DWORD>(offsetof(DIMOUSESTATE2, rgbButtons));
            DIDEVICEOBJECTDATA events[64];
            DWORD count = 64;
            while (readable(device, device->GetDeviceData(sizeof events[0], events, &count, 0)) && count != 0) {
                for (DWORD i = 0; i < count; ++i) {
                    const DWORD key = events[i].dwOfs;
                    const bool down = (events[i].dwData & 0x80) != 0;
                    if (id == DiKeyboardBuffer && key < 256) {
                        channel.set(key, dikToVk[key], down);
                    } else if (id == DiMouseBuffer && key >= firstButton && key < firstButton + 5) {
                        channel.set(key, mouseButtons[key - firstButton], down);
                    }
                }
                count = 64;
            }
        }
    }

    void readXInput()
    {
        Channel& channel = channels[XInput];
        bool connected = false;
        for (DWORD user = 0; user < 4; ++user) {
            // A pad that is not there reads as released.
            XINPUT_STATE state = {};
            connected = xinputGetState(user, &state) == ERROR_SUCCESS || connected;
            const XINPUT_GAMEPAD& pad = state.Gamepad;
            for (unsigned bit = 0; bit < 16; ++bit) {
                if (padKeys[bit] != 0) {
                    channel.set(user * 32 + bit, padKeys[bit], (pad.wButtons & (1u << bit)) != 0);
                }
            }
            channel.set(user * 32 + 16, VK_PAD_LTRIGGER, pad.bLeftTrigger > XINPUT_GAMEPAD_TRIGGER_THRESHOLD);
            channel.set(user * 32 + 17, VK_PAD_RTRIGGER, pad.bRightTrigger > XINPUT_GAMEPAD_TRIGGER_THRESHOLD);
        }
        channel.status = connected ? nullptr : "disconnected";
    }
};

InputChannels::InputChannels(HWND window) : state_(new State)
{
    State& s = *state_;
    s.window = window;
    // Keyboard and mouse to the game's window, legacy messages kept.
    const RAWINPUTDEVICE raw[] = {{0x01, 0x06, 0, window}, {0x01, 0x02, 0, window}};
    s.rawRegistered = RegisterRawInputDevices(raw, 2, sizeof raw[0]) != FALSE;
    if (!s.rawRegistered) {
        s.channels[Raw].status = s.channels[RawBuffer].status = "unavailable";
    }

    // Loaded at run time, as games that take DirectInput as optional do: no import beyond the system's.
    s.dinput = LoadLibraryW(L"dinput8.dll");
    using Create = HRESULT(WINAPI*)(HINSTANCE, DWORD, REFIID, void**, IUnknown*);
    const auto create = moduleFunction<Create>(s.dinput, "DirectInput8Create");
    if (create) {
        create(GetModuleHandleW(nullptr), DIRECTINPUT_VERSION, IID_IDirectInput8W,
               reinterpret_cast<void**>(s.directInput.GetAddressOf()), nullptr);
    }
    s.devices[0] = s.openDevice(GUID_SysKeyboard, c_dfDIKeyboard, false);
    s.devices[1] = s.openDevice(GUID_SysKeyboard, c_dfDIKeyboard, true);
    s.devices[2] = s.openDevice(GUID_SysMouse, c_dfDIMouse2, false);
    s.devices[3] = s.openDevice(GUID_SysMouse, c_dfDIMouse2, true);
    for (int i = 0; i < 4; ++i) {
        if (!s.devices[i]) {
            s.channels[DiKeyboard + i].status = "unavailable";
        }
    }
    // DirectInput key codes are scan codes, the extended ones with the high bit.
    for (unsigned dik = 0; dik < 256; ++dik) {
        s.dikToVk[dik] = MapVirtualKeyW(dik & 0x80 ? 0xE000 | (dik & 0x7F) : dik, MAPVK_VSC_TO_VK_EX);
    }

    for (const wchar_t* name : {L"xinput1_4.dll", L"xinput1_3.dll", L"xinput9_1_0.dll"}) {
        if ((s.xinput = LoadLibraryW(name)) != nullptr) {
            break;
        }
    }
    s.xinputGetState = moduleFunction<decltype(s.xinputGetState)>(s.xinput, "XInputGetState");
    if (!s.xinputGetState) {
        s.channels[XInput].status = "unavailable";
    }
}

InputChannels::~InputChannels()
{
    State& s = *state_;
    if (s.rawRegistered) {
        const RAWINPUTDEVICE raw[] = {{0x01, 0x06, RIDEV_REMOVE, nullptr}, {0x01, 0x02, RIDEV_REMOVE, nullptr}};
        RegisterRawInputDevices(raw, 2, sizeof raw[0]);
    }
    // Released before their DLL goes.
    for (auto& device : s.devices) {
        device.Reset();
    }
    s.directInput.Reset();
    if (s.dinput) {
        FreeLibrary(s.dinput);
    }
    if (s.xinput) {
        FreeLibrary(s.xinput);
    }
}

void InputChannels::readRawBuffer()
{
    State& s = *state_;
    if (!s.rawRegistered) {
        return;
    }
    RAWINPUT records[16];
    for (int round = 0; round < 64; ++round) {
        UINT size = sizeof records;
        const UINT count = GetRawInputBuffer(records, &size, sizeof(RAWINPUTHEADER));
        if (count == 0 || count == static_cast<UINT>(-1)) {
            break;
        }
        RAWINPUT* record = records;
        for (UINT i = 0; i < count; ++i, record = nextRecord(record)) {
            applyRaw(s.channels[RawBuffer], *record);
        }
    }
}

void InputChannels::poll()
{
    State& s = *state_;
    forPolledKeys(
        [&](unsigned vk) { s.channels[Async].set(vk, (GetAsyncKeyState(static_cast<int>(vk)) & 0x8000) != 0); });
    forPolledKeys(
        [&](unsigned vk) { s.channels[KeyState].set(vk, (GetKeyState(static_cast<int>(vk)) & 0x8000) != 0); });
    BYTE keys[256];
    if (GetKeyboardState(keys)) {
        forPolledKeys([&](unsigned vk) { s.channels[KeyboardState].set(vk, (keys[vk] & 0x80) != 0); });
    }
    for (int id = DiKeyboard; id <= DiMouseBuffer; ++id) {
        if (s.devices[id - DiKeyboard]) {
            s.readDirectInput(static_cast<ChannelId>(id));
        }
    }
    if (s.xinputGetState) {
        s.readXInput();
    }
}

void InputChannels::onMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    Channel& channel = state_->channels[Message];
    switch (message) {
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN: channel.set(static_cast<unsigned>(wParam & 0xFF), true); break;
    case WM_KEYUP:
    case WM_SYSKEYUP: channel.set(static_cast<unsigned>(wParam & 0xFF), false); break;
    case WM_LBUTTONDOWN: channel.set(VK_LBUTTON, true); break;
    case WM_LBUTTONUP: channel.set(VK_LBUTTON, false); break;
    case WM_RBUTTONDOWN: channel.set(VK_RBUTTON, true); break;
    case WM_RBUTTONUP: channel.set(VK_RBUTTON, false); break;
    case WM_MBUTTONDOWN: channel.set(VK_MBUTTON, true); break;
    case WM_MBUTTONUP: channel.set(VK_MBUTTON, false); break;
    case WM_XBUTTONDOWN:
    case WM_XBUTTONUP:
        channel.set(GET_XBUTTON_WPARAM(wParam) == XBUTTON1 ? VK_XBUTTON1 : VK_XBUTTON2, message == WM_XBUTTONDOWN);
        break;
    case WM_INPUT: {
        RAWINPUT input;
        UINT size = sizeof input;
        if (state_->rawRegistered && GetRawInputData(reinterpret_cast<HRAWINPUT>(lParam), RID_INPUT, &input, &size,
                                                     sizeof(RAWINPUTHEADER)) != static_cast<UINT>(-1)) {
            applyRaw(state_->channels[Raw], input);
        }
        break;
    }
    default: break;
    }
}

std::string InputChannels::report(uint64_t frames) const
{
    std::string line = "channels frames=" + std::to_string(frames);
    for (int id = 0; id < ChannelCount; ++id) {
        const Channel& channel = state_->channels[id];
        line += std::string(" ") + channelNames[id] + "=";
        if (channel.status) {
            line += channel.status;
            continue;
        }
        line += std::to_string(channel.presses) + ":";
        std::set<unsigned> keys;
        for (const auto& held : channel.held) {
            if (held.second != 0) {
                keys.insert(held.second);
            }
        }
        std::string joined;
        for (const unsigned vk : keys) {
            joined += (joined.empty() ? "" : "+") + std::to_string(vk);
        }
        line += joined.empty() ? "-" : joined;
    }
    return line;
}

}  // namespace DemoCommon
