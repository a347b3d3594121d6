// Test programs that end the wrong way. Run alone, each case must make the runner fail its entry;
// see CMakeLists.txt. A case that returns normally has not done its job and fails itself.

#include <gtest/gtest.h>

#include <windows.h>

#include <thread>

namespace {

// Through a volatile pointer, so that the compiler keeps the write as it stands.
int* volatile nowhere = nullptr;

void pageFault()
{
    *nowhere = 1;
}

TEST(RunnerCases, CrashOnTheMainThread)
{
    pageFault();
    FAIL() << "no page fault";
}

TEST(RunnerCases, CrashOnAnotherThread)
{
    std::thread([] { pageFault(); }).join();
    FAIL() << "no page fault";
}

LRESULT CALLBACK faultingWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_APP)
        pageFault();
    return DefWindowProcW(window, message, wParam, lParam);
}

// As a message sent to a window of the test's own thread: the way a window hook's fault arrives.
TEST(RunnerCases, CrashInsideAWindowProcedure)
{
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = faultingWindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"RunnerCasesWindow";
    ASSERT_NE(RegisterClassW(&windowClass), 0);
    HWND window = CreateWindowExW(0, windowClass.lpszClassName, nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  windowClass.hInstance, nullptr);
    ASSERT_NE(window, nullptr);
    // Other threads alive, as in every real test program.
    HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread waiting([never] { WaitForSingleObject(never, INFINITE); });
    waiting.detach();
    PostMessageW(window, WM_APP, 0, 0);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0)
        DispatchMessageW(&message);
    FAIL() << "no page fault";
}

// What a crash under Wine can look like from outside: exit code 0, the cases after it never run.
TEST(RunnerCases, EndTheProcessWithZeroHalfWay)
{
    ExitProcess(0);
}

}  // namespace
