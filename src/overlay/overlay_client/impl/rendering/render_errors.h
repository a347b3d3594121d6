#pragma once

#include <windows.h>

namespace Overlay::Rendering {

// Raises a failed device call (negative HRESULT) as a system error carrying the HRESULT and a
// message naming the call.
void throwIfFailed(HRESULT hr, const char* message);

}  // namespace Overlay::Rendering
