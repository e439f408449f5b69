#version 450
// Pipeline 2: the full-screen quad of the composite.
layout(location = 0) in vec3 inPosition;
layout(location = 1) in vec3 inNormal;
layout(location = 2) in vec2 inTexCoord;
layout(location = 0) out vec2 texCoord;

void main() {
  texCoord = inTexCoord;
  gl_Position = vec4(inPosition, 1.0);
}
