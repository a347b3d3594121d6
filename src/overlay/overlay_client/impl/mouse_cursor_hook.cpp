#include "overlay/overlay_client/impl/_maintenance/stdafx.h"

#include "overlay/overlay_client/impl/mouse_cursor_hook.h"

namespace Overlay {

namespace {

using GetCursorPosFunction = BOOL(WINAPI*)(LPPOINT);
using SetCursorPosFunction = BOOL(WINAPI*)(int, int);
using ClipCursorFunction = BOOL(WINAPI*)(const RECT*);
using GetClipCursorFunction = BOOL(WINAPI*)(LPRECT);
using ShowCursorFunction = int(WINAPI*)(BOOL);
using SetCursorFunction = HCURSOR(WINAPI*)(HCURSOR);
using GetCursorFunction = HCURSOR(WINAPI*)();

const wchar_t* const userModuleName = L"user32.dll";

// Resource ids of the system cursors by type; 0 where a type has none.
const WORD systemCursorIds[CursorType::tableSize] = {
    32512,  // 0 IDC_ARROW
    32650,  // 1 IDC_APPSTARTING
    32515,  // 2 IDC_CROSS
    32649,  // 3 IDC_HAND
    32651,  // 4 IDC_HELP
    32513,  // 5 IDC_IBEAM
    32648,  // 6 IDC_NO
    0,      // 7 hidden
    32646,  // 8 IDC_SIZEALL
    32643,  // 9 IDC_SIZENESW
    32645,  // 10 IDC_SIZENS
    32642,  // 11 IDC_SIZENWSE
    32644,  // 12 IDC_SIZEWE
    32516,  // 13 IDC_UPARROW
    32514,  // 14 IDC_WAIT
    0,      // 15
};

void* userFunction(const char* name)
{
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, userModuleName, &module))
        Err::throwLastError("Failed to get module: user32.dll");
    FARPROC function = GetProcAddress(module, name);
    if (!function)
        Err::throwLastError(std::string("Failed to find function: ") + name);
    return reinterpret_cast<void*>(function);
}

}  // namespace

LPCWSTR systemCursorId(std::uint32_t type) noexcept
{
    if (type >= CursorType::tableSize || systemCursorIds[type] == 0)
        return nullptr;
    return MAKEINTRESOURCEW(systemCursorIds[type]);
}

CursorTable loadCursorTable(LoadCursorFunction loadCursor)
{
    CursorTable cursors{};
    for (std::uint32_t type = 0; type < CursorType::tableSize; ++type) {
        LPCWSTR id = systemCursorId(type);
        if (!id)
            continue;
        HCURSOR cursor = loadCursor(nullptr, id);
        if (!cursor) {
            const DWORD error = GetLastError();
            LOG_WARN(L"Failed to load cursor icon, type = %0, error: %1", type, error);
            cursor = loadCursor(nullptr, MAKEINTRESOURCEW(systemCursorIds[CursorType::arrow]));
        }
        cursors[type] = cursor;
    }
    return cursors;
}

HCURSOR cursorForType(const CursorTable& cursors, std::uint32_t type) noexcept
{
    if (type < CursorType::tableSize && cursors[type])
        return cursors[type];
    return cursors[CursorType::arrow];
}

MouseCursorHook::MouseCursorHook()
    : SingleInstance<MouseCursorHook>(this),
      getCursorPos_(makeHookRecord(userFunction("GetCursorPos"), codeAddress(&getCursorPosHook), "GetCursorPos")),
      setCursorPos_(makeHookRecord(userFunction("SetCursorPos"), codeAddress(&setCursorPosHook), "SetCursorPos")),
      showCursor_(makeHookRecord(userFunction("ShowCursor"), codeAddress(&showCursorHook), "ShowCursor")),
      setCursor_(makeHookRecord(userFunction("SetCursor"), codeAddress(&setCursorHook), "SetCursor")),
      getCursor_(makeHookRecord(userFunction("GetCursor"), codeAddress(&getCursorHook), "GetCursor")),
      clipCursor_(makeHookRecord(userFunction("ClipCursor"), codeAddress(&clipCursorHook), "ClipCursor")),
      getClipCursor_(makeHookRecord(userFunction("GetClipCursor"), codeAddress(&getClipCursorHook), "GetClipCursor"))
{
    LOG_INFO(L"Hooking MouseCursor");
    cursors_ = loadCursorTable(&LoadCursorW);
}

