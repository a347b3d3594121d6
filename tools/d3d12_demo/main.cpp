// d3d12_demo: a small Direct3D 12 game for trying the overlay. See tools/d3d12_demo/README.md.
#include "d3d12_demo_game.h"

#include "demo_main.h"

int main()
{
    return DemoCommon::runDemo<Demo12::Options, Demo12::DemoGame>("d3d12_demo", Demo12::parseOptions,
                                                                  Demo12::usageText);
}
