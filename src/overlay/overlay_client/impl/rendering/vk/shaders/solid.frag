#version 450
// Every pixel gets the fill colour; the pipeline blends it by its alpha.
layout(push_constant) uniform Quad
{
    vec4 rect;
    vec4 color;
}
quad;

layout(location = 0) out vec4 result;

void main()
{
    result = quad.color;
}