MouseCursorHook::~MouseCursorHook()
{
    try {
        hide();
    } catch (const std::exception& error) {
        LOG_ERROR_OBJ(error);
    } catch (...) {
    }
    unhook(getHooks());
}

HookList MouseCursorHook::getHooks()
{
    return {&getCursorPos_, &setCursorPos_, &showCursor_, &setCursor_, &getCursor_, &clipCursor_, &getClipCursor_};
}

HookList MouseCursorHook::getMandatoryHooks()
{
    return {&setCursorPos_, &showCursor_};
}

void MouseCursorHook::setWindowThreadId(DWORD threadId) noexcept
{
    windowThreadId_.exchange(threadId);
}

bool MouseCursorHook::isShown() const noexcept
{
    return active_.load();
}

void MouseCursorHook::show()
{
    if (active_.load())
        return;

    const int count = realShowCursor(TRUE);
    gameCursor_ = realGetCursor();
    gameShowCount_ = count - 1;
    stepDisplayCounter(count, count < 0 ? 0 : count);

    std::lock_guard<std::mutex> lock(positionLock_);
    gamePositionKnown_ = realGetCursorPos(&gamePosition_) != FALSE;
    // Unconfined, the system reports the whole virtual screen.
    const RECT screen{GetSystemMetrics(SM_XVIRTUALSCREEN), GetSystemMetrics(SM_YVIRTUALSCREEN),
                      GetSystemMetrics(SM_XVIRTUALSCREEN) + GetSystemMetrics(SM_CXVIRTUALSCREEN),
                      GetSystemMetrics(SM_YVIRTUALSCREEN) + GetSystemMetrics(SM_CYVIRTUALSCREEN)};
    gameClipped_ = realGetClipCursor(&gameClip_) != FALSE && !EqualRect(&gameClip_, &screen);
    if (gameClipped_)
        realClipCursor(nullptr);
    active_.store(true);
}

void MouseCursorHook::hide()
{
    if (!active_.load())
        return;

    stepDisplayCounter(realShowCursor(TRUE), gameShowCount_);
    realSetCursor(gameCursor_);

    POINT position{};
    bool positionKnown = false;
    RECT clip{};
    bool clipped = false;
    {
        std::lock_guard<std::mutex> lock(positionLock_);
        position = gamePosition_;
        positionKnown = gamePositionKnown_;
        clip = gameClip_;
        clipped = gameClipped_;
        active_.store(false);
    }
    // Outside the lock: moving the cursor can run other threads' mouse hooks, which may ask for
    // the position.
    if (positionKnown)
        realSetCursorPos(position.x, position.y);
    if (clipped)
        realClipCursor(&clip);
    overlayCursorSet_ = false;
}

void MouseCursorHook::setCursorType(std::uint32_t type)
{
    if (!active_.load() || (overlayCursorSet_ && overlayCursorType_ == type))
        return;

    const bool wasHidden = overlayCursorSet_ && overlayCursorType_ == CursorType::hidden;
    overlayCursorType_ = type;
    overlayCursorSet_ = true;

    if (type == CursorType::hidden) {
        const int count = realShowCursor(FALSE);
        if (count >= 0)
            stepDisplayCounter(count, -1);
        return;
    }
    if (HCURSOR cursor = cursorForType(cursors_, type))
        realSetCursor(cursor);
    if (wasHidden) {
        const int count = realShowCursor(TRUE);
        if (count < 0)
            stepDisplayCounter(count, 0);
    }
}

int MouseCursorHook::stepDisplayCounter(int current, int target) const
{
    while (current < target)
        current = realShowCursor(TRUE);
    while (current > target)
        current = realShowCursor(FALSE);
    return current;
}

bool MouseCursorHook::onWindowThread() const noexcept
{
    return GetCurrentThreadId() == windowThreadId_.load();
}

BOOL MouseCursorHook::realGetCursorPos(LPPOINT point) const
{
    return getCursorPos_.real<GetCursorPosFunction>()(point);
}

BOOL MouseCursorHook::realSetCursorPos(int x, int y) const
{
    return setCursorPos_.real<SetCursorPosFunction>()(x, y);
}

int MouseCursorHook::realShowCursor(BOOL show) const
{
    return showCursor_.real<ShowCursorFunction>()(show);
}

