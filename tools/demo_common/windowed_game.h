#pragma once
// What the demo games share around their drawing: their windows, the window procedure that counts
// the keyboard and mouse messages and handles the keys, the message pump and the frame loop with
// the scripted resizes and the input reports. A game derives from it and keeps only its device,
// swap chain, resize and state checks.

#include "common_options.h"
#include "input_channels.h"

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace DemoCommon {

// Throws std::runtime_error "CALL failed: 0x........" for a failed result.
void check(HRESULT hr, const char* call);
std::string hex(HRESULT hr);

class WindowedGame
{
public:
    WindowedGame(const WindowedGame&) = delete;
    WindowedGame& operator=(const WindowedGame&) = delete;

    // Dispatches the pending window messages; false once a window was closed.
    bool pumpMessages();

    uint64_t frameCount() const { return frames_; }
    // Keyboard and mouse messages the window procedure received: a component that takes the input
    // away from the game must keep these still.
    uint64_t keyMessages() const { return keyMessages_; }
    uint64_t mouseMessages() const { return mouseMessages_; }

protected:
    // `className` names the game's window class; with `printCountersMessage` the game prints its
    // counters on the C key and whenever a window receives that registered message.
    WindowedGame(const CommonOptions& options, const wchar_t* className, const wchar_t* printCountersMessage);
    // Destroys the windows, also those of a game whose constructor failed.
    virtual ~WindowedGame();

    // A window with the client size of the options at (x, options' y), shown unless hidden. It lives
    // as long as the game.
    HWND createWindow(const wchar_t* title, int x);
    // Stops the window messages reaching the game: the first thing a game's destructor does, so that
    // no message finds it half destroyed.
    void detachWindows();
    // Sets a window's client size.
    static void setClientSize(HWND window, uint32_t width, uint32_t height);

    // Frames until a window is closed or the frame limit is reached: the process id first, the
    // scripted resizes before their frames, the input counts every N frames and at the end.
    // `frame` draws one frame (counting it in frames_) and returns false to stop.
    void runFrames(const std::function<bool()>& frame);
    // Prints a line and flushes it: tests read the output from a pipe while the game runs.
    static void printLine(const std::string& line);

    // A window's new client size (neither minimized nor empty), from WM_SIZE.
    virtual void windowResized(HWND window, uint32_t width, uint32_t height) = 0;
    // The first window's client size now, and a request to change it.
    virtual uint32_t currentWidth() const = 0;
    virtual void resizeFirstWindow(uint32_t width, uint32_t height) = 0;
    // "frames=N ..." as the game prints it.
    virtual std::string counters() const = 0;

    uint64_t frames_ = 0;

private:
    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    CommonOptions common_;
    std::vector<HWND> windows_;
    const wchar_t* className_;
    UINT printMessage_ = 0;
    bool countersKey_ = false;
    uint64_t keyMessages_ = 0;
    uint64_t mouseMessages_ = 0;
    // With --input-channels, from the first frame on.
    std::unique_ptr<InputChannels> channels_;
    bool quit_ = false;
};

}  // namespace DemoCommon
