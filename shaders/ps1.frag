#version 450
// Pipeline 1: textured, lit and shadowed ground, fading into the background with distance.
#include "common.glsl"

layout(location = 0) in vec3 worldPosition;
layout(location = 1) in vec3 worldNormal;
layout(location = 2) in vec2 texCoord;
layout(location = 3) in vec3 viewPosition;
layout(location = 5) in vec4 lightCoord;
layout(location = 6) in float lightDepth;

layout(location = 0) out vec4 outColor;

void main() {
  vec4 texel = texture(sampler2D(t0, s0), texCoord);
  vec3 base = texel.rgb * material.diffuse.rgb * material.factor.x;
  vec3 viewDirection = normalize(-viewPosition);
  // The view matrix maps world to view space; its transpose maps directions back.
  vec3 worldView = normalize((vec4(viewDirection, 0.0) * transpose(frame.sceneView)).xyz);
  vec3 color = shade(base, worldPosition, worldNormal, worldView, lightCoord, lightDepth, 0.4);
  float fog = smoothstep(500.0, 1500.0, length(viewPosition));
  outColor = vec4(mix(color, kBackground, fog), 1.0);
}
