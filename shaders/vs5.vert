#version 450
// Pipeline 5: every object seen from the light, for the shadow map.
#include "common.glsl"

layout(location = 0) in vec3 inPosition;
layout(location = 1) in vec3 inNormal;
layout(location = 2) in vec4 inColor;
layout(location = 3) in vec2 inTexCoord;
layout(location = 4) in vec2 inBones[8];

layout(location = 0) out float lightDepth;

void main() {
  // The ground and other unskinned objects receive shadows but cast none: the light is low and
  // far, and the field's gentle slopes would only shadow themselves. Their triangles are put
  // outside the clip volume, so they cost no fill in the double-size target.
  bool skinned = false;
  for (int i = 0; i < 8; ++i) skinned = skinned || inBones[i].y > 1e-7;
  if (!skinned) {
    lightDepth = 0.0;
    gl_Position = vec4(2.0, 2.0, 2.0, 1.0);
    return;
  }
  vec4 p = vec4(inPosition, 1.0);
  vec3 world = (p * object.world).xyz;
  vec4 view = vec4(world, 1.0) * frame.lightView;
  vec4 clip = lightClip(world);
  // Linear depth: the light is far away, and a perspective depth would lose the small
  // distances between an occluder and the ground to rounding.
  clip.z = clamp(view.z / kFarPlane, 0.0, 1.0) * clip.w;
  lightDepth = view.z;
  gl_Position = clip;
}
