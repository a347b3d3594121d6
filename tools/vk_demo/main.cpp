// vk_demo: a small Vulkan game for trying the overlay. See tools/vk_demo/README.md.
#include "vk_demo_game.h"

#include "demo_main.h"

int main()
{
    return DemoCommon::runDemo<DemoVk::Options, DemoVk::DemoGame>("vk_demo", DemoVk::parseOptions, DemoVk::usageText);
}
