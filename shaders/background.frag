#version 450
// The environment behind the model, blurred, where the user asks for it in place of the plain
// background: the direction of each pixel from the inverse of the view and projection.
#include "model_common.glsl"

layout(location = 0) in vec2 texCoord;
layout(location = 0) out vec4 outColor;

void main() {
  vec4 far = frame.inverseViewProjection * vec4(texCoord * 2.0 - 1.0, 0.0, 1.0);  // reversed: far is 0
  vec4 near = frame.inverseViewProjection * vec4(texCoord * 2.0 - 1.0, 1.0, 1.0);
  vec3 direction = normalize(far.xyz * near.w - near.xyz * far.w);
  outColor = vec4(backgroundAlong(direction), 1.0);
}
