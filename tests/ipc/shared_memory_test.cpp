#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>

#include <boost/interprocess/exceptions.hpp>

#include "host_sdk/shared_blocks.h"
#include "overlay/overlay_common/ipc/shared_memory.h"
#include "peer_process.h"
#include "test_pattern.h"

using namespace Overlay;
using Ipc::SharedId;

namespace {

// Runs `action` and returns the text of the std::exception it throws ("" when none).
std::string failureOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const std::exception& e) {
        return e.what();
    }
    return {};
}

// A block with a valid SharedWindow header that tests then spoil.
struct RawWindow
{
    RawWindow() : block(Ipc::makeSharedId(), Ipc::sharedWindowSize)
    {
        Host::writeHeader(block.address(), Ipc::sharedWindowSize);
    }
    Ipc::SharedWindowLayout* header() { return static_cast<Ipc::SharedWindowLayout*>(block.address()); }
    std::string open() { return failureOf([&] { Ipc::SharedWindow::open(block.id()); }); }

    Host::SharedBlock block;
};

std::string openFrameBuffer(const SharedId& id)
{
    return failureOf([&] { Ipc::FrameBuffer::open(id); });
}

} // namespace

TEST(SharedIds, NameIsHighWordThenLowWordInLowerCaseHex)
{
    SharedId id;
    id.low = 0x1;
    id.high = 0x0123456789abcdef;
    EXPECT_EQ(Ipc::idToName(id), "0123456789abcdef0000000000000001");
    EXPECT_EQ(Ipc::idToName(SharedId{1, 0}), std::string(31, '0') + "1");

    const SharedId a = Ipc::makeSharedId();
    const SharedId b = Ipc::makeSharedId();
    EXPECT_NE(a, b);
    EXPECT_FALSE(a.isZero());
}

TEST(SharedWindowHeader, ChecksMagicThenVersionThenSize)
{
    EXPECT_EQ(failureOf([] { Ipc::checkWindowHeader(nullptr, 0); }), "Address is null");
    {
        RawWindow window;
        window.header()->header.size = 8257;
        EXPECT_EQ(window.open(), "Wrong data size");
    }
    {
        RawWindow window;
        window.header()->header.size = 8257;
        window.header()->header.version = 2;
        EXPECT_EQ(window.open(), "Unsupported version");
    }
    {
        RawWindow window;
        window.header()->header.size = 1;
        window.header()->header.version = 7;
        window.header()->header.magic = 0x12345678;
        EXPECT_EQ(window.open(), "Wrong magic number");
    }
}

TEST(FrameBufferHeader, SizeMustMatchCapacityAndFitTheMapping)
{
    {
        auto buffer = Host::HostFrameBuffer::create(100);
        buffer->header()->header.size += 4;
        EXPECT_EQ(openFrameBuffer(buffer->id()), "Wrong data size");
    }
    {
        // Size and capacity agree, but the mapping is far smaller than they claim.
        auto buffer = Host::HostFrameBuffer::create(1000);
        const uint32_t claimed = 4 * 1000 * 1000;
        buffer->header()->capacity = claimed;
        buffer->header()->header.size = uint32_t(Ipc::frameBufferBlockSize(claimed));
        ASSERT_LT(buffer->mappedSize(), Ipc::frameBufferBlockSize(claimed));
        EXPECT_EQ(openFrameBuffer(buffer->id()), "Wrong data size");
    }
    {
        // A capacity whose byte count wraps around 32 bits must not pass for a small block.
        auto buffer = Host::HostFrameBuffer::create(16);
        buffer->header()->capacity = 0x40000000u + 16;
        EXPECT_EQ(openFrameBuffer(buffer->id()), "Wrong data size");
    }
    {
        auto buffer = Host::HostFrameBuffer::create(100);
        buffer->header()->width = 11;
        buffer->header()->height = 10;
        EXPECT_EQ(openFrameBuffer(buffer->id()), "Wrong data size");
    }
    {
        // 65536 x 65536 wraps to 0 in 32 bits.
        auto buffer = Host::HostFrameBuffer::create(100);
        buffer->header()->width = 0x10000;
        buffer->header()->height = 0x10000;
        EXPECT_EQ(openFrameBuffer(buffer->id()), "Wrong data size");
    }
}

TEST(FrameBufferRead, UsesTheSizeAsCheckedWhenTheHostRewritesIt)
{
    auto window = Host::HostWindow::create({0, 0, 8, 4});
    auto buffer = Host::HostFrameBuffer::create(32);
    const auto pixels = IpcTest::makePattern(8, 4, 3);
    window->publishFrame(*buffer, 8, 4, pixels.data(), 32);

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
    buffer->header()->height = 2;
    buffer->header()->capacity = 0xFFFFFFFFu;
    buffer->header()->width = 0x7FFFFFFFu;
    EXPECT_EQ(failureOf([&] { frameBuffer.frame(); }), "Wrong data size");
}

