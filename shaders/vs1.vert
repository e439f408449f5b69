#version 450
// Pipeline 1: the field tiles (and any other unskinned object) in the scene view. The ground
// is a dense, gently curved mesh, so its lighting is computed per vertex; only the shadow,
// which has sharp edges, is looked up per pixel.
#include "common.glsl"

layout(location = 0) in vec3 inPosition;
layout(location = 1) in vec3 inNormal;
layout(location = 2) in vec4 inColor;
layout(location = 3) in vec2 inTexCoord;
layout(location = 4) in vec2 inBones[8];

// Where the ground receives a shadow, the light is split in two, the direct part to be dimmed
// by the pixel's shadow look-up, and the fog is applied per pixel. Elsewhere the whole light
// and the fog arrive combined, to be applied in one step: fewer values to interpolate for
// each pixel of the field.
layout(constant_id = 0) const bool kReceivesShadow = true;

layout(location = 0) out vec3 ambientLight;  // shadowed: multiplies the surface colour, always;
                                             // else the whole light, less the fog's share
layout(location = 1) out vec3 directLight;   // shadowed: multiplies the surface colour where lit
layout(location = 2) out vec2 texCoord;
layout(location = 3) out float fog;          // shadowed: the fog's share; else its colour
layout(location = 5) out vec4 lightCoord;
layout(location = 6) out float lightDepth;

void main() {
  vec4 p = vec4(inPosition, 1.0);
  vec3 n = inNormal;
  vec4 world = p * object.world;
  vec3 normal = normalize((vec4(n, 0.0) * object.normalMatrix).xyz);
  vec3 toLight = normalize(frame.lightPositions[0].xyz - world.xyz);
  float strength = frame.lightColors[0].w;
  vec3 sky = mix(vec3(0.32, 0.3, 0.3), vec3(0.45, 0.47, 0.52), normal.z * 0.5 + 0.5);
  ambientLight = material.ambient.rgb * 0.6 + sky * 0.5;
  directLight = frame.lightColors[0].rgb * strength * max(dot(normal, toLight), 0.0) * 1.6;
  texCoord = inTexCoord;
  vec4 view = world * frame.sceneView;
  fog = smoothstep(500.0, 1500.0, length(view.xyz));
  if (kReceivesShadow) {
    lightCoord = lightClip(world.xyz);
    lightDepth = lightDepthOf(world.xyz);
  } else {
    ambientLight = (ambientLight + directLight) * (1.0 - fog);
    directLight = vec3(0.0);
    fog *= kBackground.r;
    lightCoord = vec4(0.0);  // no look-up reads them
    lightDepth = 0.0;
  }
  gl_Position = view * frame.sceneProjection;
}
