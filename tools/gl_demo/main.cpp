// gl_demo: a small OpenGL game for trying the overlay. See tools/gl_demo/README.md.
#include "gl_demo_game.h"

#include "demo_main.h"

int main()
{
    return DemoCommon::runDemo<DemoGl::Options, DemoGl::DemoGame>("gl_demo", DemoGl::parseOptions, DemoGl::usageText);
}
