#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

#include "overlay/overlay_client/impl/graphic_device_hook/dummy_window.h"

namespace Overlay {

DummyWindow::DummyWindow()
{
    instance_ = GetModuleHandleW(nullptr);
    if (!instance_) {
        Err::throwLastError("Failed to get current module handle");
    }
    window_ = CreateWindowExW(0, L"STATIC", L"Dummy Window", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                              CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance_, nullptr);
    if (!window_) {
        Err::throwLastError("Failed to create Dummy Window");
    }
}

DummyWindow::~DummyWindow()
{
    DestroyWindow(window_);
}

}  // namespace Overlay
