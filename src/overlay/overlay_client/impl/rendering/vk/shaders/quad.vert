#version 450
// A quad as a strip of four vertices made from their index: no vertex buffer. The rectangle is in
// clip space (Vulkan's: y down, so the bitmap's first row lands at the top).
layout(push_constant) uniform Quad
{
    vec4 rect;  // left, top, right, bottom
    vec4 color;
}
quad;

layout(location = 0) out vec2 texcoord;

void main()
{
    const vec2 corner = vec2(gl_VertexIndex & 1, gl_VertexIndex >> 1);
    texcoord = corner;
    gl_Position = vec4(mix(quad.rect.xy, quad.rect.zw, corner), 0.0, 1.0);
}
