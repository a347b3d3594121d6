#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

#include "overlay/overlay_client/impl/input_channels_hook.h"

#include "overlay/overlay_client/impl/input_translation.h"

#ifndef DIRECTINPUT_VERSION
#define DIRECTINPUT_VERSION 0x0800
#endif
#include <dinput.h>
#include <xinput.h>

#include <algorithm>
#include <bitset>
#include <cstring>
#include <mutex>
#include <unordered_map>

namespace Overlay {

namespace {

using GetAsyncKeyStateFunction = SHORT(WINAPI*)(int);
using GetKeyStateFunction = SHORT(WINAPI*)(int);
using GetKeyboardStateFunction = BOOL(WINAPI*)(PBYTE);
using GetRawInputBufferFunction = UINT(WINAPI*)(PRAWINPUT, PUINT, UINT);
using XInputGetStateFunction = DWORD(WINAPI*)(DWORD, XINPUT_STATE*);
using XInputGetKeystrokeFunction = DWORD(WINAPI*)(DWORD, DWORD, XINPUT_KEYSTROKE*);
using GetDeviceStateFunction = HRESULT(STDMETHODCALLTYPE*)(IDirectInputDevice8W*, DWORD, void*);
using GetDeviceDataFunction = HRESULT(STDMETHODCALLTYPE*)(IDirectInputDevice8W*, DWORD, DIDEVICEOBJECTDATA*, DWORD*,
                                                          DWORD);
using DirectInput8CreateFunction = HRESULT(WINAPI*)(HINSTANCE, DWORD, REFIID, void**, IUnknown*);

const wchar_t* const xinputModules[3] = {L"xinput1_4.dll", L"xinput1_3.dll", L"xinput9_1_0.dll"};

// IDirectInputDevice8's method slots.
constexpr int getPropertySlot = 5;
constexpr int getDeviceStateSlot = 9;
constexpr int getDeviceDataSlot = 10;

void* method(IUnknown* object, int slot)
{
    return (*reinterpret_cast<void***>(object))[slot];
}

// What a device at rest reports: nothing pressed, keys and buttons up, a joystick's axes in the
// middle of their ranges and its hats centred.
void neutralState(IDirectInputDevice8W* device, DWORD size, void* data)
{
    std::memset(data, 0, size);
    if (size != sizeof(DIJOYSTATE) && size != sizeof(DIJOYSTATE2))
        return;
    auto* joystick = static_cast<DIJOYSTATE*>(data);
    LONG* axes[] = {&joystick->lX,  &joystick->lY,  &joystick->lZ,           &joystick->lRx,
                    &joystick->lRy, &joystick->lRz, &joystick->rglSlider[0], &joystick->rglSlider[1]};
    const DWORD offsets[] = {DIJOFS_X,  DIJOFS_Y,  DIJOFS_Z,         DIJOFS_RX,
                             DIJOFS_RY, DIJOFS_RZ, DIJOFS_SLIDER(0), DIJOFS_SLIDER(1)};
    using GetPropertyFunction = HRESULT(STDMETHODCALLTYPE*)(IDirectInputDevice8W*, REFGUID, DIPROPHEADER*);
    const auto getProperty = reinterpret_cast<GetPropertyFunction>(method(device, getPropertySlot));
    for (size_t i = 0; i < std::size(axes); ++i) {
        DIPROPRANGE range{};
        range.diph = {sizeof range, sizeof range.diph, offsets[i], DIPH_BYOFFSET};
        if (SUCCEEDED(getProperty(device, DIPROP_RANGE, &range.diph)))
            *axes[i] = range.lMin + (range.lMax - range.lMin) / 2;
    }
    for (DWORD& hat : joystick->rgdwPOV)
        hat = 0xFFFFFFFF;
}

size_t alignedRecord(DWORD size)
{
    return (size_t(size) + 7) & ~size_t(7);
}

// The virtual key of a DirectInput keyboard key or mouse button (by data offset), or 0.
int virtualKeyOf(BYTE deviceType, DWORD offset)
{
    if (deviceType == DI8DEVTYPE_KEYBOARD && offset < 256)
        return int(MapVirtualKeyW((offset & 0x7F) | (offset & 0x80 ? 0xE000 : 0), MAPVK_VSC_TO_VK_EX));
    const int buttons[] = {VK_LBUTTON, VK_RBUTTON, VK_MBUTTON, VK_XBUTTON1, VK_XBUTTON2};
    if (deviceType == DI8DEVTYPE_MOUSE && offset >= DIMOFS_BUTTON0 && offset < DIMOFS_BUTTON0 + std::size(buttons))
        return buttons[offset - DIMOFS_BUTTON0];
    return 0;
}

// What the hook knows of each DirectInput device: its type, and by data offset the presses the game
// read from its buffer (their releases still reach it while the overlay is shown) and those kept
// from it (their releases are kept too). A record with data 0x80 presses, 0 releases; axes rarely
// carry exactly those values, and a stray bit costs one axis record at most.
class DevicePresses
{
public:
    BYTE type(IDirectInputDevice8W* device)
    {
        std::lock_guard<std::mutex> guard(lock_);
        Device& known = devices_[device];
        if (known.type == 0) {
            using GetCapabilities = HRESULT(STDMETHODCALLTYPE*)(IDirectInputDevice8W*, DIDEVCAPS*);
            DIDEVCAPS caps{sizeof caps};
            known.type = SUCCEEDED(reinterpret_cast<GetCapabilities>(method(device, 3))(device, &caps))
                             ? BYTE(GET_DIDEVICE_TYPE(caps.dwDevType))
                             : BYTE(0xFF);
        }
        return known.type;
    }
    // Hidden: drops the presses of keys the overlay holds and the releases of presses dropped
    // before; notes what the game read. Returns the records left, packed.
    DWORD filterRead(IDirectInputDevice8W* device, BYTE* records, DWORD objectSize, DWORD count)
    {
        const BYTE deviceType = type(device);
        std::lock_guard<std::mutex> guard(lock_);
        Device& known = devices_[device];
        DWORD kept = 0;
        for (DWORD i = 0; i < count; ++i) {
            const auto* record = reinterpret_cast<const DIDEVICEOBJECTDATA*>(records + size_t(i) * objectSize);
            const DWORD offset = record->dwOfs;
            bool keep = true;
            if (offset < known.read.size() && (record->dwData == 0x80 || record->dwData == 0)) {
                const bool press = record->dwData == 0x80;
                const int key = virtualKeyOf(deviceType, offset);
                keep = press ? !(key && overlayHeldKeys().test(key)) : !known.withheld[offset];
                (press ? (keep ? known.read : known.withheld) : known.read)[offset] = press;
                if (!press)
                    known.withheld[offset] = false;
            }
            if (keep && kept++ != i)
                std::memmove(records + size_t(kept - 1) * objectSize, record, objectSize);
        }
        return kept;
    }
    // Shown: true for a record that releases a press the game read (now forgotten). Other presses
    // are kept from the game, and so later their releases.
    bool passWhileShown(const void* device, const DIDEVICEOBJECTDATA& record)
    {
        std::lock_guard<std::mutex> guard(lock_);
        Device& known = devices_[device];
        const DWORD offset = record.dwOfs;
        if (offset >= known.read.size() || (record.dwData != 0x80 && record.dwData != 0))
            return false;
        if (record.dwData == 0x80) {
            known.withheld[offset] = true;
            return false;
        }
        known.withheld[offset] = false;
        const bool release = known.read[offset];
        known.read[offset] = false;
        return release;
    }

private:
    struct Device
    {
        BYTE type = 0;
        std::bitset<1024> read;
        std::bitset<1024> withheld;
    };
    std::mutex lock_;
    std::unordered_map<const void*, Device> devices_;
};

DevicePresses& devicePresses()
{
    static DevicePresses presses;
    return presses;
}

// Hidden: the keys and buttons the overlay holds read as up in a keyboard's or mouse's state.
void hideOverlayPresses(IDirectInputDevice8W* device, DWORD size, BYTE* data)
{
    const BYTE type = devicePresses().type(device);
    if (type == DI8DEVTYPE_KEYBOARD && size == 256) {
        for (DWORD key = 0; key < 256; ++key)
            if (data[key] & 0x80 && overlayHeldKeys().test(virtualKeyOf(type, key)))
                data[key] = 0;
    } else if (type == DI8DEVTYPE_MOUSE && (size == sizeof(DIMOUSESTATE) || size == sizeof(DIMOUSESTATE2))) {
        for (DWORD button = 0; button < size - DIMOFS_BUTTON0; ++button)
            if (overlayHeldKeys().test(virtualKeyOf(type, DIMOFS_BUTTON0 + button)))
                data[DIMOFS_BUTTON0 + button] = 0;
    }
}

}  // namespace

// The replacements: one function per slot, since a replacement serves one record.
struct InputChannelReplacements
{
    template <class Function>
    static Function real(InputChannelsHook* self, int slot)
    {
        const auto& record = self->records_[size_t(slot)];
        return record ? record->real<Function>() : nullptr;
    }

