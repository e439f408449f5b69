#version 450
// Pipeline 3: copies t0.
#include "common.glsl"

layout(location = 0) in vec2 texCoord;
layout(location = 0) out vec4 outColor;

void main() { outColor = texture(sampler2D(t0, s0), texCoord); }
