#include "overlay/overlay_common/ipc/shared_checks.h"

#include <cstring>
#include <stdexcept>

namespace Overlay::Ipc {

namespace {

[[noreturn]] void wrongSize()
{
    throw std::runtime_error("Wrong data size");
}

// Magic and version; the caller checks the size, which depends on the kind of block.
const SharedHeader& checkCommonHeader(const void* address, size_t viewSize, size_t minimumReadable)
{
    if (!address)
        throw std::invalid_argument("Address is null");
    if (viewSize < minimumReadable)
        wrongSize();
    const auto& header = *static_cast<const SharedHeader*>(address);
    if (readShared(header.magic) != sharedMagic)
        throw std::runtime_error("Wrong magic number");
    if (readShared(header.version) != sharedVersion)
        throw std::runtime_error("Unsupported version");
    return header;
}

// The header's size must be the expected one and must not claim more than was mapped.
void checkSize(uint64_t claimed, uint64_t expected, size_t viewSize)
{
    if (claimed != expected || claimed > viewSize)
        wrongSize();
}

}  // namespace

void checkWindowHeader(const void* address, size_t viewSize)
{
    const SharedHeader& header = checkCommonHeader(address, viewSize, sizeof(SharedHeader));
    checkSize(readShared(header.size), sharedWindowSize, viewSize);
}

void checkFrameBufferHeader(const void* address, size_t viewSize)
{
    const SharedHeader& header =
        checkCommonHeader(address, viewSize, offsetof(FrameBufferLayout, capacity) + sizeof(uint32_t));
    const auto& layout = *static_cast<const FrameBufferLayout*>(address);
    const uint32_t capacity = readShared(layout.capacity);
    checkSize(readShared(header.size), frameBufferBlockSize(capacity), viewSize);
    if (uint64_t(readShared(layout.width)) * readShared(layout.height) > capacity)
        wrongSize();
}

FrameView checkedFrame(const FrameBufferLayout& header, size_t viewSize)
{
    // Each field is read once; only the checked copies are used afterwards.
    const uint32_t width = readShared(header.width);
    const uint32_t height = readShared(header.height);
    const uint32_t capacity = readShared(header.capacity);
    const uint64_t pixels = uint64_t(width) * height;
    if (pixels > capacity || frameBufferBlockSize(pixels) > viewSize || frameBufferBlockSize(width) > viewSize)
        wrongSize();

    FrameView view;
    view.width = width;
    view.height = height;
    view.pitch = width * bytesPerPixel;
    view.pixels = reinterpret_cast<const uint8_t*>(&header) + frameBufferHeaderSize;
    return view;
}

void FrameView::copyTo(uint8_t* destination, size_t destinationPitch) const
{
    if (destinationPitch == pitch) {
        std::memcpy(destination, pixels, size_t(pitch) * height);
        return;
    }
    for (uint32_t row = 0; row < height; ++row)
        std::memcpy(destination + row * destinationPitch, pixels + size_t(row) * pitch, pitch);
}

}  // namespace Overlay::Ipc
