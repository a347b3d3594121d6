// What the input channel hooks add to a game's calls while the overlay is hidden (the case every
// frame of every game pays for): GetAsyncKeyState, XInputGetState and a DirectInput keyboard's
// GetDeviceState, each timed without and then with the hook, in one run. Under Wine the first and
// the last are server calls of microseconds, whose noise would hide nanoseconds: so each function is
// first replaced by a stand-in that returns at once, and the hook goes over the stand-in, as over
// the real function. Target: at most +20 ns a call.
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
    return Bench::bestOf(5, [&] {
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
    const auto getState =
        reinterpret_cast<GetState>(reinterpret_cast<void*>(GetProcAddress(xinput, "XInputGetState")));
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
    const char* names[] = {"GetAsyncKeyState", "XInputGetState", "IDirectInputDevice8::GetDeviceState"};
    std::unique_ptr<Overlay::HookRecord> standIns[] = {
        Overlay::makeUniqueHookRecord(Overlay::codeAddress(&GetAsyncKeyState), Overlay::codeAddress(&quickKeyState),
                                      "stand-in"),
        Overlay::makeUniqueHookRecord(Overlay::codeAddress(getState), Overlay::codeAddress(&quickPadState),
                                      "stand-in"),
        Overlay::makeUniqueHookRecord((*reinterpret_cast<void***>(keyboard))[9],
                                      Overlay::codeAddress(&quickDeviceState), "stand-in")};
    const Overlay::HookList beneath = {standIns[0].get(), standIns[1].get(), standIns[2].get()};
    Overlay::hook(beneath);
    double bare[3];
    for (int i = 0; i < 3; ++i)
        bare[i] = perCall(probes[i]);
    {
        Overlay::InputChannelsHook hook;
        Overlay::hook(hook.getHooks());
        if (!Overlay::allHooked(beneath) || !Overlay::allHooked(hook.getHooks())) {
            std::fprintf(stderr, "bench_input: the hooks did not attach\n");
            return 1;
        }
        std::printf("input channel hooks, overlay hidden, %d calls a round:\n", calls);
        for (int i = 0; i < 3; ++i) {
            const double hooked = perCall(probes[i]);
            std::printf("%-38s %6.1f ns stand-in alone, %6.1f ns with the hook: +%.1f ns (target at most +20)\n",
                        names[i], bare[i], hooked, hooked - bare[i]);
        }
    }
    Overlay::unhook(beneath);
    keyboard->Release();
    input->Release();
    return 0;
}
