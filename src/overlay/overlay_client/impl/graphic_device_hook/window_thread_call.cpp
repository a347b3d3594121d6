#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

#include "overlay/overlay_client/impl/graphic_device_hook/window_thread_call.h"

#include "win/scope_guard.h"
#include "win/unique_handle.h"

#include <memory>
#include <mutex>

namespace Overlay {
namespace {

enum class CallState { Waiting, Running, Done, Abandoned };

struct PendingCall
{
    explicit PendingCall(const std::function<void()>& function) : call(function) {}
    std::function<void()> call;
    std::exception_ptr error;
    CallState state = CallState::Waiting;  // under callMutex
    Win::UniqueHandle done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

// The one call that may run: a message naming anything else (sent by another process, or late) is
// passed on untouched.
std::mutex callMutex;
std::shared_ptr<PendingCall> currentCall;

UINT callMessage()
{
    static const UINT message = RegisterWindowMessageW(L"OverlayClientWindowThreadCall");
    return message;
}

LRESULT CALLBACK callWndProc(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HC_ACTION) {
        const auto* sent = reinterpret_cast<const CWPSTRUCT*>(lParam);
        std::shared_ptr<PendingCall> call;
        if (sent->message == callMessage()) {
            const std::lock_guard<std::mutex> lock(callMutex);
            if (currentCall && sent->lParam == reinterpret_cast<LPARAM>(currentCall.get()) &&
                currentCall->state == CallState::Waiting) {
                call = currentCall;
                call->state = CallState::Running;
            }
        }
        if (call) {
            try {
                call->call();
            } catch (...) {
                call->error = std::current_exception();
            }
            {
                const std::lock_guard<std::mutex> lock(callMutex);
                call->state = CallState::Done;
            }
            SetEvent(call->done.get());
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

BOOL CALLBACK collectLargest(HWND window, LPARAM parameter)
{
    auto* best = reinterpret_cast<std::pair<HWND, LONGLONG>*>(parameter);
    DWORD processId = 0;
    const DWORD threadId = GetWindowThreadProcessId(window, &processId);
    RECT rect = {};
    if (processId != GetCurrentProcessId() || threadId == GetCurrentThreadId() || !IsWindowVisible(window) ||
        GetWindow(window, GW_OWNER) || !GetWindowRect(window, &rect)) {
        return TRUE;
    }
    const LONGLONG area = LONGLONG(rect.right - rect.left) * (rect.bottom - rect.top);
    if (!best->first || area > best->second) {
        *best = {window, area};
    }
    return TRUE;
}

}  // namespace

HWND findGameWindow()
{
    std::pair<HWND, LONGLONG> best = {nullptr, 0};
    EnumWindows(&collectLargest, reinterpret_cast<LPARAM>(&best));
    return best.first;
}

void callOnWindowThread(HWND window, const std::function<void()>& call, DWORD timeoutMs)
{
    const DWORD threadId = GetWindowThreadProcessId(window, nullptr);
    if (threadId == 0) {
        Err::throwLastError("Failed to get the window's thread");
    }
    auto pending = std::make_shared<PendingCall>(call);
    if (!pending->done) {
        Err::throwLastError("Failed to create an event");
    }
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&callWndProc), &module)) {
        Err::throwLastError("Failed to get our module");
    }
    {
        const std::lock_guard<std::mutex> lock(callMutex);
        currentCall = pending;
    }
    auto forget = Win::scopeExit([] {
        const std::lock_guard<std::mutex> lock(callMutex);
        currentCall.reset();
    });
    const HHOOK hook = SetWindowsHookExW(WH_CALLWNDPROC, &callWndProc, module, threadId);
    if (!hook) {
        Err::throwLastError("Failed to hook the window thread's messages");
    }
    auto unhook = Win::scopeExit([hook] { UnhookWindowsHookEx(hook); });

    DWORD_PTR result = 0;
    SendMessageTimeoutW(window, callMessage(), 0, reinterpret_cast<LPARAM>(pending.get()), SMTO_NORMAL, timeoutMs,
                        &result);
    {
        const std::lock_guard<std::mutex> lock(callMutex);
        if (pending->state == CallState::Waiting) {
            pending->state = CallState::Abandoned;
            throw std::runtime_error("the window thread did not take the call in " + std::to_string(timeoutMs) + " ms");
        }
    }
    // Taken (the send may have timed out just as it was): it runs to its end, and what it captured
    // must live until then.
    WaitForSingleObject(pending->done.get(), INFINITE);
    if (pending->error) {
        std::rethrow_exception(pending->error);
    }
}

}  // namespace Overlay
