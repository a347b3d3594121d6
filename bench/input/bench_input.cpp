// What the input channel hooks add to a game's calls while the overlay is hidden (the case every
// frame of every game pays for): GetAsyncKeyState, XInputGetState and a DirectInput keyboard's
// GetDeviceState, in one run. Under Wine the first and the last are server calls of microseconds,
// whose noise would hide nanoseconds: so once the hook is attached, what it forwards to is replaced by
// a stand-in that returns at once, and the baseline is that stand-in called directly. Target: at
// most +20 ns a call.
#include "common/bench_util.h"
#include "overlay/overlay_client/impl/input_channels_hook.h"

#include <windows.h>

#ifndef DIRECTINPUT_VERSION
#define DIRECTINPUT_VERSION 0x0800
#endif
#include <dinput.h>
#include <xinput.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>

namespace {

constexpr int calls = 1000000;

SHORT WINAPI quickKeyState(int)
{
    return 0;
}
DWORD WINAPI quickPadState(DWORD, XINPUT_STATE*)
{
    return ERROR_SUCCESS;
}
HRESULT STDMETHODCALLTYPE quickDeviceState(IDirectInputDevice8W*, DWORD, void*)
{
    return DI_OK;
}

// Nanoseconds per call, best of five rounds.
double perCall(const std::function<void()>& call)
{
    return Bench::bestOf(5,
                         [&] {
                             for (int i = 0; i < calls; ++i)
                                 call();
                         }) *
           1e9 / calls;
}

}  // namespace

int main()
{
    const HMODULE xinput = LoadLibraryW(L"xinput1_4.dll");
    const HMODULE dinput = LoadLibraryW(L"dinput8.dll");
    using GetState = DWORD(WINAPI*)(DWORD, XINPUT_STATE*);
    using Create = HRESULT(WINAPI*)(HINSTANCE, DWORD, REFIID, void**, IUnknown*);
    const auto getState = reinterpret_cast<GetState>(reinterpret_cast<void*>(GetProcAddress(xinput, "XInputGetState")));
    const auto create = reinterpret_cast<Create>(reinterpret_cast<void*>(GetProcAddress(dinput, "DirectInput8Create")));
    IDirectInput8W* input = nullptr;
    IDirectInputDevice8W* keyboard = nullptr;
    if (!getState || !create ||
        FAILED(create(GetModuleHandleW(nullptr), DIRECTINPUT_VERSION, IID_IDirectInput8W,
                      reinterpret_cast<void**>(&input), nullptr)) ||
        FAILED(input->CreateDevice(GUID_SysKeyboard, &keyboard, nullptr)) ||
        FAILED(keyboard->SetDataFormat(&c_dfDIKeyboard))) {
        std::fprintf(stderr, "bench_input: XInput or DirectInput 8 is missing\n");
        return 1;
    }
    keyboard->Acquire();
    volatile SHORT key = 0;
    XINPUT_STATE pad{};
    BYTE keys[256];
    const std::function<void()> probes[] = {[&] { key = GetAsyncKeyState('W'); }, [&] { getState(0, &pad); },
                                            [&] { keyboard->GetDeviceState(sizeof keys, keys); }};
    void* const standIns[] = {Overlay::codeAddress(&quickKeyState), Overlay::codeAddress(&quickPadState),
                              Overlay::codeAddress(&quickDeviceState)};
    const std::function<void()> direct[] = {[&] { key = quickKeyState('W'); }, [&] { quickPadState(0, &pad); },
                                            [&] { quickDeviceState(keyboard, sizeof keys, keys); }};
    const char* names[] = {"GetAsyncKeyState", "XInputGetState", "IDirectInputDevice8::GetDeviceState"};
    Overlay::InputChannelsHook hook;
    Overlay::hook(hook.getHooks());
    std::printf("input channel hooks, overlay hidden, %d calls a round:\n", calls);
    for (int i = 0; i < 3; ++i) {
        Overlay::HookRecord* record = nullptr;
        for (Overlay::HookRecord* candidate : hook.getHooks())
            if (!record && candidate->isHooked() &&
                std::string(names[i]).find(candidate->getName()) != std::string::npos)
                record = candidate;
        if (!record) {
            std::fprintf(stderr, "bench_input: %s is not hooked\n", names[i]);
            return 1;
        }
        void* const trampoline = record->getRealFunc();
        *record->getRealFuncAddress() = standIns[i];
        const double bare = perCall(direct[i]);
        const double hooked = perCall(probes[i]);
        *record->getRealFuncAddress() = trampoline;
        std::printf("%-38s %6.1f ns stand-in called directly, %6.1f ns through the hook: +%.1f ns (target at most "
                    "+20)\n",
                    names[i], bare, hooked, hooked - bare);
    }
    keyboard->Release();
    input->Release();
    return 0;
}
