#pragma once
// The window tests' game: a window on a thread of its own with a plain message loop, counting what
// its window procedure receives.

#include <windows.h>

#include <atomic>
#include <functional>
#include <future>
#include <thread>

namespace WindowTest {

// What the game's own window procedure received.
struct GameCounters
{
    std::atomic<int> keys{0};
    std::atomic<int> mouse{0};
    std::atomic<int> moves{0};
    std::atomic<int> cursors{0};        // WM_SETCURSOR
    std::atomic<int> rawInputs{0};      // WM_INPUT
    std::atomic<int> loopRawInputs{0};  // WM_INPUT seen by the message loop itself
    std::atomic<WPARAM> lastKeyUp{0};
    std::atomic<LPARAM> lastMove{0};
};

inline GameCounters* counters = nullptr;

// The game: a popup window at (100, 100), 400 x 300, on a thread with a plain message loop.
class Game
{
public:
    Game()
    {
        counters = &counters_;
        std::promise<HWND> created;
        auto future = created.get_future();
        thread_ = std::thread([this, &created] { run(created); });
        window_ = future.get();
    }
    ~Game()
    {
        call([this] {
            if (IsWindow(window_))
                DestroyWindow(window_);
        });
        PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
        thread_.join();
    }

    HWND window() const { return window_; }
    DWORD threadId() const { return threadId_; }

    // Runs `function` on the game's thread, from its message loop.
    void call(std::function<void()> function)
    {
        std::packaged_task<void()> task(std::move(function));
        auto done = task.get_future();
        PostThreadMessageW(threadId_, WM_APP, 0, reinterpret_cast<LPARAM>(&task));
        done.get();
    }

private:
    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    {
        if (message >= WM_KEYFIRST && message <= WM_KEYLAST)
            ++counters->keys;
        if (message >= WM_MOUSEFIRST && message <= WM_MOUSELAST)
            ++counters->mouse;
        if (message == WM_MOVE)
            ++counters->moves;
        if (message == WM_SETCURSOR)
            ++counters->cursors;
        if (message == WM_INPUT)
            ++counters->rawInputs;
        if (message == WM_KEYUP)
            counters->lastKeyUp = wParam;
        if (message == WM_MOUSEMOVE)
            counters->lastMove = lParam;
        return DefWindowProcW(window, message, wParam, lParam);
    }

    void run(std::promise<HWND>& created)
    {
        threadId_ = GetCurrentThreadId();
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = &Game::windowProc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"WindowHookTestGame";
        RegisterClassW(&windowClass);
        HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"Game", WS_POPUP | WS_VISIBLE, 100, 100, 400, 300,
                                      nullptr, nullptr, windowClass.hInstance, nullptr);
        SetForegroundWindow(window);
        SetFocus(window);
        const RAWINPUTDEVICE keyboard{1, 6, 0, window};  // raw keyboard input, as games read it
        RegisterRawInputDevices(&keyboard, 1, sizeof keyboard);
        created.set_value(window);
        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0) > 0) {
            if (message.hwnd == nullptr && message.message == WM_APP) {
                (*reinterpret_cast<std::packaged_task<void()>*>(message.lParam))();
                continue;
            }
            if (message.message == WM_INPUT)
                ++counters->loopRawInputs;
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }

    GameCounters counters_;
    std::thread thread_;
    DWORD threadId_ = 0;
    HWND window_ = nullptr;
};

}  // namespace WindowTest
