// d3d11_demo: a small Direct3D 11 game for trying the overlay. See tools/d3d11_demo/README.md.
#include "demo_game.h"

#include "demo_main.h"

int main()
{
    return DemoCommon::runDemo<Demo::Options, Demo::DemoGame>("d3d11_demo", Demo::parseOptions, Demo::usageText);
}
