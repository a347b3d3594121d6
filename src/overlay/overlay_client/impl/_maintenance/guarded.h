#pragma once
// The boundary between our code and the game's: a hook replacement or a function run on the game's
// window thread must never let an exception into the game. `guarded` runs the body and returns its
// result; anything thrown is logged at ERROR and the fallback is returned instead.
//
//   return guarded(L"Present", E_FAIL, [&] { return self->present(...); });
//   guarded(L"ResizeBuffers", [&] { self->releaseRenderTarget(); });
//
// The line reads "<where>: <exception text>" ("<where>: unknown exception" for anything that is
// not a standard exception); with `where` null it is the exception's text alone ("Unknown
// exception").

#include "log/log.h"

#include <exception>
#include <type_traits>
#include <utility>

namespace Overlay {

namespace details {

inline void logBoundaryFailure(const wchar_t* where, const char* what) noexcept
{
    try {
        if (where == nullptr) {
            LOG_ERROR(L"%0", what != nullptr ? what : "Unknown exception");
        } else if (what != nullptr) {
            LOG_ERROR(L"%0: %1", where, what);
        } else {
            LOG_ERROR(L"%0: unknown exception", where);
        }
    } catch (...) {
        // Logging failed too: nothing is left to tell.
    }
}

}  // namespace details

template <class Result, class Body>
Result guarded(const wchar_t* where, Result fallback, Body&& body) noexcept
{
    try {
        return std::forward<Body>(body)();
    } catch (const std::exception& e) {
        details::logBoundaryFailure(where, e.what());
    } catch (...) {
        details::logBoundaryFailure(where, nullptr);
    }
    return fallback;
}

// For a body that returns nothing; true when it ran to the end.
template <class Body, class = std::enable_if_t<std::is_void<std::invoke_result_t<Body>>::value>>
bool guarded(const wchar_t* where, Body&& body) noexcept
{
    return guarded(where, false, [&] {
        std::forward<Body>(body)();
        return true;
    });
}

}  // namespace Overlay