HCURSOR MouseCursorHook::realSetCursor(HCURSOR cursor) const
{
    return setCursor_.real<SetCursorFunction>()(cursor);
}

HCURSOR MouseCursorHook::realGetCursor() const
{
    return getCursor_.real<GetCursorFunction>()();
}

BOOL MouseCursorHook::realClipCursor(const RECT* rect) const
{
    return clipCursor_.real<ClipCursorFunction>()(rect);
}

BOOL MouseCursorHook::realGetClipCursor(LPRECT rect) const
{
    return getClipCursor_.real<GetClipCursorFunction>()(rect);
}

BOOL WINAPI MouseCursorHook::getCursorPosHook(LPPOINT point)
{
    MouseCursorHook* self = instance();
    if (!self)
        return callRetired(&getCursorPosHook, FALSE, point);
    // A null point goes to the system, which reports it. Without the lock, the real position.
    const bool answered = point && self->active_.load() && guarded(L"GetCursorPos", false, [&] {
                              std::lock_guard<std::mutex> lock(self->positionLock_);
                              if (!self->active_.load() || !self->gamePositionKnown_)
                                  return false;
                              *point = self->gamePosition_;
                              return true;
                          });
    return answered ? TRUE : self->realGetCursorPos(point);
}

BOOL WINAPI MouseCursorHook::setCursorPosHook(int x, int y)
{
    MouseCursorHook* self = instance();
    if (!self)
        return callRetired(&setCursorPosHook, FALSE, x, y);
    // Without the lock, the real cursor moves.
    const bool kept = self->active_.load() && guarded(L"SetCursorPos", false, [&] {
                          std::lock_guard<std::mutex> lock(self->positionLock_);
                          if (!self->active_.load())
                              return false;
                          self->gamePosition_ = POINT{x, y};
                          self->gamePositionKnown_ = true;
                          return true;
                      });
    return kept ? TRUE : self->realSetCursorPos(x, y);
}

int WINAPI MouseCursorHook::showCursorHook(BOOL show)
{
    MouseCursorHook* self = instance();
    if (!self)
        return callRetired(&showCursorHook, 0, show);
    if (self->active_.load() && self->onWindowThread())
        return show ? ++self->gameShowCount_ : --self->gameShowCount_;
    return self->realShowCursor(show);
}

HCURSOR WINAPI MouseCursorHook::setCursorHook(HCURSOR cursor)
{
    MouseCursorHook* self = instance();
    if (!self)
        return callRetired(&setCursorHook, nullptr, cursor);
    if (self->active_.load() && self->onWindowThread()) {
        HCURSOR previous = self->gameCursor_;
        self->gameCursor_ = cursor;
        return previous;
    }
    return self->realSetCursor(cursor);
}

HCURSOR WINAPI MouseCursorHook::getCursorHook()
{
    MouseCursorHook* self = instance();
    if (!self)
        return callRetired(&getCursorHook, nullptr);
    if (self->active_.load() && self->onWindowThread())
        return self->gameCursor_;
    return self->realGetCursor();
}

BOOL WINAPI MouseCursorHook::clipCursorHook(const RECT* rect)
{
    MouseCursorHook* self = instance();
    if (!self)
        return callRetired(&clipCursorHook, FALSE, rect);
    // While shown the cursor is the overlay's: the game's rectangle waits for the hide.
    const bool kept = self->active_.load() && guarded(L"ClipCursor", false, [&] {
                          std::lock_guard<std::mutex> lock(self->positionLock_);
                          if (!self->active_.load())
                              return false;
                          self->gameClipped_ = rect != nullptr;
                          if (rect)
                              self->gameClip_ = *rect;
                          return true;
                      });
    return kept ? TRUE : self->realClipCursor(rect);
}

BOOL WINAPI MouseCursorHook::getClipCursorHook(LPRECT rect)
{
    MouseCursorHook* self = instance();
    if (!self)
        return callRetired(&getClipCursorHook, FALSE, rect);
    // Unconfined, the game reads what the system reports without confinement: the real answer now.
    const bool answered = rect && self->active_.load() && guarded(L"GetClipCursor", false, [&] {
                              std::lock_guard<std::mutex> lock(self->positionLock_);
                              if (!self->active_.load() || !self->gameClipped_)
                                  return false;
                              *rect = self->gameClip_;
                              return true;
                          });
    return answered ? TRUE : self->realGetClipCursor(rect);
}

}  // namespace Overlay
