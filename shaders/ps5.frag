#version 450
// Pipeline 5: the distance from the light, in the red channel.
layout(location = 0) in float lightDepth;
layout(location = 0) out vec4 outDepth;

void main() { outDepth = vec4(lightDepth, 0.0, 0.0, 1.0); }
