#include "host_sdk/shared_blocks.h"

#include <cstring>
#include <stdexcept>

namespace bip = boost::interprocess;

namespace Overlay::Host {

SharedBlock::SharedBlock(const SharedId& id, size_t size)
    : m_id(id),
      m_memory(bip::create_only, Ipc::idToName(id).c_str(), bip::read_write, size),
      m_region(m_memory, bip::read_write)
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
    : m_block(id, static_cast<size_t>(Ipc::frameBufferBlockSize(capacity))), m_capacity(capacity)
{
    writeHeader(m_block.address(), static_cast<uint32_t>(Ipc::frameBufferBlockSize(capacity)));
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
    if (uint64_t(width) * height > m_capacity)
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

HostWindow::HostWindow(const SharedId& id) : m_block(id, Ipc::sharedWindowSize), m_mutexId(Ipc::makeSharedId())
{
    bool existed = false;
    m_mutex.create(Ipc::idToName(m_mutexId), false, &existed, nullptr, false);
    if (existed)
        throw std::runtime_error("Mutex already exists.");
    writeHeader(m_block.address(), Ipc::sharedWindowSize);
    header()->mutexId = m_mutexId;
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
    BlockLock guard(m_mutex);
    buffer.write(width, height, bgra, sourcePitch);
    buffer.setDirty(true);
    setFrameBuffer(buffer.id());
}

std::unique_ptr<HostOverlay> HostOverlay::open(const std::string& name)
{
    std::unique_ptr<HostOverlay> overlay(new HostOverlay());
    bip::windows_shared_memory memory(bip::open_only, name.c_str(), bip::read_write);
    bip::mapped_region region(memory, bip::read_write);
    overlay->m_memory.swap(memory);
    overlay->m_region.swap(region);
    if (overlay->m_region.get_size() < Ipc::sharedOverlaySize)
        throw std::runtime_error("Wrong data size");
    auto* header = static_cast<Ipc::SharedOverlayLayout*>(overlay->m_region.get_address());
    if (header->header.magic != Ipc::sharedMagic)
        throw std::runtime_error("Wrong magic number");
    if (header->header.version != Ipc::sharedVersion)
        throw std::runtime_error("Unsupported version");
    if (header->header.size != Ipc::sharedOverlaySize)
        throw std::runtime_error("Wrong data size");
    overlay->m_header = header;
    overlay->m_mutex.open(Ipc::idToName(Ipc::readShared(header->mutexId)), false);
    return overlay;
}

void HostOverlay::showWindow(const SharedId& windowId)
{
    BlockLock guard(m_mutex);
    m_header->windowId = windowId;
}

void HostOverlay::setCursor(uint32_t cursorType)
{
    BlockLock guard(m_mutex);
    m_header->cursorType = cursorType;
    m_header->cursorChanged = 1;
}

} // namespace Overlay::Host
