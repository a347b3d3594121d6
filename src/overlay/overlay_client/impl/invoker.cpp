#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

#include "overlay/overlay_client/impl/invoker.h"

#include <new>

namespace Overlay {

namespace {

const wchar_t* const windowClassName = L"OverlayWindowMessageClass";

// Runs a function so that nothing it throws reaches the game's message loop.
void runSafely(const Invoker::Function& function) noexcept
{
    try {
        function();
    } catch (const std::exception& e) {
        try {
            LOG_ERROR(L"%0", e.what());
        } catch (...) {
        }
    } catch (...) {
        try {
            LOG_ERROR(L"Unknown exception");
        } catch (...) {
        }
    }
}

void registerWindowClass(WNDPROC windowProc) noexcept
{
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = windowClassName;
    // A second registration in the process fails harmlessly: the class is already there.
    RegisterClassExW(&windowClass);
}

}  // namespace

// What travels in a posted message's WPARAM.
struct Invoker::Payload
{
    Function function;
    std::weak_ptr<Invoker> invoker;
    // The destruction payload runs although the invoker is no longer referenced.
    bool unchecked = false;
};

UINT Invoker::message() noexcept
{
    static const UINT value = RegisterWindowMessageW(L"tnq_overlay_msg");
    return value;
}

std::shared_ptr<Invoker> Invoker::create()
{
    if (message() == 0)
        Err::throwLastError("Failed to register window message");

    const DWORD threadId = GetCurrentThreadId();
    registerWindowClass(&Invoker::windowProc);
    HWND window = CreateWindowExW(0, windowClassName, nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
    if (!window)
        Err::throwLastError("Failed to create window");

    Invoker* raw = nullptr;
    try {
        raw = new Invoker(threadId, window);
    } catch (...) {
        DestroyWindow(window);
        throw;
    }
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(raw));

    // The deleter hands the destruction to the owning thread: at once there, posted from elsewhere.
    std::shared_ptr<Invoker> invoker(raw, [](Invoker* doomed) {
        if (GetCurrentThreadId() == doomed->threadId_) {
            destroy(doomed);
            return;
        }
        auto* payload = new (std::nothrow) Payload{[doomed] { destroy(doomed); }, {}, true};
        if (!payload) {
            guarded(nullptr, [] { LOG_ERROR(L"Bad alloc"); });
            return;
        }
        {
            std::lock_guard<std::mutex> lock(doomed->pendingLock_);
            doomed->pending_.insert(payload);
        }
        if (!PostMessageW(doomed->window_, message(), reinterpret_cast<WPARAM>(payload), 0)) {
            // The owning thread is gone, and its window with it: only the memory is left to free.
            const DWORD error = GetLastError();
            guarded(nullptr, [&] { LOG_ERROR(L"Failed to post message, error: %1", error); });
            // What the window still gets is ignored, not run against a freed invoker.
            SetWindowLongPtrW(doomed->window_, GWLP_USERDATA, 0);
            for (Payload* pending : doomed->pending_)
                delete pending;
            delete doomed;
        }
    });
    raw->self_ = invoker;
    return invoker;
}

Invoker::Invoker(DWORD threadId, HWND window) noexcept : threadId_(threadId), window_(window) {}

Invoker::~Invoker() = default;

bool Invoker::post(Function function, bool forcePost)
{
    if (!forcePost && GetCurrentThreadId() == threadId_) {
        runSafely(function);
        return true;
    }

    auto* payload = new (std::nothrow) Payload{std::move(function), self_, false};
    if (!payload) {
        LOG_ERROR(L"Bad alloc");
        return false;
    }
    {
        // Registered before posting: the owning thread may dispatch it before PostMessageW returns.
        std::lock_guard<std::mutex> lock(pendingLock_);
        pending_.insert(payload);
    }
    if (!PostMessageW(window_, message(), reinterpret_cast<WPARAM>(payload), 0)) {
        const DWORD error = GetLastError();
        LOG_ERROR(L"Failed to post message, error: %1", error);
        {
            std::lock_guard<std::mutex> lock(pendingLock_);
            pending_.erase(payload);
        }
        delete payload;
        return false;
    }
    return true;
}

LRESULT CALLBACK Invoker::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message != Invoker::message() || message == 0)
        return DefWindowProcW(window, message, wParam, lParam);

    if (wParam == 0) {
        guarded(nullptr, [] { LOG_ERROR(L"Can not execute func, wParam is null"); });
        return 0;
    }
    // Borrowed: the invoker lives as long as its window.
    auto* invoker = reinterpret_cast<Invoker*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (invoker)
        invoker->execute(reinterpret_cast<Payload*>(wParam));
    return 0;
}

void Invoker::execute(Payload* payload) noexcept
{
    {
        std::lock_guard<std::mutex> lock(pendingLock_);
        if (pending_.erase(payload) == 0) {
            // Not posted by this invoker (anyone can post to a window): never dereferenced.
            guarded(nullptr, [] { LOG_ERROR(L"Can not execute func, wParam is unknown"); });
            return;
        }
    }
    std::unique_ptr<Payload> owned(payload);
    if (owned->unchecked) {
        // Frees the invoker; nothing of it may be touched afterwards.
        runSafely(owned->function);
        return;
    }
    if (std::shared_ptr<Invoker> alive = owned->invoker.lock())
        runSafely(owned->function);
}

void Invoker::destroy(Invoker* invoker) noexcept
{
    SetWindowLongPtrW(invoker->window_, GWLP_USERDATA, 0);
    DestroyWindow(invoker->window_);
    // Functions still queued are dropped unrun: their messages die with the window.
    for (Payload* payload : invoker->pending_)
        delete payload;
    delete invoker;
}

}  // namespace Overlay
