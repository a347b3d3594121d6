#pragma once

// Checks of the host's shared-memory headers. They depend on nothing but the mapped bytes and
// the size of the view, so they build and are fuzzed on any platform.

#include <cstddef>
#include <cstdint>

#include "overlay/overlay_common/ipc/shared_layout.h"

namespace Overlay::Ipc {

// The pixels of one frame as they were when the frame was taken: width and height were read
// once and checked against the capacity and the mapping, so copying `height` rows of
// `width` pixels from `pixels` stays inside the mapping whatever the host writes meanwhile.
struct FrameView
{
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t pitch = 0;  // bytes per row, 4 * width
    const uint8_t* pixels = nullptr;

    // Address of pixel (x, y); x < width and y < height are the caller's to ensure.
    const uint8_t* pixel(uint32_t x, uint32_t y) const { return pixels + (size_t(y) * width + x) * bytesPerPixel; }
    // Copies all rows into `destination`, whose rows are `destinationPitch` bytes apart.
    void copyTo(uint8_t* destination, size_t destinationPitch) const;
};

// Header checks shared by client and tests. The view must hold `minimumReadable` bytes for
// the fields to be read at all; then magic, version and size are checked in that order.
// Throws std::invalid_argument("Address is null") or std::runtime_error("Wrong magic
// number" / "Unsupported version" / "Wrong data size").
void checkWindowHeader(const void* address, size_t viewSize);
void checkFrameBufferHeader(const void* address, size_t viewSize);

// The frame a checked frame buffer header describes now, each field read once; throws
// std::runtime_error("Wrong data size") when it no longer fits the capacity or the view.
FrameView checkedFrame(const FrameBufferLayout& header, size_t viewSize);

}  // namespace Overlay::Ipc
