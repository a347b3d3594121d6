#pragma once

#include "err/err.h"
#include "overlay/overlay_client/overlay_client_api_result.h"

namespace Overlay {
namespace Errors {

struct Base_traits
{
    using Parent = Err::Error2;
    static constexpr const char* namePart = "Base";
};
using Base = Err::GenericError<Base_traits>;  // "Error.Base"

struct Failed_traits
{
    using Parent = Base;
    static constexpr const char* namePart = "Failed";
};
using Failed = Err::GenericError<Failed_traits>;  // "Error.Base.Failed"

using FailedNamedArgumentsSet = Err::ArgumentsSet<OverlayClientApi::Result>;

// The application's failure: an Error.Base.Failed that carries the result code to return.
//   throw Overlay::Errors::FailedWithResult(OverlayClientApi::HooksNotAttached, "mandatory hooks were not attached");
using FailedWithResult = Err::GenericErrorEx<Failed_traits, FailedNamedArgumentsSet, OverlayClientApi::Result>;

// The result code an exception carries, or `otherwise` when it carries none.
inline OverlayClientApi::Result resultOf(const std::exception& error, OverlayClientApi::Result otherwise)
{
    const auto* arguments = dynamic_cast<const FailedNamedArgumentsSet*>(&error);
    return arguments != nullptr ? arguments->get<OverlayClientApi::Result>() : otherwise;
}

}  // namespace Errors
}  // namespace Overlay
