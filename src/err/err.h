#pragma once

// The error family: Err::Error (a std::system_error) and everything derived from it.
//
//  - Err::Error2                    errors made from a message, optionally with a nested cause
//  - Err::GenericError<Traits>      a named kind; declare new kinds with a traits type (generic_error.h)
//  - Err::GenericErrorEx<...>       a kind that carries a typed value
//  - Err::SystemError and Err::System::*   Windows error codes; made by Err::makeSystemError
//
// Declaring the kinds of an area (one traits type and one alias per kind):
//
//   namespace Overlay::Ipc::NamedMutexErrors {
//   struct Base_traits    { using Parent = Err::Error2; static constexpr const char* namePart = "NamedMutex"; };
//   using Base = Err::GenericError<Base_traits>;          // "Error.NamedMutex"
//   struct Failed_traits  { using Parent = Base;        static constexpr const char* namePart = "Failed"; };
//   using Failed = Err::GenericError<Failed_traits>;      // "Error.NamedMutex.Failed"
//   struct Abandon_traits { using Parent = Base;        static constexpr const char* namePart = "Abandon"; };
//   using Abandon = Err::GenericError<Abandon_traits>;    // "Error.NamedMutex.Abandon"
//   }
//
// Using them:
//
//   throw Failed("Failed to open mutex");                                   // what: "[Error.NamedMutex.Failed] Failed to open mutex: "
//   Failed error(Err::makeSystemError(GetLastError(), "OpenMutexW"), "Failed to open mutex");
//   error.fullName();                                                      // "Error.NamedMutex.Failed+Error.System..."
//   LOG_ERROR_OBJ(error); error.raise();                                   // log with the source location, then throw
//
// Catch sites log `what()` (UTF-8).

#include "err/category.h"
#include "err/error.h"
#include "err/generic_error.h"
#include "err/system_error.h"
#include "err/text_conversion.h"
