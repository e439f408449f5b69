#version 450
// The model view's surfaces: the material's metallic-roughness description under the key light
// (GGX specular with the height-correlated Smith visibility and Schlick's Fresnel, Lambertian
// diffuse) with its shadow, and a fill from the sky and the ground, so that no face is black.
#include "model_common.glsl"

layout(location = 0) in vec3 worldPosition;
layout(location = 1) in vec3 worldNormal;
layout(location = 2) in vec4 worldTangent;
layout(location = 3) in vec2 texCoord0;
layout(location = 4) in vec2 texCoord1;
layout(location = 5) in vec4 vertexColor;

layout(location = 0) out vec4 outColor;

// Lines and points: their colour as it is.
layout(constant_id = 0) const bool kUnlitElements = false;

// The coordinates texture slot `slot` samples with: its set, through its transform.
vec2 uvFor(int slot, int set) {
  vec3 uv = vec3(set == 1 ? texCoord1 : texCoord0, 1.0);
  return vec2(dot(material.transforms[slot * 2].xyz, uv), dot(material.transforms[slot * 2 + 1].xyz, uv));
}

float distributionGgx(float nDotH, float alpha) {
  float a2 = alpha * alpha;
  float d = nDotH * nDotH * (a2 - 1.0) + 1.0;
  return a2 / (kPi * d * d);
}

float visibilitySmithGgxCorrelated(float nDotL, float nDotV, float alpha) {
  float a2 = alpha * alpha;
  float v = nDotL * sqrt(nDotV * nDotV * (1.0 - a2) + a2);
  float l = nDotV * sqrt(nDotL * nDotL * (1.0 - a2) + a2);
  return 0.5 / max(v + l, 1e-5);
}

vec3 fresnelSchlick(vec3 f0, float vDotH) { return f0 + (1.0 - f0) * pow(1.0 - vDotH, 5.0); }

void main() {
  vec4 base = material.baseColor * vertexColor;
  if (material.texCoords.x >= 0) base *= texture(baseColorMap, uvFor(0, material.texCoords.x));
  if (material.alpha.y == 1.0 && base.a < material.alpha.x) discard;
  if (material.alpha.y == 0.0) base.a = 1.0;
  if (material.alpha.z > 0.5 || kUnlitElements) {  // unlit
    outColor = vec4(base.rgb, base.a);
    return;
  }

  vec3 n = normalize(worldNormal);
  // A double-sided surface is lit on the side that faces the eye.
  if (!gl_FrontFacing) n = -n;
  if (material.texCoords.z >= 0) {
    vec3 t = normalize(worldTangent.xyz - n * dot(n, worldTangent.xyz));
    vec3 b = cross(n, t) * (worldTangent.w < 0.0 ? -1.0 : 1.0);
    vec3 mapped = texture(normalMap, uvFor(2, material.texCoords.z)).xyz * 2.0 - 1.0;
    mapped.xy *= material.factors.z;
    n = normalize(mat3(t, b, n) * mapped);
  }
  float metallic = material.factors.x, roughness = material.factors.y;
  if (material.texCoords.y >= 0) {
    vec4 mr = texture(metallicRoughnessMap, uvFor(1, material.texCoords.y));
    roughness *= mr.g;
    metallic *= mr.b;
  }
  roughness = clamp(roughness, 0.03, 1.0);
  float occlusion = 1.0;
  if (material.texCoords.w >= 0) occlusion = 1.0 + material.factors.w * (texture(occlusionMap, uvFor(3, material.texCoords.w)).r - 1.0);

  vec3 v = normalize(frame.eye.xyz - worldPosition);
  vec3 l = frame.toLight.xyz;
  vec3 h = normalize(l + v);
  float nDotL = max(dot(n, l), 0.0), nDotV = max(abs(dot(n, v)), 1e-4);
  float nDotH = max(dot(n, h), 0.0), vDotH = max(dot(v, h), 0.0);
  vec3 diffuseColor = base.rgb * (1.0 - metallic);
  vec3 f0 = mix(vec3(0.04), base.rgb, metallic);
  float alpha = roughness * roughness;
  vec3 f = fresnelSchlick(f0, vDotH);
  vec3 specular = f * distributionGgx(nDotH, alpha) * visibilitySmithGgxCorrelated(nDotL, nDotV, alpha);
  vec3 diffuse = (1.0 - f) * diffuseColor / kPi;
  float visible = nDotL > 0.0 ? keyLightVisibility(shadowCoordinates(worldPosition)) : 0.0;
  vec3 direct = (diffuse + specular) * frame.lightColor.rgb * frame.toLight.w * nDotL * visible;
  // The fill: the hemisphere's light on the diffuse part and, for metals, on their colour.
  vec3 fill = hemisphereLight(n) * (diffuseColor + f0 * 0.5) * occlusion;
  vec3 emissive = material.emissive.rgb;
  if (material.texCoords2.x >= 0) emissive *= texture(emissiveMap, uvFor(4, material.texCoords2.x)).rgb;
  vec3 color = direct + fill + emissive;
  outColor = vec4(mix(color, frame.background.rgb, fogAt(worldPosition)), base.a);
}
