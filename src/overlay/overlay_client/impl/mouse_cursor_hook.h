#pragma once

#include <windows.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>

#include "overlay/overlay_client/impl/hook_utils/hook_utils.h"
#include "overlay/overlay_client/impl/single_instance.h"

namespace Overlay {

// Cursor types the host asks for: indexes into the table of system cursors.
namespace CursorType {
constexpr std::uint32_t arrow = 0;
constexpr std::uint32_t hidden = 7;      // no shape: the cursor is hidden
constexpr std::uint32_t tableSize = 16;  // types from here on have no entry
}  // namespace CursorType

using CursorTable = std::array<HCURSOR, CursorType::tableSize>;
using LoadCursorFunction = HCURSOR(WINAPI*)(HINSTANCE instance, LPCWSTR cursorName);

// The system cursor resource of a type; null for the hidden type and types without an entry.
LPCWSTR systemCursorId(std::uint32_t type) noexcept;

// Loads the system cursor of every type that has one. A cursor that does not load is logged and
// replaced by the arrow, so that every such entry is usable.
CursorTable loadCursorTable(LoadCursorFunction loadCursor);

// The cursor shown for a type: its own entry when set, otherwise the arrow's entry (may be null).
HCURSOR cursorForType(const CursorTable& cursors, std::uint32_t type) noexcept;

OVERLAY_SINGLE_INSTANCE_NAME(MouseCursorHook);

// Redirects user32's cursor functions so that, while the overlay is shown, the cursor belongs to
// the overlay: visible, in the shape the host asks for, where the user moves it. The game's cursor
// calls then act on a saved copy of its state, which is put back when the overlay is hidden.
//
// show, hide and setCursorType run on the game window's thread. The replacements run on any
// thread: the position is virtual for every thread, the display counter and the shape only for
// the window thread (they belong to a thread's input state).
class MouseCursorHook : private SingleInstance<MouseCursorHook>
{
public:
    // Looks up the five functions and loads the system cursors; attaching is the caller's job.
    MouseCursorHook();
    // Hides when shown and detaches the records.
    ~MouseCursorHook();

    MouseCursorHook(const MouseCursorHook&) = delete;
    MouseCursorHook& operator=(const MouseCursorHook&) = delete;

    // GetCursorPos, SetCursorPos, ShowCursor, SetCursor, GetCursor, ClipCursor, GetClipCursor.
    HookList getHooks();
    // The records without which the overlay cannot keep the cursor: SetCursorPos and ShowCursor.
    HookList getMandatoryHooks();

    void setWindowThreadId(DWORD threadId) noexcept;

    // Saves the game's cursor state, makes the cursor visible and frees it from the game's
    // confinement rectangle. Nothing when already shown.
    void show();
    // Puts the game's cursor state back, its latest confinement too. Nothing when not shown.
    void hide();
    bool isShown() const noexcept;
    // Applies a cursor type while shown; the type already applied is not applied again.
    void setCursorType(std::uint32_t type);

private:
    static BOOL WINAPI getCursorPosHook(LPPOINT point);
    static BOOL WINAPI setCursorPosHook(int x, int y);
    static int WINAPI showCursorHook(BOOL show);
    static HCURSOR WINAPI setCursorHook(HCURSOR cursor);
    static HCURSOR WINAPI getCursorHook();
    static BOOL WINAPI clipCursorHook(const RECT* rect);
    static BOOL WINAPI getClipCursorHook(LPRECT rect);

    bool onWindowThread() const noexcept;

    // The game's own functions (trampolines while attached).
    BOOL realGetCursorPos(LPPOINT point) const;
    BOOL realSetCursorPos(int x, int y) const;
    int realShowCursor(BOOL show) const;
    HCURSOR realSetCursor(HCURSOR cursor) const;
    HCURSOR realGetCursor() const;
    BOOL realClipCursor(const RECT* rect) const;
    BOOL realGetClipCursor(LPRECT rect) const;

    // Moves the real display counter from `current` to `target` one call at a time; returns the
    // counter reached.
    int stepDisplayCounter(int current, int target) const;

    std::atomic<DWORD> windowThreadId_{0};
    std::atomic<bool> active_{false};

    // Window thread only.
    HCURSOR gameCursor_ = nullptr;
    int gameShowCount_ = 0;
    bool overlayCursorSet_ = false;
    std::uint32_t overlayCursorType_ = CursorType::arrow;

    // Any thread, under positionLock_. The position is unknown when it could not be read at
    // show (another desktop has the input) and the game has not set one since.
    std::mutex positionLock_;
    POINT gamePosition_{};
    bool gamePositionKnown_ = false;
    // The game's confinement rectangle while shown, when it has one.
    RECT gameClip_{};
    bool gameClipped_ = false;

    CursorTable cursors_{};

    HookRecord getCursorPos_;
    HookRecord setCursorPos_;
    HookRecord showCursor_;
    HookRecord setCursor_;
    HookRecord getCursor_;
    HookRecord clipCursor_;
    HookRecord getClipCursor_;
};

}  // namespace Overlay
