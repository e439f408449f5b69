#version 450
// Pipeline 4: collider vertices (built, bound by no pass).
#include "common.glsl"

layout(location = 0) in vec3 inPosition;
layout(location = 1) in vec3 inNormal;
layout(location = 2) in vec2 inBones[8];
layout(location = 0) out vec3 worldNormal;

void main() {
  worldNormal = inNormal;
  gl_Position = vec4(inPosition, 1.0) * frame.sceneView * frame.sceneProjection;
}
