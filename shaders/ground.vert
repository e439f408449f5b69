#version 450
// The ground under the model: a square around it at the ground's height, made from the vertex
// number (two triangles).
#include "model_common.glsl"

layout(location = 0) out vec3 worldPosition;

void main() {
  const vec2 corners[6] = vec2[](vec2(-1, -1), vec2(1, -1), vec2(1, 1), vec2(-1, -1), vec2(1, 1), vec2(-1, 1));
  vec2 xy = corners[gl_VertexIndex] * frame.ground.y;
  worldPosition = vec3(xy, frame.ground.x);
  gl_Position = frame.viewProjection * vec4(worldPosition, 1.0);
}