    static SHORT WINAPI getAsyncKeyState(int key)
    {
        InputChannelsHook* self = InputChannelsHook::instance();
        const auto original = self ? real<GetAsyncKeyStateFunction>(self, InputChannelsHook::AsyncKeyState) : nullptr;
        if (!original)
            return callRetired(&getAsyncKeyState, SHORT(0), key);
        const SHORT state = original(key);
        return state != 0 && overlayHeldKeys().test(key) ? SHORT(0) : state;
    }

    static SHORT WINAPI getKeyState(int key)
    {
        InputChannelsHook* self = InputChannelsHook::instance();
        const auto original = self ? real<GetKeyStateFunction>(self, InputChannelsHook::KeyState) : nullptr;
        if (!original)
            return callRetired(&getKeyState, SHORT(0), key);
        const SHORT state = original(key);
        // The toggle (low bit) stays the game's.
        return (state & 0x8000) != 0 && overlayHeldKeys().test(key) ? SHORT(state & 1) : state;
    }

    static BOOL WINAPI getKeyboardState(PBYTE keys)
    {
        InputChannelsHook* self = InputChannelsHook::instance();
        const auto original = self ? real<GetKeyboardStateFunction>(self, InputChannelsHook::KeyboardState) : nullptr;
        if (!original)
            return callRetired(&getKeyboardState, FALSE, keys);
        const BOOL result = original(keys);
        if (result && keys && overlayHeldKeys().any()) {
            for (int key = 0; key < 256; ++key)
                if (overlayHeldKeys().test(key))
                    keys[key] &= 0x7F;
        }
        return result;
    }

