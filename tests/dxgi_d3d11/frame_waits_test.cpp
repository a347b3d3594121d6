// The waits of one frame for the host's mutexes share one bound: a host that holds them all costs
// the game that bound once per frame, not once per block.
#include "overlay/overlay_client/impl/rendering/render_object.h"

#include <gtest/gtest.h>
#include <windows.h>

using Overlay::Rendering::FrameHostWaits;
using Overlay::Rendering::hostLockTimeoutMs;

TEST(FrameHostWaits, AFrameSpendsOneBoundTheNextGetsItAgain)
{
    EXPECT_EQ(FrameHostWaits::remainingMs(), hostLockTimeoutMs) << "outside a frame";
    for (int frame = 0; frame < 2; ++frame) {
        const FrameHostWaits waits;
        EXPECT_LE(FrameHostWaits::remainingMs(), hostLockTimeoutMs);
        Sleep(hostLockTimeoutMs + 2);  // as a first wait on a block the host holds
        EXPECT_EQ(FrameHostWaits::remainingMs(), 0u) << "frame " << frame << ": the next block gets no wait";
    }
    EXPECT_EQ(FrameHostWaits::remainingMs(), hostLockTimeoutMs) << "after the frames";
}
