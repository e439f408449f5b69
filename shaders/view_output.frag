#version 450
// The model view's picture from its linear light: clipped to the displayable range and
// encoded as sRGB for the 8-bit picture that is shown and saved.
layout(set = 0, binding = 5) uniform sampler2D scene;
layout(location = 0) in vec2 texCoord;
layout(location = 0) out vec4 outColor;

vec3 encodeSrgb(vec3 linear) {
  linear = clamp(linear, 0.0, 1.0);
  return mix(linear * 12.92, 1.055 * pow(linear, vec3(1.0 / 2.4)) - 0.055, step(vec3(0.0031308), linear));
}

void main() { outColor = vec4(encodeSrgb(textureLod(scene, texCoord, 0.0).rgb), 1.0); }
