#pragma once
// The line the demo games print about the input they received, read by the end-to-end test and the
// demo script: "input frames=N keys=K mouse=M cursor=C". C is the system cursor on the screen as
// GetCursorInfo reports it: its IDC_ resource number (32512 for IDC_ARROW, ...), "hidden" when no
// cursor is showing, or "other".

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace DemoCommon {

inline std::string cursorName()
{
    CURSORINFO info = {};
    info.cbSize = sizeof info;
    if (!GetCursorInfo(&info)) {
        return "unknown";
    }
    if ((info.flags & CURSOR_SHOWING) == 0) {
        return "hidden";
    }
    // The system cursors are shared: loading one again gives the handle that is shown.
    static const WORD systemCursors[] = {32512, 32513, 32514, 32515, 32516, 32640, 32641, 32642,
                                         32643, 32644, 32645, 32646, 32648, 32649, 32650, 32651};
    for (const WORD id : systemCursors) {
        if (info.hCursor == LoadCursorW(nullptr, MAKEINTRESOURCEW(id))) {
            return std::to_string(id);
        }
    }
    return "other";
}

// Flushed at once: a test reads these lines from a pipe while the game runs.
inline void printInputReport(uint64_t frames, uint64_t keys, uint64_t mouse)
{
    std::printf("input frames=%llu keys=%llu mouse=%llu cursor=%s\n", static_cast<unsigned long long>(frames),
                static_cast<unsigned long long>(keys), static_cast<unsigned long long>(mouse), cursorName().c_str());
    std::fflush(stdout);
}

// The first line a demo game prints: its Windows process id, what overlay_host --pid takes.
inline void printProcessId()
{
    std::printf("pid=%lu\n", static_cast<unsigned long>(GetCurrentProcessId()));
    std::fflush(stdout);
}

}  // namespace DemoCommon