    static UINT WINAPI getRawInputBuffer(PRAWINPUT data, PUINT size, UINT headerSize)
    {
        InputChannelsHook* self = InputChannelsHook::instance();
        const auto original = self ? real<GetRawInputBufferFunction>(self, InputChannelsHook::RawInputBuffer) : nullptr;
        if (!original)
            return callRetired(&getRawInputBuffer, UINT(-1), data, size, headerSize);
        if (!self->shown_.load() || !size || !data)
            return original(data, size, headerSize);
        // Taken from the queue: the game gets the releases of its own presses, nothing else, now or
        // later.
        alignas(8) static thread_local BYTE drain[4096];
        const size_t capacity = *size;
        size_t used = 0;
        UINT given = 0;
        for (int round = 0; round < 16; ++round) {
            UINT drainSize = sizeof drain;
            const UINT count = original(reinterpret_cast<PRAWINPUT>(drain), &drainSize, headerSize);
            if (count == 0 || count == UINT(-1))
                break;
            size_t at = 0;
            for (UINT i = 0; i < count && at + sizeof(RAWINPUTHEADER) <= sizeof drain; ++i) {
                const auto* record = reinterpret_cast<const RAWINPUT*>(drain + at);
                const size_t step = alignedRecord(record->header.dwSize);
                if (step == 0 || at + record->header.dwSize > sizeof drain)
                    break;
                if (releasesHeldPress(*record, gameHeldKeys()) && used + step <= capacity) {
                    std::memcpy(reinterpret_cast<BYTE*>(data) + used, record, record->header.dwSize);
                    used += step;
                    ++given;
                }
                at += step;
            }
        }
        return given;
    }

