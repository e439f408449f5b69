#version 450
// Pipeline 3: a full-screen quad without depth test (built, bound by no pass).
layout(location = 0) in vec3 inPosition;
layout(location = 1) in vec3 inNormal;
layout(location = 2) in vec2 inTexCoord;
layout(location = 0) out vec2 texCoord;

void main() {
  texCoord = inTexCoord;
  gl_Position = vec4(inPosition, 1.0);
}
