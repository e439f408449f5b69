#version 450
// The model view's surfaces: attributes read by vertex number from the model's vertex data,
// posed by the instance (and its joints), into the scene's clip space.
#include "model_common.glsl"

layout(location = 0) out vec3 worldPosition;
layout(location = 1) out vec3 worldNormal;
layout(location = 2) out vec4 worldTangent;
layout(location = 3) out vec2 texCoord0;
layout(location = 4) out vec2 texCoord1;
layout(location = 5) out vec4 vertexColor;

void main() {
  Instance instance = instances[gl_InstanceIndex];
  int v = gl_VertexIndex;
  mat4 skin = skinOf(instance, v);
  vec4 world = instance.world * (skin * vec4(read3(draw.position, v), 1.0));
  vec3 normal = draw.normal >= 0 ? read3(draw.normal, v) : vec3(0.0, 0.0, 1.0);
  worldNormal = normalize((instance.normalWorld * (skin * vec4(normal, 0.0))).xyz);
  vec4 tangent = draw.tangent >= 0 ? read4(draw.tangent, v) : vec4(1.0, 0.0, 0.0, 1.0);
  worldTangent = vec4(normalize((instance.world * (skin * vec4(tangent.xyz, 0.0))).xyz), tangent.w);
  texCoord0 = draw.texCoord0 >= 0 ? read2(draw.texCoord0, v) : vec2(0.0);
  texCoord1 = draw.texCoord1 >= 0 ? read2(draw.texCoord1, v) : texCoord0;
  vertexColor = draw.color >= 0 ? read4(draw.color, v) : vec4(1.0);
  worldPosition = world.xyz;
  gl_Position = frame.viewProjection * world;
  gl_PointSize = 1.0;  // points are one pixel
}
