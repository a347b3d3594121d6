#pragma once
// A hidden window that exists only so that a throw-away device and swap chain can be made.

#include <windows.h>

namespace Overlay {

class DummyWindow
{
public:
    // Throws the system error of the failed call.
    DummyWindow();
    ~DummyWindow();
    DummyWindow(const DummyWindow&) = delete;
    DummyWindow& operator=(const DummyWindow&) = delete;

    HWND handle() const { return window_; }

private:
    HINSTANCE instance_ = nullptr;
    HWND window_ = nullptr;
};

}  // namespace Overlay
