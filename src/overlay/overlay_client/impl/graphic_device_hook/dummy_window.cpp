#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

#include "overlay/overlay_client/impl/graphic_device_hook/dummy_window.h"

namespace Overlay {

DummyWindow::DummyWindow()
{
    instance_ = GetModuleHandleW(nullptr);
    if (!instance_) {
        Err::makeSystemError(GetLastError(), "Failed to get current module handle")->raise();
    }
    window_ = CreateWindowExW(0, L"STATIC", L"Dummy Window", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                              CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance_, nullptr);
    if (!window_) {
        Err::makeSystemError(GetLastError(), "Failed to create Dummy Window")->raise();
    }
}

DummyWindow::~DummyWindow()
{
    DestroyWindow(window_);
}

}  // namespace Overlay
