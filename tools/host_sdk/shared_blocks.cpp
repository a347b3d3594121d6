#include "host_sdk/shared_blocks.h"

#include <cstring>
#include <stdexcept>

namespace bip = boost::interprocess;

namespace Overlay::Host {

SharedBlock::SharedBlock(const SharedId& id, size_t size)
    : id_(id), memory_(bip::create_only, Ipc::idToName(id).c_str(), bip::read_write, size),
      region_(memory_, bip::read_write)
{
}

void writeHeader(void* block, uint32_t size)
{
    auto* header = static_cast<Ipc::SharedHeader*>(block);
    header->size = size;
    header->version = Ipc::sharedVersion;
    header->magic = Ipc::sharedMagic;
    header->reserved = 0;
}

HostFrameBuffer::HostFrameBuffer(uint32_t capacity, const SharedId& id)
    : block_(id, static_cast<size_t>(Ipc::frameBufferBlockSize(capacity))), capacity_(capacity)
{
    writeHeader(block_.address(), static_cast<uint32_t>(Ipc::frameBufferBlockSize(capacity)));
    header()->id = id;
    header()->capacity = capacity;
}

std::unique_ptr<HostFrameBuffer> HostFrameBuffer::create(uint32_t capacity, const SharedId& id)
{
    if (Ipc::frameBufferBlockSize(capacity) > UINT32_MAX)
        throw std::length_error("FrameBuffer capacity too large");
    return std::unique_ptr<HostFrameBuffer>(new HostFrameBuffer(capacity, id));
}

void HostFrameBuffer::write(uint32_t width, uint32_t height, const void* bgra, size_t sourcePitch)
{
    if (uint64_t(width) * height > capacity_)
        throw std::length_error("frame larger than the FrameBuffer's capacity");
    const size_t rowBytes = size_t(width) * Ipc::bytesPerPixel;
    const auto* source = static_cast<const uint8_t*>(bgra);
    if (sourcePitch == rowBytes) {
        std::memcpy(pixels(), source, rowBytes * height);
    } else {
        for (uint32_t row = 0; row < height; ++row)
            std::memcpy(pixels() + row * rowBytes, source + row * sourcePitch, rowBytes);
    }
    header()->width = width;
    header()->height = height;
}

void HostFrameBuffer::setDirty(bool dirty)
{
    *static_cast<volatile uint8_t*>(&header()->dirty) = dirty ? 1 : 0;
}

bool HostFrameBuffer::dirty() const
{
    return Ipc::readShared(header()->dirty) != 0;
}

HostWindow::HostWindow(const SharedId& id) : block_(id, Ipc::sharedWindowSize), mutexId_(Ipc::makeSharedId())
{
    bool existed = false;
    mutex_.create(Ipc::idToName(mutexId_), false, &existed, nullptr, false);
    if (existed)
        throw std::runtime_error("Mutex already exists.");
    writeHeader(block_.address(), Ipc::sharedWindowSize);
    header()->mutexId = mutexId_;
}

std::unique_ptr<HostWindow> HostWindow::create(const SharedRect& rect, const SharedId& id)
{
    std::unique_ptr<HostWindow> window(new HostWindow(id));
    window->header()->rect = rect;
    return window;
}

void HostWindow::setRect(const SharedRect& rect)
{
    header()->rect = rect;
}

void HostWindow::setFrameBuffer(const SharedId& frameBufferId)
{
    header()->frameBufferId = frameBufferId;
}

void HostWindow::publishFrame(HostFrameBuffer& buffer, uint32_t width, uint32_t height, const void* bgra,
                              size_t sourcePitch)
{
    BlockLock guard(mutex_);
    buffer.write(width, height, bgra, sourcePitch);
    buffer.setDirty(true);
    setFrameBuffer(buffer.id());
}

std::unique_ptr<HostOverlay> HostOverlay::open(const std::string& name)
{
    std::unique_ptr<HostOverlay> overlay(new HostOverlay());
    bip::windows_shared_memory memory(bip::open_only, name.c_str(), bip::read_write);
    bip::mapped_region region(memory, bip::read_write);
    overlay->memory_.swap(memory);
    overlay->region_.swap(region);
    if (overlay->region_.get_size() < Ipc::sharedOverlaySize)
        throw std::runtime_error("Wrong data size");
    auto* header = static_cast<Ipc::SharedOverlayLayout*>(overlay->region_.get_address());
    if (header->header.magic != Ipc::sharedMagic)
        throw std::runtime_error("Wrong magic number");
    if (header->header.version != Ipc::sharedVersion)
        throw std::runtime_error("Unsupported version");
    if (header->header.size != Ipc::sharedOverlaySize)
        throw std::runtime_error("Wrong data size");
    overlay->header_ = header;
    overlay->mutex_.open(Ipc::idToName(Ipc::readShared(header->mutexId)), false);
    return overlay;
}

void HostOverlay::showWindow(const SharedId& windowId)
{
    BlockLock guard(mutex_);
    header_->windowId = windowId;
}

void HostOverlay::setCursor(uint32_t cursorType)
{
    BlockLock guard(mutex_);
    header_->cursorType = cursorType;
    header_->cursorChanged = 1;
}

}  // namespace Overlay::Host
