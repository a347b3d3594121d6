#pragma once

// Layout of the named shared-memory blocks that carry the overlay picture and the cursor
// choice between host and client. Both sides map these structures directly, so every size
// and offset below is fixed.

#include <cstddef>
#include <cstdint>
#include <string>

namespace Overlay::Ipc {

// 128-bit id of a block or mutex; its text (idToName) is the kernel object name.
struct SharedId
{
    uint64_t low = 0;
    uint64_t high = 0;

    bool isZero() const { return low == 0 && high == 0; }
    friend bool operator==(const SharedId& a, const SharedId& b) { return a.low == b.low && a.high == b.high; }
    friend bool operator!=(const SharedId& a, const SharedId& b) { return !(a == b); }
};

// 32 lower-case hex digits: the high word, then the low word, each zero-padded.
std::string idToName(const SharedId& id);

// A fresh random id from the process-wide generator (MT19937-64, seeded once from the
// system's random source). Thread-safe.
SharedId makeSharedId();

// A random 64-bit value from the same generator.
uint64_t makeRandom64();

constexpr uint32_t sharedMagic = 0x053A737D;
constexpr uint32_t sharedVersion = 1;

struct SharedHeader
{
    uint32_t size;
    uint32_t version;
    uint32_t magic;
    uint32_t reserved;
};

struct SharedRect
{
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;
};

// Created by the client; the host names the window to show and the cursor to use.
struct SharedOverlayLayout
{
    SharedHeader header;
    SharedId mutexId;
    SharedId windowId;  // all zero: no window
    uint32_t cursorType;
    uint8_t cursorChanged;
    uint8_t padding[3];
    uint8_t hostArea[49152];
};

// Created by the host for one overlay window.
struct SharedWindowLayout
{
    SharedHeader header;
    SharedId mutexId;  // guards the window block and its frame buffers
    SharedId frameBufferId;
    SharedRect rect;  // destination on the game's surface, in pixels
    uint8_t hostArea[8192];
};

// Created by the host; followed by `capacity` pixels (B, G, R, A bytes, rows of `width`).
struct FrameBufferLayout
{
    SharedHeader header;
    SharedId id;
    uint32_t width;
    uint32_t height;
    uint32_t capacity;
    uint8_t dirty;
    uint8_t padding[3];
    uint32_t hostField;
    uint8_t hostArea[32780];
};

constexpr uint32_t sharedOverlaySize = 49208;
constexpr uint32_t sharedWindowSize = 8256;
constexpr uint32_t frameBufferHeaderSize = 32832;
constexpr uint32_t bytesPerPixel = 4;

static_assert(sizeof(SharedHeader) == 16, "header layout");
static_assert(sizeof(SharedOverlayLayout) == sharedOverlaySize, "SharedOverlay layout");
static_assert(offsetof(SharedOverlayLayout, mutexId) == 16 && offsetof(SharedOverlayLayout, windowId) == 32 &&
                  offsetof(SharedOverlayLayout, cursorType) == 48 && offsetof(SharedOverlayLayout, cursorChanged) == 52,
              "SharedOverlay layout");
static_assert(sizeof(SharedWindowLayout) == sharedWindowSize, "SharedWindow layout");
static_assert(offsetof(SharedWindowLayout, mutexId) == 16 && offsetof(SharedWindowLayout, frameBufferId) == 32 &&
                  offsetof(SharedWindowLayout, rect) == 48,
              "SharedWindow layout");
static_assert(sizeof(FrameBufferLayout) == frameBufferHeaderSize, "FrameBuffer layout");
static_assert(offsetof(FrameBufferLayout, id) == 16 && offsetof(FrameBufferLayout, width) == 32 &&
                  offsetof(FrameBufferLayout, height) == 36 && offsetof(FrameBufferLayout, capacity) == 40 &&
                  offsetof(FrameBufferLayout, dirty) == 44 && offsetof(FrameBufferLayout, hostField) == 48,
              "FrameBuffer layout");

// Size a FrameBuffer block of `capacity` pixels must have, computed without overflow.
constexpr uint64_t frameBufferBlockSize(uint64_t capacity)
{
    return frameBufferHeaderSize + bytesPerPixel * capacity;
}

// The other process may change a field at any time; read it exactly once.
template <class T>
T readShared(const T& field)
{
    return *static_cast<const volatile T*>(&field);
}

inline SharedId readShared(const SharedId& field)
{
    const volatile SharedId* p = &field;
    SharedId id;
    id.low = p->low;
    id.high = p->high;
    return id;
}

inline SharedRect readShared(const SharedRect& field)
{
    const volatile SharedRect* p = &field;
    SharedRect rect;
    rect.left = p->left;
    rect.top = p->top;
    rect.right = p->right;
    rect.bottom = p->bottom;
    return rect;
}

}  // namespace Overlay::Ipc
