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
  if (frame.grid.w > 0.5) {
    // Lines a pixel or so wide whatever the distance, every tenth one stronger; the model's
    // x axis red and its y axis green through its origin.
    vec2 cell = (worldPosition.xy - frame.grid.xy) / frame.grid.z;
    vec2 width = max(fwidth(cell), vec2(1e-6));
    vec2 near = abs(fract(cell - 0.5) - 0.5) / width;
    vec2 nearTenth = abs(fract(cell / 10.0 - 0.5) - 0.5) * 10.0 / width;
    float line = 1.0 - min(min(near.x, near.y), 1.0);
    float tenth = 1.0 - min(min(nearTenth.x, nearTenth.y), 1.0);
    color = mix(color, color * 0.55, max(line * 0.5, tenth * 0.8));
    vec2 axis = abs(worldPosition.xy - frame.grid.xy) / (frame.grid.z * width) ;
    color = mix(color, vec3(0.75, 0.08, 0.05), 1.0 - min(axis.y / 1.5, 1.0));
    color = mix(color, vec3(0.08, 0.55, 0.1), 1.0 - min(axis.x / 1.5, 1.0));
  }
  outColor = vec4(mix(color, fogColorAt(worldPosition), fogAt(worldPosition)), 1.0);
}
