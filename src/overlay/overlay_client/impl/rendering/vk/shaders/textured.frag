#version 450
// The host's frame, opaque: its alpha is ignored.
layout(set = 0, binding = 0) uniform sampler2D frame;

layout(location = 0) in vec2 texcoord;
layout(location = 0) out vec4 result;

void main()
{
    result = vec4(texture(frame, texcoord).rgb, 1.0);
}