    template <int Slot>
    static DWORD WINAPI xinputGetState(DWORD user, XINPUT_STATE* state)
    {
        InputChannelsHook* self = InputChannelsHook::instance();
        const auto original = self ? real<XInputGetStateFunction>(self, Slot) : nullptr;
        if (!original)
            return callRetired(&xinputGetState<Slot>, DWORD(ERROR_DEVICE_NOT_CONNECTED), user, state);
        const DWORD result = original(user, state);
        // Connected stays connected (games pause on a lost pad); the packet number stays the pad's.
        if (result == ERROR_SUCCESS && state && self->shown_.load())
            state->Gamepad = XINPUT_GAMEPAD{};
        return result;
    }

    template <int Slot>
    static DWORD WINAPI xinputGetKeystroke(DWORD user, DWORD reserved, XINPUT_KEYSTROKE* keystroke)
    {
        InputChannelsHook* self = InputChannelsHook::instance();
        const auto original = self ? real<XInputGetKeystrokeFunction>(self, Slot) : nullptr;
        if (!original)
            return callRetired(&xinputGetKeystroke<Slot>, DWORD(ERROR_DEVICE_NOT_CONNECTED), user, reserved, keystroke);
        if (!self->shown_.load())
            return original(user, reserved, keystroke);
        XINPUT_KEYSTROKE dropped{};
        DWORD result = ERROR_EMPTY;
        for (int round = 0; round < 64; ++round) {
            result = original(user, reserved, &dropped);
            if (result != ERROR_SUCCESS)
                break;
        }
        return result == ERROR_SUCCESS ? DWORD(ERROR_EMPTY) : result;
    }

    template <int Slot>
    static HRESULT STDMETHODCALLTYPE getDeviceState(IDirectInputDevice8W* device, DWORD size, void* data)
    {
        InputChannelsHook* self = InputChannelsHook::instance();
        const auto original = self ? real<GetDeviceStateFunction>(self, Slot) : nullptr;
        if (!original)
            return callRetired(&getDeviceState<Slot>, HRESULT(DIERR_GENERIC), device, size, data);
        const HRESULT result = original(device, size, data);
        if (SUCCEEDED(result) && data) {
            if (self->shown_.load())
                guarded(L"GetDeviceState", [&] { neutralState(device, size, data); });
            else if (overlayHeldKeys().any())
                guarded(L"GetDeviceState", [&] { hideOverlayPresses(device, size, static_cast<BYTE*>(data)); });
        }
        return result;
    }

