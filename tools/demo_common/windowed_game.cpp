#include "windowed_game.h"

#include "input_report.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <vector>

namespace DemoCommon {

// Seen from outside: the compiler may not leave the allocations out.
void* volatile allocatorEscape = nullptr;

namespace {

// What a busy game does between frames: many short-lived blocks from the C library's allocator.
void churnAllocator(uint64_t frame)
{
    std::vector<std::unique_ptr<char[]>> blocks;
    blocks.reserve(256);
    for (size_t i = 0; i < 256; ++i) {
        blocks.emplace_back(new char[16 + (frame * 7 + i * 13) % 4096]);
        allocatorEscape = blocks.back().get();
    }
}

}  // namespace

std::string hex(HRESULT hr)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

void check(HRESULT hr, const char* call)
{
    if (FAILED(hr)) {
        throw std::runtime_error(std::string(call) + " failed: " + hex(hr));
    }
}

WindowedGame::WindowedGame(const CommonOptions& options, const wchar_t* className, const wchar_t* printCountersMessage)
    : common_(options), className_(className), countersKey_(printCountersMessage != nullptr)
{
    if (printCountersMessage) {
        printMessage_ = RegisterWindowMessageW(printCountersMessage);
    }
}

WindowedGame::~WindowedGame()
{
    detachWindows();
    channels_.reset();
    for (const HWND window : windows_) {
        DestroyWindow(window);
    }
}

HWND WindowedGame::createWindow(const wchar_t* title, int x)
{
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    windowClass.lpszClassName = className_;
    // A second game in the process finds the class registered.
    if (!RegisterClassExW(&windowClass) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        throw std::runtime_error("RegisterClassExW failed: " + std::to_string(GetLastError()));
    }
    const DWORD style = WS_OVERLAPPEDWINDOW;
    RECT frame = {0, 0, static_cast<LONG>(common_.width), static_cast<LONG>(common_.height)};
    AdjustWindowRect(&frame, style, FALSE);
    HWND window = CreateWindowExW(0, className_, title, style, x, common_.y, frame.right - frame.left,
                                  frame.bottom - frame.top, nullptr, nullptr, instance, nullptr);
    if (!window) {
        throw std::runtime_error("CreateWindowExW failed: " + std::to_string(GetLastError()));
    }
    windows_.push_back(window);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    if (!common_.hidden) {
        ShowWindow(window, SW_SHOWNORMAL);
        UpdateWindow(window);
    }
    return window;
}

void WindowedGame::detachWindows()
{
    for (const HWND window : windows_) {
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
    }
}

void WindowedGame::setClientSize(HWND window, uint32_t width, uint32_t height)
{
    RECT frame = {0, 0, static_cast<LONG>(width), static_cast<LONG>(height)};
    AdjustWindowRect(&frame, static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE)), FALSE);
    SetWindowPos(window, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

bool WindowedGame::pumpMessages()
{
    if (channels_) {
        channels_->readRawBuffer();
    }
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            quit_ = true;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    if (channels_) {
        channels_->poll();
    }
    return !quit_;
}

void WindowedGame::runFrames(const std::function<bool()>& frame)
{
    printProcessId();
    if (common_.inputChannels && !windows_.empty()) {
        channels_.reset(new InputChannels(windows_.front()));
    }
    const auto report = [this] {
        printInputReport(frames_, keyMessages_, mouseMessages_);
        if (channels_) {
            printLine(channels_->report(frames_));
        }
    };
    std::vector<ResizeStep> resizes = common_.resizes;
    std::stable_sort(resizes.begin(), resizes.end(),
                     [](const ResizeStep& a, const ResizeStep& b) { return a.frame < b.frame; });
    size_t nextResize = 0;
    while (pumpMessages() && (common_.frames == 0 || frames_ < common_.frames)) {
        while (nextResize < resizes.size() && resizes[nextResize].frame <= frames_) {
            resizeFirstWindow(resizes[nextResize].width, resizes[nextResize].height);
            ++nextResize;
        }
        if (common_.singleThread) {
            churnAllocator(frames_);
        }
        if (!frame()) {
            break;
        }
        if (common_.reportInputEvery != 0 && frames_ % common_.reportInputEvery == 0) {
            report();
        }
    }
    report();
}

void WindowedGame::printLine(const std::string& line)
{
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

LRESULT CALLBACK WindowedGame::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto* game = reinterpret_cast<WindowedGame*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    return game ? game->handle(window, message, wParam, lParam) : DefWindowProcW(window, message, wParam, lParam);
}

LRESULT WindowedGame::handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message >= WM_KEYFIRST && message <= WM_KEYLAST) {
        ++keyMessages_;
    } else if (message >= WM_MOUSEFIRST && message <= WM_MOUSELAST) {
        ++mouseMessages_;
    }
    if (channels_) {
        channels_->onMessage(message, wParam, lParam);
    }
    if (message == printMessage_ && message != 0) {
        printLine(counters());
        return 0;
    }
    switch (message) {
    case WM_SIZE: {
        const uint32_t width = LOWORD(lParam);
        const uint32_t height = HIWORD(lParam);
        if (wParam != SIZE_MINIMIZED && width && height) {
            windowResized(window, width, height);
        }
        return 0;
    }
    case WM_KEYDOWN:
        if (wParam == VK_ESCAPE) {
            PostMessageW(window, WM_CLOSE, 0, 0);
        } else if (wParam == 'C' && countersKey_) {
            printLine(counters());
        } else if (wParam == 'R') {
            // Between the size the game was started with and two thirds of it.
            const bool small = currentWidth() != common_.width;
            resizeFirstWindow(small ? common_.width : common_.width * 2 / 3,
                              small ? common_.height : common_.height * 2 / 3);
        }
        return 0;
    case WM_CLOSE: quit_ = true; return 0;
    default: return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace DemoCommon
