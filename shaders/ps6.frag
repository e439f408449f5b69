#version 450
// Pipeline 6: the character's lit colour into the first layer, its view-space normal and
// depth into the second, for the composite's outline.
#include "common.glsl"

layout(location = 0) in vec3 worldPosition;
layout(location = 1) in vec3 worldNormal;
layout(location = 2) in vec2 texCoord;
layout(location = 5) in vec4 lightCoord;
layout(location = 6) in float lightDepth;

layout(location = 0) out vec4 outColor;
layout(location = 1) out vec4 outGeometry;

void main() {
  vec4 texel = textureLod(sampler2D(t0, s0), texCoord, 0.0);  // textures have one level
  vec3 base = texel.rgb * material.diffuse.rgb * material.factor.x;
  // The scene view moves rigidly, so directions, angles and distances read the same in world
  // and in view space: the view-space values come from the world-space ones, per pixel, rather
  // than as more values to interpolate.
  vec3 toEye = eyeOf(frame.sceneView) - worldPosition;
  float distance = length(toEye);
  vec3 worldView = toEye / distance;
  vec3 surface = normalize(worldNormal);
  vec3 n = gl_FrontFacing ? surface : -surface;  // the inside of a bone seen through a gap
  vec3 color = shade(base, worldPosition, n, worldView, lightCoord, lightDepth, 0.2);
  // A cool rim light separates the bones from the ground.
  float facing = 1.0 - max(dot(surface, worldView), 0.0);
  float rim = facing * facing * facing;
  color += vec3(0.18, 0.2, 0.24) * rim;
  outColor = vec4(min(color, vec3(0.98)), 1.0);
  outGeometry = vec4((vec4(surface, 0.0) * frame.sceneView).xyz, distance);
}
