#pragma once

// Host side of the shared overlay memory: creating and writing the SharedWindow and
// FrameBuffer blocks a client reads, and writing into the SharedOverlay block a client
// announced at registration.
//
// Typical host loop for one overlay window:
//
//     auto window = Overlay::Host::HostWindow::create({0, 0, 800, 600});
//     auto buffer = Overlay::Host::HostFrameBuffer::create(800 * 600);
//     window->publishFrame(*buffer, 800, 600, pixels, 800 * 4);   // under the window mutex
//     auto overlay = Overlay::Host::HostOverlay::open(clientInfo.shmemName);
//     overlay->showWindow(window->id());                            // under the overlay mutex
//
// Keep every block object alive while a client may open it: a block ceases to exist when
// its last handle closes. Locking order when both are needed: the overlay's mutex first,
// then the window's.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <boost/interprocess/mapped_region.hpp>
#include <boost/interprocess/windows_shared_memory.hpp>

#include "overlay/overlay_common/ipc/named_mutex.h"
#include "overlay/overlay_common/ipc/shared_layout.h"
#include "overlay/overlay_common/ipc/shared_memory.h"

namespace Overlay::Host {

using Ipc::BlockLock;
using Ipc::SharedId;
using Ipc::SharedRect;

// A named, paging-file backed mapping of `size` bytes, mapped read-write, zero-filled. The
// base of the typed blocks below; tests also use it to build malformed blocks.
class SharedBlock
{
public:
    SharedBlock(const SharedId& id, size_t size);
    SharedBlock(const SharedBlock&) = delete;
    SharedBlock& operator=(const SharedBlock&) = delete;

    const SharedId& id() const { return id_; }
    std::string name() const { return Ipc::idToName(id_); }
    void* address() const { return region_.get_address(); }
    // Size of the view as mapped (the system may round the requested size up to pages).
    size_t mappedSize() const { return region_.get_size(); }

private:
    SharedId id_;
    boost::interprocess::windows_shared_memory memory_;
    boost::interprocess::mapped_region region_;
};

// Writes a valid common header (size, version 1, magic) at the start of a block.
void writeHeader(void* block, uint32_t size);

class HostFrameBuffer
{
public:
    // A FrameBuffer block for up to `capacity` pixels, with a valid header naming its own id.
    static std::unique_ptr<HostFrameBuffer> create(uint32_t capacity, const SharedId& id = Ipc::makeSharedId());

    const SharedId& id() const { return block_.id(); }
    uint32_t capacity() const { return capacity_; }
    Ipc::FrameBufferLayout* header() const { return static_cast<Ipc::FrameBufferLayout*>(block_.address()); }
    uint8_t* pixels() const { return static_cast<uint8_t*>(block_.address()) + Ipc::frameBufferHeaderSize; }
    size_t mappedSize() const { return block_.mappedSize(); }

    // Copies a BGRA frame in and sets width and height; the caller holds the window's mutex.
    // Throws std::length_error when width x height exceeds the capacity.
    void write(uint32_t width, uint32_t height, const void* bgra, size_t sourcePitch);
    void setDirty(bool dirty);
    bool dirty() const;

private:
    HostFrameBuffer(uint32_t capacity, const SharedId& id);

    SharedBlock block_;
    uint32_t capacity_;
};

class HostWindow
{
public:
    // A SharedWindow block with its mutex (created under a fresh name) and no frame buffer yet.
    static std::unique_ptr<HostWindow> create(const SharedRect& rect, const SharedId& id = Ipc::makeSharedId());

    const SharedId& id() const { return block_.id(); }
    const SharedId& mutexId() const { return mutexId_; }
    Ipc::SharedWindowLayout* header() const { return static_cast<Ipc::SharedWindowLayout*>(block_.address()); }
    BlockLock lock() { return BlockLock(mutex_); }

    // These need the lock.
    void setRect(const SharedRect& rect);
    void setFrameBuffer(const SharedId& frameBufferId);

    // Under the window's mutex: writes the frame into `buffer`, marks it dirty and names it
    // as the window's current frame buffer.
    void publishFrame(HostFrameBuffer& buffer, uint32_t width, uint32_t height, const void* bgra, size_t sourcePitch);

private:
    explicit HostWindow(const SharedId& id);

    SharedBlock block_;
    SharedId mutexId_;
    Ipc::NamedMutex mutex_;
};

// The client's SharedOverlay block, opened by the name the client sent in
// ClientInfo.shmemName.
class HostOverlay
{
public:
    static std::unique_ptr<HostOverlay> open(const std::string& name);

    Ipc::SharedOverlayLayout* header() const { return header_; }
    BlockLock lock() { return BlockLock(mutex_); }

    // Each takes the overlay's mutex itself.
    void showWindow(const SharedId& windowId);
    void hideWindow() { showWindow(SharedId{}); }
    void setCursor(uint32_t cursorType);

private:
    HostOverlay() = default;

    boost::interprocess::windows_shared_memory memory_;
    boost::interprocess::mapped_region region_;
    Ipc::SharedOverlayLayout* header_ = nullptr;
    Ipc::NamedMutex mutex_;
};

}  // namespace Overlay::Host
