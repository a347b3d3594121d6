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

}  // namespace

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

BlockLock tryLockFor(NamedMutex& mutex, DWORD timeoutMs)
{
    if (!mutex.wait(timeoutMs))
        return BlockLock(mutex, std::defer_lock);
    return BlockLock(mutex, std::adopt_lock);
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
    openBlock(id, buffer->memory_, buffer->region_);
    checkFrameBufferHeader(buffer->region_.get_address(), buffer->region_.get_size());
    buffer->header_ = static_cast<FrameBufferLayout*>(buffer->region_.get_address());
    return buffer;
}

SharedId FrameBuffer::id() const
{
    return readShared(header_->id);
}

FrameView FrameBuffer::frame() const
{
    // Each field is read once; only the checked copies are used afterwards.
    const uint32_t width = readShared(header_->width);
    const uint32_t height = readShared(header_->height);
    const uint32_t capacity = readShared(header_->capacity);
    const uint64_t pixels = uint64_t(width) * height;
    const size_t viewSize = region_.get_size();
    if (pixels > capacity || frameBufferBlockSize(pixels) > viewSize || frameBufferBlockSize(width) > viewSize)
        wrongSize();

    FrameView view;
    view.width = width;
    view.height = height;
    view.pitch = width * bytesPerPixel;
    view.pixels = reinterpret_cast<const uint8_t*>(header_) + frameBufferHeaderSize;
    return view;
}

bool FrameBuffer::dirty() const
{
    return readShared(header_->dirty) != 0;
}

void FrameBuffer::clearDirty()
{
    *static_cast<volatile uint8_t*>(&header_->dirty) = 0;
}

std::unique_ptr<SharedWindow> SharedWindow::open(const SharedId& windowId)
{
    std::unique_ptr<SharedWindow> window(new SharedWindow(windowId));
    openBlock(windowId, window->memory_, window->region_);
    checkWindowHeader(window->region_.get_address(), window->region_.get_size());
    window->header_ = static_cast<SharedWindowLayout*>(window->region_.get_address());

    window->mutex_.open(idToName(readShared(window->header_->mutexId)), false);
    BlockLock lock(window->mutex_);
    window->currentFrameBuffer();
    return window;
}

SharedRect SharedWindow::rect() const
{
    return readShared(header_->rect);
}

FrameBuffer& SharedWindow::currentFrameBuffer()
{
    const SharedId named = readShared(header_->frameBufferId);
    if (!frameBuffer_ || frameBuffer_->id() != named) {
        try {
            frameBuffer_ = FrameBuffer::open(named);
        } catch (const bip::interprocess_exception& e) {
            // Not there (yet): keep showing the old one.
            if (e.get_error_code() != bip::not_found_error)
                throw;
        }
    }
    if (!frameBuffer_)
        throw std::logic_error("FrameBuffer is null");
    return *frameBuffer_;
}

std::shared_ptr<SharedOverlay> SharedOverlay::create()
{
    std::shared_ptr<SharedOverlay> overlay(new SharedOverlay());
    overlay->name_ = idToName(makeSharedId());

    const SharedId mutexId = makeSharedId();
    bool existed = false;
    overlay->mutex_.create(idToName(mutexId), false, &existed, nullptr, false);
    if (existed)
        throw std::runtime_error("Mutex already exists.");

    bip::windows_shared_memory memory(bip::create_only, overlay->name_.c_str(), bip::read_write, sharedOverlaySize);
    bip::mapped_region region(memory, bip::read_write);
    overlay->memory_.swap(memory);
    overlay->region_.swap(region);

    auto* header = static_cast<SharedOverlayLayout*>(overlay->region_.get_address());
    header->header.size = sharedOverlaySize;
    header->header.version = sharedVersion;
    header->header.magic = sharedMagic;
    header->cursorType = 0;
    header->cursorChanged = 1;
    header->mutexId = mutexId;
    overlay->header_ = header;
    return overlay;
}

SharedId SharedOverlay::windowId() const
{
    return readShared(header_->windowId);
}

uint32_t SharedOverlay::cursorType() const
{
    return readShared(header_->cursorType);
}

bool SharedOverlay::cursorChanged() const
{
    return readShared(header_->cursorChanged) != 0;
}

void SharedOverlay::setCursorChanged(bool changed)
{
    *static_cast<volatile uint8_t*>(&header_->cursorChanged) = changed ? 1 : 0;
}

}  // namespace Overlay::Ipc
