#include "overlay/overlay_common/ipc/shared_memory.h"

#include <cstdio>
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

// Opens a block by id and maps all of it for reading and writing.
void openBlock(const SharedId& id, bip::windows_shared_memory& memory, bip::mapped_region& region)
{
    const std::string name = idToName(id);
    bip::windows_shared_memory opened(bip::open_only, name.c_str(), bip::read_write);
    bip::mapped_region mapped(opened, bip::read_write);
    memory.swap(opened);
    region.swap(mapped);
}

// Every page of a mapped block is backed: a host's section made with SEC_RESERVE whose pages it never
// committed would fault on the first read of one. A section's pages are never decommitted, so a look
// when the block is opened holds for its life.
void checkCommitted(const bip::mapped_region& region)
{
    const auto* at = static_cast<const uint8_t*>(region.get_address());
    const uint8_t* const end = at + region.get_size();
    while (at < end) {
        MEMORY_BASIC_INFORMATION pages{};
        if (VirtualQuery(at, &pages, sizeof pages) == 0 || pages.State != MEM_COMMIT)
            throw std::runtime_error("Memory not committed");
        at = static_cast<const uint8_t*>(pages.BaseAddress) + pages.RegionSize;
    }
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

BlockLock tryLockFor(NamedMutex& mutex, DWORD timeoutMs)
{
    if (!mutex.wait(timeoutMs))
        return BlockLock(mutex, std::defer_lock);
    return BlockLock(mutex, std::adopt_lock);
}

std::unique_ptr<FrameBuffer> FrameBuffer::open(const SharedId& id)
{
    std::unique_ptr<FrameBuffer> buffer(new FrameBuffer());
    openBlock(id, buffer->memory_, buffer->region_);
    checkCommitted(buffer->region_);
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
    return checkedFrame(*header_, region_.get_size());
}

bool FrameBuffer::dirty() const
{
    return readShared(header_->dirty) != 0;
}

void FrameBuffer::clearDirty()
{
    *static_cast<volatile uint8_t*>(&header_->dirty) = 0;
}

std::unique_ptr<SharedWindow> SharedWindow::open(const SharedId& windowId, DWORD lockTimeoutMs)
{
    std::unique_ptr<SharedWindow> window(new SharedWindow(windowId));
    openBlock(windowId, window->memory_, window->region_);
    checkCommitted(window->region_);
    checkWindowHeader(window->region_.get_address(), window->region_.get_size());
    window->header_ = static_cast<SharedWindowLayout*>(window->region_.get_address());

    window->mutex_.open(idToName(readShared(window->header_->mutexId)), false);
    if (const BlockLock lock = tryLockFor(window->mutex_, lockTimeoutMs); lock.owns_lock())
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
