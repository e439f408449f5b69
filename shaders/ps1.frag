#version 450
// Pipeline 1: textured, lit and shadowed ground, fading into the background with distance.
#include "common.glsl"

layout(location = 0) in vec3 ambientLight;
layout(location = 1) in vec3 directLight;
layout(location = 2) in vec2 texCoord;
layout(location = 3) in float fog;
layout(location = 5) in vec4 lightCoord;
layout(location = 6) in float lightDepth;

layout(location = 0) out vec4 outColor;

// Off for the parts of the ground that no shadow can reach, which the renderer finds on the CPU:
// there the look-up would find the point lit anyway.
layout(constant_id = 0) const bool kReceivesShadow = true;

void main() {
  vec3 base = textureLod(sampler2D(t0, s0), texCoord, 0.0).rgb * material.diffuse.rgb * material.factor.x;
  if (kReceivesShadow) {
    float visible = lightVisibility(lightCoord, lightDepth, 0.4);
    vec3 color = base * (ambientLight + directLight * visible);
    outColor = vec4(mix(color, kBackground, fog), 1.0);
  } else {
    outColor = vec4(base * ambientLight + fog, 1.0);  // the light and the fog as the vertices combined them
  }
}
