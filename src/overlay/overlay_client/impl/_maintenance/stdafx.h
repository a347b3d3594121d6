#pragma once

// Included first by every source file of the overlay client: the platform, the standard library
// parts used everywhere, logging (LOG_INFO(...) and friends) and the error family.

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "err/err.h"
#include "log/log.h"
#include "overlay/overlay_client/impl/_maintenance/errors.h"
#include "overlay/overlay_client/impl/_maintenance/guarded.h"
