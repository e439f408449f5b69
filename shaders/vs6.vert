#version 450
// Pipeline 6: the skinned character in the scene view.
#include "common.glsl"

layout(location = 0) in vec3 inPosition;
layout(location = 1) in vec3 inNormal;
layout(location = 2) in vec4 inColor;
layout(location = 3) in vec2 inTexCoord;
layout(location = 4) in vec2 inBones[8];

layout(location = 0) out vec3 worldPosition;
layout(location = 1) out vec3 worldNormal;
layout(location = 2) out vec2 texCoord;
layout(location = 5) out vec4 lightCoord;
layout(location = 6) out float lightDepth;

void main() {
  vec4 p = vec4(inPosition, 1.0);
  vec3 n = inNormal;
  vec4 world = p * object.world;
  worldPosition = world.xyz;
  worldNormal = (vec4(n, 0.0) * object.normalMatrix).xyz;
  texCoord = inTexCoord;
  vec4 view = world * frame.sceneView;
  lightCoord = lightClip(world.xyz);
  lightDepth = lightDepthOf(world.xyz);
  gl_Position = view * frame.sceneProjection;
}
