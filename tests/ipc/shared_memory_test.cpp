#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/interprocess/exceptions.hpp>

#include "host_sdk/shared_blocks.h"
#include "ipc_test_support.h"
#include "overlay/overlay_common/ipc/shared_memory.h"

using namespace Overlay;
using Ipc::SharedId;

namespace {

// The text of the std::exception `action` throws ("" when none).
std::string failureOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const std::exception& e) {
        return e.what();
    }
    return {};
}

// A window block holding a frame.
std::unique_ptr<Host::HostWindow> windowWithFrame(Host::HostFrameBuffer& buffer, uint32_t width, uint32_t height)
{
    auto window = Host::HostWindow::create({0, 0, int32_t(width), int32_t(height)});
    const std::vector<uint32_t> pixels(size_t(width) * height, 0xFF336699u);
    window->publishFrame(buffer, width, height, pixels.data(), width * 4);
    return window;
}

}  // namespace

TEST(FrameBufferHeader, SizeMustMatchCapacityAndFitTheMapping)
{
    struct Spoilt
    {
        const char* name;
        uint32_t capacity;
        std::function<void(Ipc::FrameBufferLayout&)> spoil;
    };
    const Spoilt cases[] = {
        {"size and capacity disagree", 100, [](Ipc::FrameBufferLayout& h) { h.header.size += 4; }},
        {"the mapping is far smaller than the header claims", 1000,
         [](Ipc::FrameBufferLayout& h) {
             h.capacity = 4 * 1000 * 1000;
             h.header.size = uint32_t(Ipc::frameBufferBlockSize(h.capacity));
         }},
        {"a capacity whose byte count wraps around 32 bits", 16,
         [](Ipc::FrameBufferLayout& h) { h.capacity = 0x40000000u + 16; }},
        {"width x height over capacity", 100,
         [](Ipc::FrameBufferLayout& h) {
             h.width = 11;
             h.height = 10;
         }},
        {"width x height wrapping to 0", 100, [](Ipc::FrameBufferLayout& h) { h.width = h.height = 0x10000; }},
    };
    for (const Spoilt& c : cases) {
        SCOPED_TRACE(c.name);
        auto buffer = Host::HostFrameBuffer::create(c.capacity);
        c.spoil(*buffer->header());
        EXPECT_EQ(failureOf([&] { Ipc::FrameBuffer::open(buffer->id()); }), "Wrong data size");
    }
}

TEST(FrameBufferRead, UsesTheSizeAsCheckedWhenTheHostRewritesIt)
{
    auto buffer = Host::HostFrameBuffer::create(32);
    auto window = windowWithFrame(*buffer, 8, 4);
    auto client = Ipc::SharedWindow::open(window->id());
    auto lock = client->lock();
    Ipc::FrameBuffer& frameBuffer = client->currentFrameBuffer();
    const Ipc::FrameView frame = frameBuffer.frame();
    EXPECT_EQ(frame.width, 8u);
    EXPECT_EQ(frame.height, 4u);
    EXPECT_EQ(frame.pitch, 32u);

    // A host writing without the mutex: the view taken before keeps its checked size, and
    // the next frame taken fails instead of reading past the mapping.
    buffer->header()->height = 1000000;
    EXPECT_EQ(frame.height, 4u);
    EXPECT_EQ(failureOf([&] { frameBuffer.frame(); }), "Wrong data size");
    // One row past the capacity: still inside the mapped pages, but past what the host sized.
    buffer->header()->height = 5;
    EXPECT_EQ(failureOf([&] { frameBuffer.frame(); }), "Wrong data size");
    buffer->header()->height = 2;
    buffer->header()->capacity = 0xFFFFFFFFu;
    buffer->header()->width = 0x7FFFFFFFu;
    EXPECT_EQ(failureOf([&] { frameBuffer.frame(); }), "Wrong data size");
}

TEST(SharedWindow, OpenFailsForAMissingWindowOrAMissingFirstFrameBuffer)
{
    try {
        Ipc::SharedWindow::open(Ipc::makeSharedId());
        FAIL() << "opened a window that does not exist";
    } catch (const boost::interprocess::interprocess_exception& e) {
        EXPECT_EQ(e.get_error_code(), boost::interprocess::not_found_error);
    }
    auto window = Host::HostWindow::create({0, 0, 1, 1});
    {
        auto lock = window->lock();
        window->setFrameBuffer(Ipc::makeSharedId());
    }
    EXPECT_EQ(failureOf([&] { Ipc::SharedWindow::open(window->id()); }), "FrameBuffer is null");
}

TEST(SharedWindow, FollowsTheFrameBufferTheHostNames)
{
    auto first = Host::HostFrameBuffer::create(4);
    auto window = windowWithFrame(*first, 2, 2);
    auto client = Ipc::SharedWindow::open(window->id());
    auto lock = client->lock();
    EXPECT_EQ(client->currentFrameBuffer().id(), first->id());
    EXPECT_TRUE(client->currentFrameBuffer().dirty());
    client->currentFrameBuffer().clearDirty();
    EXPECT_FALSE(first->dirty());

    // Named but not there: the old buffer stays in use.
    window->setFrameBuffer(Ipc::makeSharedId());
    EXPECT_EQ(client->currentFrameBuffer().id(), first->id());
    auto second = Host::HostFrameBuffer::create(9);
    window->setFrameBuffer(second->id());
    EXPECT_EQ(client->currentFrameBuffer().id(), second->id());
}
