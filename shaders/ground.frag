#version 450
// The ground: a pale matte floor that takes the model's shadow and fades into the background.
#include "model_common.glsl"

layout(location = 0) in vec3 worldPosition;
layout(location = 0) out vec4 outColor;

void main() {
  const vec3 kGround = vec3(0.66, 0.64, 0.6);  // linear
  vec3 n = vec3(0.0, 0.0, 1.0);
  vec3 color = kGround * environmentIrradiance(n);
  if (frame.toLight.w > 0.0) {
    float nDotL = max(dot(n, frame.toLight.xyz), 0.0);
    float visible = keyLightVisibility(shadowCoordinates(worldPosition));
    color += kGround / kPi * frame.lightColor.rgb * frame.toLight.w * nDotL * visible;
  }
  outColor = vec4(mix(color, fogColorAt(worldPosition), fogAt(worldPosition)), 1.0);
}