TEST(SharedWindow, FirstOpenNamingAMissingFrameBufferFails)
{
    auto window = Host::HostWindow::create({0, 0, 1, 1});
    {
        auto lock = window->lock();
        window->setFrameBuffer(Ipc::makeSharedId());
    }
    EXPECT_EQ(failureOf([&] { Ipc::SharedWindow::open(window->id()); }), "FrameBuffer is null");
}

TEST(SharedWindow, AMissingWindowFailsWithNotFound)
{
    try {
        Ipc::SharedWindow::open(Ipc::makeSharedId());
        FAIL() << "opened a window that does not exist";
    } catch (const boost::interprocess::interprocess_exception& e) {
        EXPECT_EQ(e.get_error_code(), boost::interprocess::not_found_error);
    }
}

TEST(SharedWindow, FollowsTheFrameBufferTheHostNames)
{
    auto window = Host::HostWindow::create({1, 2, 3, 4});
    auto first = Host::HostFrameBuffer::create(4);
    const auto pixels = IpcTest::makePattern(2, 2, 1);
    window->publishFrame(*first, 2, 2, pixels.data(), 8);
    auto client = Ipc::SharedWindow::open(window->id());

    auto lock = client->lock();
    const Ipc::SharedRect rect = client->rect();
    EXPECT_EQ(rect.left, 1);
    EXPECT_EQ(rect.bottom, 4);
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

TEST(SharedOverlay, IsCreatedWithAValidHeaderAndSeesWhatTheHostWrites)
{
    auto overlay = Ipc::SharedOverlay::create();
    ASSERT_EQ(overlay->name().size(), 32u);

    auto host = Host::HostOverlay::open(overlay->name());
    const Ipc::SharedOverlayLayout* header = host->header();
    EXPECT_EQ(header->header.size, Ipc::sharedOverlaySize);
    EXPECT_EQ(header->header.version, 1u);
    EXPECT_EQ(header->header.magic, 0x053A737Du);
    EXPECT_EQ(Ipc::idToName(header->mutexId), overlay->mutexName());
    {
        auto lock = overlay->lock();
        EXPECT_TRUE(overlay->windowId().isZero());
        EXPECT_EQ(overlay->cursorType(), 0u);
        EXPECT_TRUE(overlay->cursorChanged());
        overlay->setCursorChanged(false);
    }

    const SharedId windowId = Ipc::makeSharedId();
    host->showWindow(windowId);
    host->setCursor(7);
    auto lock = overlay->lock();
    EXPECT_EQ(overlay->windowId(), windowId);
    EXPECT_EQ(overlay->cursorType(), 7u);
    EXPECT_TRUE(overlay->cursorChanged());
}

TEST(SharedWindowAcrossProcesses, ReadsTheFramesAHostProcessPublishes)
{
    IpcTest::PeerProcess host("host-window 64 32");
    const std::string ids = host.readLine();
    ASSERT_EQ(ids.size(), 65u) << ids;
    auto window = Ipc::SharedWindow::open(IpcTest::idFromText(ids.substr(0, 32)));

    auto expectFrame = [&](uint32_t width, uint32_t height, uint32_t seed) {
        auto lock = window->lock();
        Ipc::FrameBuffer& buffer = window->currentFrameBuffer();
        ASSERT_TRUE(buffer.dirty());
        const Ipc::FrameView frame = buffer.frame();
        ASSERT_EQ(frame.width, width);
        ASSERT_EQ(frame.height, height);
        std::vector<uint32_t> copy(size_t(width) * height);
        frame.copyTo(reinterpret_cast<uint8_t*>(copy.data()), frame.pitch);
        buffer.clearDirty();
        EXPECT_EQ(copy, IpcTest::makePattern(width, height, seed));
    };
    expectFrame(64, 32, 1);

    host.writeLine("frame 16 8 5");
    const std::string second = host.readLine();
    expectFrame(16, 8, 5);
    {
        auto lock = window->lock();
        EXPECT_EQ(Ipc::idToName(window->currentFrameBuffer().id()), second);
    }

    host.writeLine("rect -5 -6 7 8");
    ASSERT_EQ(host.readLine(), "ok");
    auto lock = window->lock();
    const Ipc::SharedRect rect = window->rect();
    EXPECT_EQ(rect.left, -5);
    EXPECT_EQ(rect.top, -6);
    EXPECT_EQ(rect.right, 7);
    EXPECT_EQ(rect.bottom, 8);
}

TEST(SharedWindowAcrossProcesses, TakesOverTheMutexOfAHostThatDied)
{
    auto window = Host::HostWindow::create({0, 0, 2, 2});
    auto buffer = Host::HostFrameBuffer::create(4);
    const auto pixels = IpcTest::makePattern(2, 2, 9);
    window->publishFrame(*buffer, 2, 2, pixels.data(), 8);
    auto client = Ipc::SharedWindow::open(window->id());

    IpcTest::PeerProcess host("hold-mutex " + Ipc::idToName(window->mutexId()) + " die");
    ASSERT_EQ(host.readLine(), "locked");
    ASSERT_EQ(host.wait(), 3u);

    auto lock = client->lock();
    EXPECT_EQ(client->currentFrameBuffer().frame().width, 2u);
}
