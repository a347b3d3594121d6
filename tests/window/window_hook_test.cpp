// The window hook on a real game window with its own thread and message loop, fed real X input
// through xdotool.

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "game_thread.h"
#include "log_capture.h"
#include "overlay/overlay_client/impl/window_hook.h"
#include "win/unique_handle.h"

namespace Overlay {
namespace {

using namespace WindowTest;
using Events = std::vector<std::string>;

bool has(const Events& events, const std::string& event)
{
    return std::find(events.begin(), events.end(), event) != events.end();
}

// Polls `condition` for up to ten seconds.
template <class Condition>
bool eventually(Condition condition)
{
    for (int i = 0; i < 1000 && !condition(); ++i)
        Sleep(10);
    return condition();
}

// Real input from the X server, as a user would give it. Wine gives a Unix process no handle to
// wait on, so the shell marks the end with a file.
void xdotool(const std::string& arguments)
{
    static int calls = 0;
    const std::string marker =
        "/tmp/window_tests_" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(++calls);
    std::string command = "Z:\\bin\\sh -c \"xdotool " + arguments + "; touch " + marker + "\"";
    STARTUPINFOA startup{sizeof startup};
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process));
    Win::UniqueHandle processHandle(process.hProcess);
    Win::UniqueHandle threadHandle(process.hThread);
    const std::string windowsMarker = "Z:" + marker;
    ASSERT_TRUE(eventually([&] { return GetFileAttributesA(windowsMarker.c_str()) != INVALID_FILE_ATTRIBUTES; }));
    DeleteFileA(windowsMarker.c_str());
}

// Writes every call as a short text.
class RecordingListener : public WindowHookListener
{
public:
    void onWindowHookError() override { add("error"); }
    void onWindowHooked(bool success) override { add(success ? "hooked" : "not hooked"); }
    void onShiftTab() override { add("shiftTab"); }
    void onCtrlSpace() override { add("ctrlSpace"); }
    void onEscape() override { add("escape"); }
    void onWindowMoved() override
    {
        add("moved");
        if (throwOnMove)
            throw std::runtime_error("listener failed");
    }
    void onWindowResized() override { add("resized"); }
    void onWindowDestroyed() override { add("destroyed"); }
    void onKeyEvent(const Ipc::Stub::KeyEvent& e) override
    {
        const bool shift = (e.modifiers & Ipc::Stub::EventFlags::EVENTFLAG_SHIFT_DOWN) != 0;
        add("key " + std::to_string(e.type) + " " + std::to_string(e.windowsKeyCode) + (shift ? " shift" : ""));
    }
    void onMouseMoveEvent(const Ipc::Stub::MouseMoveEvent& e) override
    {
        add(e.mouseLeave ? "leave" : "move " + std::to_string(e.base.point.x) + " " + std::to_string(e.base.point.y));
    }
    void onMouseClickEvent(const Ipc::Stub::MouseClickEvent& e) override
    {
        add("click " + std::to_string(e.type) + (e.mouseUp ? " up " : " down ") + std::to_string(e.clickCount));
    }
    void onMouseWheelEvent(const Ipc::Stub::MouseWheelEvent& e) override
    {
        add("wheel " + std::to_string(e.deltaX) + " " + std::to_string(e.deltaY));
    }

    // Waits until `event` was recorded; the events so far, moves left out.
    Events waitFor(const std::string& event)
    {
        std::unique_lock<std::mutex> lock(lock_);
        EXPECT_TRUE(changed_.wait_for(lock, std::chrono::seconds(10), [&] { return has(events_, event); }))
            << "no " << event;
        Events withoutMoves;
        for (const std::string& recorded : events_)
            if (recorded.rfind("move ", 0) != 0)
                withoutMoves.push_back(recorded);
        return withoutMoves;
    }
    Events take()
    {
        std::lock_guard<std::mutex> lock(lock_);
        return std::exchange(events_, {});
    }

    std::atomic<bool> throwOnMove{false};

private:
    void add(std::string event)
    {
        std::lock_guard<std::mutex> lock(lock_);
        events_.push_back(std::move(event));
        changed_.notify_all();
    }

    std::mutex lock_;
    std::condition_variable changed_;
    Events events_;
};

class WindowHookTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        game_ = std::make_unique<Game>();
        hook_ = std::make_unique<WindowHook>(game_->window(), true);
        hook_->setListener(&listener_);
        hook_->install();
        game_->call([] {});  // the first message the thread removes subclasses the window
        EXPECT_EQ(listener_.waitFor("hooked"), Events{"hooked"});
        EXPECT_TRUE(hook_->isWindowHooked());
        // The X server's keyboard focus follows the pointer: keys go to the window under it.
        xdotool("mousemove 149 159 mousemove 150 160");
        EXPECT_TRUE(eventually([] { return counters->lastMove.load() == MAKELPARAM(50, 60); }));
        gameMouse_ = counters->mouse.load();
        gameCursors_ = counters->cursors.load();
        EXPECT_GT(gameCursors_, 0);  // not captured: the game sets its cursor
        listener_.take();
    }
    void TearDown() override
    {
        hook_.reset();  // from another thread than the window's
        game_.reset();
    }

    LogTest::LogCapture log_;
    RecordingListener listener_;
    std::unique_ptr<Game> game_;
    std::unique_ptr<WindowHook> hook_;
    int gameMouse_ = 0;    // mouse messages the game had when the test began
    int gameCursors_ = 0;  // and cursor requests
};

