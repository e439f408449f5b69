#version 450
// Pipeline 2: the scene colour with the character's layer over it, a dark outline around the
// character, the overlay on top and a soft vignette.
#include "common.glsl"

layout(location = 0) in vec2 texCoord;
layout(location = 0) out vec4 outColor;

void main() {
  vec2 texel = 1.0 / vec2(textureSize(sampler2D(t3, s0), 0));
  vec3 scene = texture(sampler2D(t0, s0), texCoord).rgb;
  vec4 layer = texture(sampler2D(t3, s0), texCoord);
  vec4 geometry = texture(sampler2D(t4, s0), texCoord);
  vec4 overlay = texture(sampler2D(t5, s0), texCoord);

  // Outline where the character's coverage changes, and inside it where its depth jumps.
  float edge = 0.0;
  const vec2 offsets[4] = vec2[](vec2(1, 0), vec2(-1, 0), vec2(0, 1), vec2(0, -1));
  for (int i = 0; i < 4; ++i) {
    vec2 at = texCoord + offsets[i] * texel * 1.5;
    float coverage = texture(sampler2D(t3, s0), at).a;
    edge = max(edge, abs(coverage - layer.a));
    if (layer.a > 0.5 && coverage > 0.5) {
      float depth = texture(sampler2D(t4, s0), at).a;
      edge = max(edge, clamp(abs(depth - geometry.a) * 0.5 - 0.5, 0.0, 1.0));
    }
  }
  vec3 color = mix(scene, layer.rgb, layer.a);
  color = mix(color, vec3(0.16, 0.12, 0.11), clamp(edge, 0.0, 1.0) * 0.7);
  color = mix(color, overlay.rgb, overlay.a);
  vec2 centred = texCoord - 0.5;
  color *= 1.0 - 0.25 * dot(centred, centred);
  outColor = vec4(color, 1.0);
}
