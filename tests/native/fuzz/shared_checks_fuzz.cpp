// The host's shared-memory headers as the client checks them. The first four bytes give the
// size of the view (bounded); the rest fill it, zeros beyond. A header that passes must
// describe a frame inside the view: its rows are copied out, and the address sanitizer
// reports any byte read beyond the view. Failures must be the documented ones.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "overlay/overlay_common/ipc/shared_checks.h"

using namespace Overlay::Ipc;

namespace {

// True when `check` passed; aborts on a failure other than the documented ones.
template <class Check>
bool passes(Check check)
{
    try {
        check();
        return true;
    } catch (const std::invalid_argument& e) {
        if (std::string(e.what()) == "Address is null")
            return false;
        std::fprintf(stderr, "unexpected invalid_argument: %s\n", e.what());
    } catch (const std::runtime_error& e) {
        const std::string what = e.what();
        if (what == "Wrong magic number" || what == "Unsupported version" || what == "Wrong data size")
            return false;
        std::fprintf(stderr, "unexpected runtime_error: %s\n", what.c_str());
    }
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    uint32_t viewSize = 0;
    if (size < sizeof viewSize)
        return 0;
    std::memcpy(&viewSize, data, sizeof viewSize);
    viewSize %= frameBufferHeaderSize + 64 * 1024 + 1;
    std::unique_ptr<uint8_t[]> view(new uint8_t[viewSize]());
    std::memcpy(view.get(), data + sizeof viewSize, std::min<size_t>(viewSize, size - sizeof viewSize));
    const void* address = viewSize != 0 ? view.get() : nullptr;

    passes([&] { checkWindowHeader(address, viewSize); });
    if (!passes([&] { checkFrameBufferHeader(address, viewSize); }))
        return 0;
    FrameView frame;
    if (!passes([&] { frame = checkedFrame(*static_cast<const FrameBufferLayout*>(address), viewSize); }))
        return 0;
    if (frame.width == 0 || frame.height == 0)
        return 0;  // an empty frame is never copied
    // Both copy paths: rows packed, and rows further apart than the frame's pitch.
    std::vector<uint8_t> packed(size_t(frame.pitch) * frame.height + 1);
    frame.copyTo(packed.data(), frame.pitch);
    std::vector<uint8_t> spaced((size_t(frame.pitch) + 4) * frame.height + 1);
    frame.copyTo(spaced.data(), size_t(frame.pitch) + 4);
    return 0;
}
