#pragma once
// The game's input read the ways real games read it (--input-channels): window messages, raw input
// (WM_INPUT and GetRawInputBuffer), the polled key states, DirectInput 8 and XInput. Each channel
// counts the presses it saw and knows the keys it believes held, so that a test can tell which
// channels a component that takes the input away from the game keeps still.
//
// The report line: "channels frames=N message=P:H raw=P:H rawbuffer=P:H async=P:H keystate=P:H
// keyboardstate=P:H dikeyboard=P:H dikeyboardbuffer=P:H dimouse=P:H dimousebuffer=P:H xinput=P:H",
// P the presses since the start, H the virtual keys held now (decimal, joined with '+', '-' when
// none). A channel that could not be opened reads "unavailable"; xinput without a pad "disconnected".

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

namespace DemoCommon {

class InputChannels
{
public:
    // Registers raw input for `window` and opens DirectInput (on `window`) and XInput.
    explicit InputChannels(HWND window);
    ~InputChannels();
    InputChannels(const InputChannels&) = delete;
    InputChannels& operator=(const InputChannels&) = delete;

    // Before the message pump: the raw input records waiting in the queue.
    void readRawBuffer();
    // After the message pump: the polled key states, DirectInput and XInput.
    void poll();
    // Every message the window procedure receives: key and mouse button messages and WM_INPUT.
    void onMessage(UINT message, WPARAM wParam, LPARAM lParam);
    std::string report(uint64_t frames) const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace DemoCommon
