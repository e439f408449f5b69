#version 450
// The model view's shadow casters seen from the key light: depth only.
#include "model_common.glsl"

void main() {
  Instance instance = instances[gl_InstanceIndex];
  int v = gl_VertexIndex;
  vec4 world = instance.world * (skinOf(instance, v) * vec4(read3(draw.position, v), 1.0));
  gl_Position = frame.lightViewProjection * world;
}
