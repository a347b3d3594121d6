#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include <boost/interprocess/mapped_region.hpp>
#include <boost/interprocess/windows_shared_memory.hpp>

#include "overlay/overlay_common/ipc/named_mutex.h"
#include "overlay/overlay_common/ipc/shared_checks.h"
#include "overlay/overlay_common/ipc/shared_layout.h"

namespace Overlay::Ipc {

using BlockLock = std::unique_lock<NamedMutex>;

// The mutex taken within `timeoutMs`, or a lock that owns nothing (`owns_lock()` false) when the
// host held it longer: a game thread must never wait on the host without bound.
BlockLock tryLockFor(NamedMutex& mutex, DWORD timeoutMs);

// One frame of one overlay window, created by the host and opened by id.
class FrameBuffer
{
public:
    // Opens and checks the block; throws boost::interprocess::interprocess_exception when it
    // cannot be opened, std::runtime_error / std::invalid_argument when its header is wrong.
    static std::unique_ptr<FrameBuffer> open(const SharedId& id);

    // The block's own id as its header states it.
    SharedId id() const;
    // The current frame; throws std::runtime_error("Wrong data size") when the host's size
    // fields no longer fit. Call with the window's mutex held.
    FrameView frame() const;
    uint32_t width() const { return frame().width; }
    uint32_t height() const { return frame().height; }
    uint32_t pitch() const { return frame().pitch; }
    bool dirty() const;
    void clearDirty();
    size_t mappedSize() const { return region_.get_size(); }

private:
    FrameBuffer() = default;

    boost::interprocess::windows_shared_memory memory_;
    boost::interprocess::mapped_region region_;
    FrameBufferLayout* header_ = nullptr;
};

// One overlay window, created by the host and opened by the id the SharedOverlay names. It
// keeps the frame buffer the window currently names open.
class SharedWindow
{
public:
    // Opens the block and its mutex and the frame buffer it names. Throws like
    // FrameBuffer::open, and std::logic_error("FrameBuffer is null") when the named frame
    // buffer does not exist. When the host holds the mutex past `lockTimeoutMs`, the frame
    // buffer is left to the first currentFrameBuffer().
    static std::unique_ptr<SharedWindow> open(const SharedId& windowId, DWORD lockTimeoutMs = INFINITE);

    const SharedId& id() const { return id_; }
    BlockLock lock() { return BlockLock(mutex_); }
    BlockLock tryLock(DWORD timeoutMs) { return tryLockFor(mutex_, timeoutMs); }

    // The following need the lock.
    SharedRect rect() const;
    // The frame buffer the window names now; a newly named one replaces the old one once it
    // can be opened. Throws std::logic_error("FrameBuffer is null") when none is open.
    FrameBuffer& currentFrameBuffer();

private:
    explicit SharedWindow(const SharedId& id) : id_(id) {}

    SharedId id_;
    boost::interprocess::windows_shared_memory memory_;
    boost::interprocess::mapped_region region_;
    std::unique_ptr<FrameBuffer> frameBuffer_;
    NamedMutex mutex_;
    SharedWindowLayout* header_ = nullptr;
};

// The client's own block, announced to the host at registration: the host writes which
// window to show and which cursor to use.
class SharedOverlay
{
public:
    // Creates the block and its mutex under fresh random names.
    static std::shared_ptr<SharedOverlay> create();

    const std::string& name() const { return name_; }
    const std::string& mutexName() const { return mutex_.name(); }
    BlockLock lock() { return BlockLock(mutex_); }
    BlockLock tryLock(DWORD timeoutMs) { return tryLockFor(mutex_, timeoutMs); }

    // The following need the lock.
    SharedId windowId() const;
    uint32_t cursorType() const;
    bool cursorChanged() const;
    void setCursorChanged(bool changed);

private:
    SharedOverlay() = default;

    std::string name_;
    NamedMutex mutex_;
    boost::interprocess::windows_shared_memory memory_;
    boost::interprocess::mapped_region region_;
    SharedOverlayLayout* header_ = nullptr;
};

}  // namespace Overlay::Ipc
