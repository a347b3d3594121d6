#pragma once
// Reads what a Direct3D 12 demo game's current back buffer holds, before it is presented.

#include "d3d12_demo_game.h"
#include "graphics_test_support.h"

namespace D3D12Test {

// Copies the current back buffer (R8G8B8A8, in the present state) into a readback buffer on the
// game's queue, after everything submitted so far, and waits for it.
GraphicsTest::Image readBackBuffer(Demo12::DemoGame& game);

}  // namespace D3D12Test
