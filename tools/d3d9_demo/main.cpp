// d3d9_demo: a small Direct3D 9 game for trying the overlay. See tools/d3d9_demo/README.md.
#include "d3d9_demo_game.h"

#include "demo_main.h"

int main()
{
    return DemoCommon::runDemo<Demo9::Options, Demo9::DemoGame>("d3d9_demo", Demo9::parseOptions, Demo9::usageText);
}
