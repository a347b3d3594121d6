// The demo game's command line.
#include "demo_options.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

using Demo::Options;
using Demo::parseOptions;

TEST(DemoOptions, EveryFlagAndBadInputRefusedWithAReason)
{
    Options options;
    std::string error;
    ASSERT_TRUE(
        parseOptions({"--size",      "640x360",    "--pos",           "-5,7",   "--swap-effect",    "flip-discard",
                      "--format",    "bgra8",      "--frames",        "120",    "--sync",           "0",
                      "--windows",   "2",          "--feature-level", "10_0",   "--resize-at",      "30:320x200",
                      "--resize-at", "60:800x600", "--factory",       "--bgra", "--no-state-check", "--hidden"},
                     options, error))
        << error;
    EXPECT_EQ(std::make_tuple(options.width, options.height, options.x, options.y, options.swapEffect, options.format,
                              Demo::effectiveBufferCount(options), options.frames, options.syncInterval,
                              options.windows, options.maxFeatureLevel, options.factorySwapChain, options.bgraDevice,
                              options.checkState, options.hidden),
              std::make_tuple(640u, 360u, -5, 7, DXGI_SWAP_EFFECT(4), DXGI_FORMAT_B8G8R8A8_UNORM, 2u, 120ull, 0u, 2u,
                              D3D_FEATURE_LEVEL_10_0, true, true, false, true));
    ASSERT_EQ(options.resizes.size(), 2u);
    EXPECT_EQ(std::make_tuple(options.resizes[1].frame, options.resizes[1].width, options.resizes[1].height),
              std::make_tuple(60ull, 800u, 600u));

    const std::vector<std::vector<std::string>> bad = {
        {"--size", "0x100"},
        {"--size", "100"},
        {"--size", "100x"},
        {"--swap-effect", "blit"},
        {"--buffers", "0"},
        {"--buffers"},
        {"--format", "r5g6b5"},
        {"--sync", "5"},
        {"--frames", "-1"},
        {"--resize-at", "10-320x200"},
        {"--windows", "0"},
        {"--pos", "12"},
        {"--swap-effect", "flip-sequential", "--buffers", "1"},
        {"--fullscreen"},
    };
    for (const auto& args : bad) {
        error.clear();
        EXPECT_FALSE(parseOptions(args, options, error)) << args[0];
        EXPECT_FALSE(error.empty()) << args[0];
    }
}

}  // namespace