    template <int Slot>
    static HRESULT STDMETHODCALLTYPE getDeviceData(IDirectInputDevice8W* device, DWORD objectSize,
                                                   DIDEVICEOBJECTDATA* data, DWORD* count, DWORD flags)
    {
        InputChannelsHook* self = InputChannelsHook::instance();
        const auto original = self ? real<GetDeviceDataFunction>(self, Slot) : nullptr;
        if (!original)
            return callRetired(&getDeviceData<Slot>, HRESULT(DIERR_GENERIC), device, objectSize, data, count, flags);
        if (!self->shown_.load() || !count || !data) {
            const HRESULT result = original(device, objectSize, data, count, flags);
            if (SUCCEEDED(result) && data && count && !(flags & DIGDD_PEEK) && objectSize >= 16 &&
                objectSize <= sizeof(DIDEVICEOBJECTDATA))
                *count = devicePresses().filterRead(device, reinterpret_cast<BYTE*>(data), objectSize, *count);
            return result;
        }
        if ((flags & DIGDD_PEEK) != 0 || objectSize < 16 || objectSize > sizeof(DIDEVICEOBJECTDATA)) {
            *count = 0;
            return DI_OK;
        }
        // Drained in chunks: the releases of presses the game read go to it, the rest is dropped,
        // so no burst of old records follows the hide.
        alignas(8) BYTE chunk[32 * sizeof(DIDEVICEOBJECTDATA)];
        const DWORD capacity = *count;
        DWORD given = 0;
        for (int round = 0; round < 64 && given < capacity; ++round) {
            DWORD got = std::min<DWORD>(32, capacity - given);
            const HRESULT result = original(device, objectSize, reinterpret_cast<DIDEVICEOBJECTDATA*>(chunk), &got, 0);
            if (FAILED(result))
                return result;
            if (got == 0)
                break;
            for (DWORD i = 0; i < got; ++i) {
                const BYTE* record = chunk + size_t(i) * objectSize;
                if (devicePresses().passWhileShown(device, *reinterpret_cast<const DIDEVICEOBJECTDATA*>(record)))
                    std::memcpy(reinterpret_cast<BYTE*>(data) + size_t(given++) * objectSize, record, objectSize);
            }
        }
        *count = given;
        return DI_OK;
    }
};

namespace {

// The replacements of one kind, by slot offset.
template <template <int> class Pick, int Base, int... Offsets>
void* pick(int offset, std::integer_sequence<int, Offsets...>)
{
    void* found = nullptr;
    ((offset == Offsets ? (found = Pick<Base + Offsets>::address(), 0) : 0), ...);
    return found;
}

template <int Slot>
struct StateReplacement
{
    static void* address() { return codeAddress(&InputChannelReplacements::xinputGetState<Slot>); }
};
template <int Slot>
struct KeystrokeReplacement
{
    static void* address() { return codeAddress(&InputChannelReplacements::xinputGetKeystroke<Slot>); }
};
template <int Slot>
struct DeviceStateReplacement
{
    static void* address() { return codeAddress(&InputChannelReplacements::getDeviceState<Slot>); }
};
template <int Slot>
struct DeviceDataReplacement
{
    static void* address() { return codeAddress(&InputChannelReplacements::getDeviceData<Slot>); }
};

using ThreeSlots = std::integer_sequence<int, 0, 1, 2>;

void* exported(HMODULE module, const char* name)
{
    return module ? reinterpret_cast<void*>(GetProcAddress(module, name)) : nullptr;
}

}  // namespace

InputChannelsHook::InputChannelsHook() : SingleInstance<InputChannelsHook>(this)
{
    LOG_INFO(L"Hooking input channels");
    const HMODULE user32 = GetModuleHandleW(L"user32.dll");
    HookList added;
    add(AsyncKeyState, exported(user32, "GetAsyncKeyState"), codeAddress(&InputChannelReplacements::getAsyncKeyState),
        "GetAsyncKeyState", added);
    add(KeyState, exported(user32, "GetKeyState"), codeAddress(&InputChannelReplacements::getKeyState), "GetKeyState",
        added);
    add(KeyboardState, exported(user32, "GetKeyboardState"), codeAddress(&InputChannelReplacements::getKeyboardState),
        "GetKeyboardState", added);
    add(RawInputBuffer, exported(user32, "GetRawInputBuffer"),
        codeAddress(&InputChannelReplacements::getRawInputBuffer), "GetRawInputBuffer", added);
    findNewModules();
}

InputChannelsHook::~InputChannelsHook()
{
    unhook(getHooks());
}

void InputChannelsHook::add(Slot slot, void* target, void* replacement, const char* name, HookList& added)
{
    if (!target || records_[slot])
        return;
    records_[slot] = makeUniqueHookRecord(target, replacement, name);
    added.push_back(records_[slot].get());
}

HookList InputChannelsHook::getHooks()
{
    HookList hooks;
    for (const auto& record : records_)
        if (record)
            hooks.push_back(record.get());
    return hooks;
}

HookList InputChannelsHook::findNewModules()
{
    HookList added;
    for (int i = 0; i < 3; ++i) {
        const HMODULE module = xinputFound_[i] ? nullptr : GetModuleHandleW(xinputModules[i]);
        if (!module)
            continue;
        xinputFound_[i] = true;
        void* getState = exported(module, "XInputGetState");
        void* getStateEx = exported(module, MAKEINTRESOURCEA(100));
        add(Slot(XInputState + i), getState, pick<StateReplacement, XInputState>(i, ThreeSlots{}), "XInputGetState",
            added);
        if (getStateEx != getState)
            add(Slot(XInputStateEx + i), getStateEx, pick<StateReplacement, XInputStateEx>(i, ThreeSlots{}),
                "XInputGetStateEx", added);
        add(Slot(XInputKeystroke + i), exported(module, "XInputGetKeystroke"),
            pick<KeystrokeReplacement, XInputKeystroke>(i, ThreeSlots{}), "XInputGetKeystroke", added);
    }

    const HMODULE dinput = directInputFound_ ? nullptr : GetModuleHandleW(L"dinput8.dll");
    const auto create = reinterpret_cast<DirectInput8CreateFunction>(exported(dinput, "DirectInput8Create"));
    if (create) {
        directInputFound_ = true;
        // The methods behind the devices' interfaces, wide and narrow, keyboard and mouse: each
        // distinct one once.
        int found = 0;
        for (const IID* iid : {&IID_IDirectInput8W, &IID_IDirectInput8A}) {
            IDirectInput8W* input = nullptr;
            if (FAILED(create(GetModuleHandleW(nullptr), DIRECTINPUT_VERSION, *iid, reinterpret_cast<void**>(&input),
                              nullptr)))
                continue;
            for (const GUID* kind : {&GUID_SysKeyboard, &GUID_SysMouse}) {
                IDirectInputDevice8W* device = nullptr;
                if (FAILED(input->CreateDevice(*kind, &device, nullptr)))
                    continue;
                void* const state = method(device, getDeviceStateSlot);
                void* const data = method(device, getDeviceDataSlot);
                bool known = false;
                for (int i = 0; i < found; ++i)
                    known = known || records_[DeviceState + i]->getRealFunc() == state;
                if (!known && found < 3) {
                    add(Slot(DeviceState + found), state,
                        pick<DeviceStateReplacement, DeviceState>(found, ThreeSlots{}),
                        "IDirectInputDevice8::GetDeviceState", added);
                    add(Slot(DeviceData + found), data, pick<DeviceDataReplacement, DeviceData>(found, ThreeSlots{}),
                        "IDirectInputDevice8::GetDeviceData", added);
                    ++found;
                }
                device->Release();
            }
            input->Release();
        }
    }
    return added;
}

void InputChannelsHook::setShown(bool shown) noexcept
{
    shown_.store(shown);
}

bool InputChannelsHook::isShown() const noexcept
{
    return shown_.load();
}

SHORT InputChannelsHook::systemKeyState(int virtualKey) noexcept
{
    if (InputChannelsHook* self = instance())
        if (const auto original = InputChannelReplacements::real<GetKeyStateFunction>(self, KeyState))
            return original(virtualKey);
    return GetKeyState(virtualKey);
}

bool InputChannelsHook::systemKeyboardState(BYTE* keys) noexcept
{
    if (InputChannelsHook* self = instance())
        if (const auto original = InputChannelReplacements::real<GetKeyboardStateFunction>(self, KeyboardState))
            return original(keys) != FALSE;
    return GetKeyboardState(keys) != FALSE;
}

}  // namespace Overlay
