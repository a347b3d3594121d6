#include "overlay/overlay_common/ipc/shared_memory.h"

#include <cstdio>
#include <cstring>
#include <random>
#include <stdexcept>

namespace bip = boost::interprocess;

namespace Overlay::Ipc {

namespace {

std::mt19937_64& generator()
{
    static std::mt19937_64 engine(std::random_device{}());
    return engine;
}

std::mutex& generatorMutex()
{
    static std::mutex mutex;
    return mutex;
}

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

// Opens a block by id and maps all of it for reading and writing.
void openBlock(const SharedId& id, bip::windows_shared_memory& memory, bip::mapped_region& region)
{
    const std::string name = idToName(id);
    bip::windows_shared_memory opened(bip::open_only, name.c_str(), bip::read_write);
    bip::mapped_region mapped(opened, bip::read_write);
    memory.swap(opened);
    region.swap(mapped);
}

} // namespace

std::string idToName(const SharedId& id)
{
    char text[33];
    std::snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(id.high),
                  static_cast<unsigned long long>(id.low));
    return std::string(text, 32);
}

SharedId makeSharedId()
{
    std::lock_guard<std::mutex> lock(generatorMutex());
    SharedId id;
    id.low = generator()();
    id.high = generator()();
    return id;
}

uint64_t makeRandom64()
{
    std::lock_guard<std::mutex> lock(generatorMutex());
    return generator()();
}

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

void FrameView::copyTo(uint8_t* destination, size_t destinationPitch) const
{
    if (destinationPitch == pitch) {
        std::memcpy(destination, pixels, size_t(pitch) * height);
        return;
    }
    for (uint32_t row = 0; row < height; ++row)
        std::memcpy(destination + row * destinationPitch, pixels + size_t(row) * pitch, pitch);
}

std::unique_ptr<FrameBuffer> FrameBuffer::open(const SharedId& id)
{
    std::unique_ptr<FrameBuffer> buffer(new FrameBuffer());
    openBlock(id, buffer->m_memory, buffer->m_region);
    checkFrameBufferHeader(buffer->m_region.get_address(), buffer->m_region.get_size());
    buffer->m_header = static_cast<FrameBufferLayout*>(buffer->m_region.get_address());
    return buffer;
}

SharedId FrameBuffer::id() const
{
    return readShared(m_header->id);
}

FrameView FrameBuffer::frame() const
{
    // Each field is read once; only the checked copies are used afterwards.
    const uint32_t width = readShared(m_header->width);
    const uint32_t height = readShared(m_header->height);
    const uint32_t capacity = readShared(m_header->capacity);
    const uint64_t pixels = uint64_t(width) * height;
    const size_t viewSize = m_region.get_size();
    if (pixels > capacity || frameBufferBlockSize(pixels) > viewSize || frameBufferBlockSize(width) > viewSize)
        wrongSize();

    FrameView view;
    view.width = width;
    view.height = height;
    view.pitch = width * bytesPerPixel;
    view.pixels = reinterpret_cast<const uint8_t*>(m_header) + frameBufferHeaderSize;
    return view;
}

bool FrameBuffer::dirty() const
{
    return readShared(m_header->dirty) != 0;
}

void FrameBuffer::clearDirty()
{
    *static_cast<volatile uint8_t*>(&m_header->dirty) = 0;
}

std::unique_ptr<SharedWindow> SharedWindow::open(const SharedId& windowId)
{
    std::unique_ptr<SharedWindow> window(new SharedWindow(windowId));
    openBlock(windowId, window->m_memory, window->m_region);
    checkWindowHeader(window->m_region.get_address(), window->m_region.get_size());
    window->m_header = static_cast<SharedWindowLayout*>(window->m_region.get_address());

    window->m_mutex.open(idToName(readShared(window->m_header->mutexId)), false);
    BlockLock lock(window->m_mutex);
    window->currentFrameBuffer();
    return window;
}

SharedRect SharedWindow::rect() const
{
    return readShared(m_header->rect);
}

FrameBuffer& SharedWindow::currentFrameBuffer()
{
    const SharedId named = readShared(m_header->frameBufferId);
    if (!m_frameBuffer || m_frameBuffer->id() != named) {
        try {
            m_frameBuffer = FrameBuffer::open(named);
        } catch (const bip::interprocess_exception& e) {
            // Not there (yet): keep showing the old one.
            if (e.get_error_code() != bip::not_found_error)
                throw;
        }
    }
    if (!m_frameBuffer)
        throw std::logic_error("FrameBuffer is null");
    return *m_frameBuffer;
}

std::shared_ptr<SharedOverlay> SharedOverlay::create()
{
    std::shared_ptr<SharedOverlay> overlay(new SharedOverlay());
    overlay->m_name = idToName(makeSharedId());

    const SharedId mutexId = makeSharedId();
    bool existed = false;
    overlay->m_mutex.create(idToName(mutexId), false, &existed, nullptr, false);
    if (existed)
        throw std::runtime_error("Mutex already exists.");

    bip::windows_shared_memory memory(bip::create_only, overlay->m_name.c_str(), bip::read_write,
                                      sharedOverlaySize);
    bip::mapped_region region(memory, bip::read_write);
    overlay->m_memory.swap(memory);
    overlay->m_region.swap(region);

    auto* header = static_cast<SharedOverlayLayout*>(overlay->m_region.get_address());
    header->header.size = sharedOverlaySize;
    header->header.version = sharedVersion;
    header->header.magic = sharedMagic;
    header->cursorType = 0;
    header->cursorChanged = 1;
    header->mutexId = mutexId;
    overlay->m_header = header;
    return overlay;
}

SharedId SharedOverlay::windowId() const
{
    return readShared(m_header->windowId);
}

uint32_t SharedOverlay::cursorType() const
{
    return readShared(m_header->cursorType);
}

bool SharedOverlay::cursorChanged() const
{
    return readShared(m_header->cursorChanged) != 0;
}

void SharedOverlay::setCursorChanged(bool changed)
{
    *static_cast<volatile uint8_t*>(&m_header->cursorChanged) = changed ? 1 : 0;
}

} // namespace Overlay::Ipc