// The end-to-end test covers the common input; here also the right button, the leave and Escape.
TEST_F(WindowHookTest, CapturedInputReachesTheListenerOnly)
{
    hook_->setInputCapture(true);
    // Client (50, 60); Shift+A (xdotool lets go of Shift first), a left, a right click, the wheel up,
    // Escape, three quick left clicks.
    xdotool("mousemove 151 161 key shift+a click 1 click 3 click 4 key Escape click --repeat 3 --delay 80 1");
    const Events events = listener_.waitFor("click 0 up 3");
    EXPECT_EQ(events, (Events{"key 0 16 shift", "key 0 65 shift", "key 3 65 shift", "key 2 16",       "key 2 65",
                              "click 0 down 1", "click 0 up 1",   "click 2 down 1", "click 2 up 1",   "wheel 0 120",
                              "escape",         "key 0 27",       "key 3 27",       "key 2 27",       "click 0 down 1",
                              "click 0 up 1",   "click 0 down 2", "click 0 up 2",   "click 0 down 3", "click 0 up 3"}));
    xdotool("mousemove 700 700");
    listener_.waitFor("leave");
    const Events all = listener_.take();
    EXPECT_TRUE(has(all, "move 51 61"));
    // In and out again: each leave is watched for anew.
    xdotool("mousemove 150 160 mousemove 700 700");
    listener_.waitFor("leave");
    EXPECT_EQ(counters->keys.load(), 0);
    EXPECT_EQ(counters->mouse.load(), gameMouse_);
    // Nor does the game set its cursor over the overlay's, or read the keys raw.
    EXPECT_EQ(counters->cursors.load(), gameCursors_);
    EXPECT_EQ(counters->rawInputs.load(), 0);
    EXPECT_EQ(counters->loopRawInputs.load(), 0);
}

TEST_F(WindowHookTest, HotkeysToggleOnceWhenHeld)
{
    for (bool capture : {false, true}) {
        SCOPED_TRACE(capture ? "captured" : "not captured");
        hook_->setInputCapture(capture);
        // Held past the X server's repeat delay: the key repeats.
        xdotool("keydown shift keydown Tab sleep 1 keyup Tab keyup shift "
                "keydown ctrl keydown space sleep 1 keyup space keyup ctrl");
        xdotool("key b");
        if (capture)
            listener_.waitFor("key 2 66");
        else  // the game has its keys, raw ones too
            EXPECT_TRUE(eventually([] {
                return counters->lastKeyUp.load() == 'B' && counters->rawInputs.load() > 0 &&
                       counters->loopRawInputs.load() > 0;
            }));
        Events events = listener_.take();
        // The hotkey's key, its repeats and its release go to neither side; Shift and Ctrl to the
        // side that got them pressed.
        EXPECT_FALSE(has(events, "key 0 9") || has(events, "key 2 9"));
        EXPECT_EQ(has(events, "key 2 16"), capture);
        events.erase(
            std::remove_if(events.begin(), events.end(), [](const std::string& e) { return e.rfind("key", 0) == 0; }),
            events.end());
        EXPECT_EQ(events, (Events{"shiftTab", "ctrlSpace"}));
        listener_.take();
    }
}

// A press belongs to the side that got its down message, whatever the capture at its release.
TEST_F(WindowHookTest, PressesStayWithTheSideThatGotThem)
{
    // Held by the game when the overlay appears: released for the game, not sent to the host.
    xdotool("keydown a mousedown 3");
    EXPECT_TRUE(eventually([] { return counters->mouse.load() > 0 && counters->keys.load() > 0; }));
    hook_->setInputCapture(true);
    const int gameMouse = counters->mouse.load();
    xdotool("keyup a mouseup 3 key c");
    listener_.waitFor("key 2 67");
    EXPECT_EQ(counters->lastKeyUp.load(), WPARAM('A'));
    EXPECT_EQ(counters->mouse.load(), gameMouse + 1);  // WM_RBUTTONUP
    EXPECT_EQ(listener_.take(), (Events{"key 0 67", "key 3 99", "key 2 67"}));

    // Escape closes the overlay while held; the host, not the game, gets its release. The same for
    // a key pressed just before the overlay is hidden.
    const int gameKeys = counters->keys.load();
    xdotool("keydown Escape keydown d");
    listener_.waitFor("key 0 68");
    hook_->setInputCapture(false);
    xdotool("keyup d keyup Escape key e");
    EXPECT_TRUE(eventually([] { return counters->lastKeyUp.load() == 'E'; }));
    const Events events = listener_.waitFor("key 2 27");
    EXPECT_TRUE(has(events, "key 2 68"));
    EXPECT_EQ(counters->keys.load(), gameKeys + 3);  // E down, its character, E up
}

TEST_F(WindowHookTest, AThrowingListenerLeavesTheGameWorking)
{
    listener_.throwOnMove = true;
    const int gameMoves = counters->moves.load();
    game_->call([&] { SetWindowPos(game_->window(), nullptr, 130, 100, 0, 0, SWP_NOSIZE | SWP_NOZORDER); });
    EXPECT_EQ(listener_.take(), (Events{"moved", "error"}));
    EXPECT_EQ(counters->moves.load(), gameMoves + 1);
    EXPECT_EQ(log_.take().back(), (LogTest::Line{Log::Level::Error, L"listener failed"}));
    // Still hooked: captured keys go to the listener.
    hook_->setInputCapture(true);
    xdotool("key d");
    listener_.waitFor("key 2 68");
    EXPECT_EQ(counters->keys.load(), 0);
}

}  // namespace
}  // namespace Overlay
