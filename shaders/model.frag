#version 450
// The model view's surfaces: the material's metallic-roughness description (GGX specular with
// the height-correlated Smith visibility and Schlick's Fresnel, Lambertian diffuse, with the
// clearcoat, specular and index-of-refraction extensions) under the environment's light, the
// key light with its shadow, and the model's own lights. Light stays linear here; the output
// pass maps it for display.
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

int texCoordOf(int slot) { return material.texCoords[slot / 4][slot % 4]; }

// Slot `slot`'s texture at the fragment, through its coordinate set and transform; `fallback`
// where the material has none there.
vec4 sampleSlot(int slot, vec4 fallback) {
  int set = texCoordOf(slot);
  if (set < 0) return fallback;
  vec3 uv = vec3(set == 1 ? texCoord1 : texCoord0, 1.0);
  vec2 at = vec2(dot(material.transforms[slot * 2].xyz, uv), dot(material.transforms[slot * 2 + 1].xyz, uv));
  switch (slot) {
    case 0: return texture(materialMaps[0], at);
    case 1: return texture(materialMaps[1], at);
    case 2: return texture(materialMaps[2], at);
    case 3: return texture(materialMaps[3], at);
    case 4: return texture(materialMaps[4], at);
    case 5: return texture(materialMaps[5], at);
    case 6: return texture(materialMaps[6], at);
    case 7: return texture(materialMaps[7], at);
    case 8: return texture(materialMaps[8], at);
    default: return texture(materialMaps[9], at);
  }
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

vec3 fresnelSchlick(vec3 f0, vec3 f90, float vDotH) { return f0 + (f90 - f0) * pow(1.0 - vDotH, 5.0); }

// A normal from slot `slot`'s normal map, scaled by `scale`, about the geometric normal `n`.
vec3 mappedNormal(int slot, float scale, vec3 n) {
  if (texCoordOf(slot) < 0) return n;
  vec3 t = worldTangent.xyz - n * dot(n, worldTangent.xyz);
  if (dot(t, t) < 1e-12) return n;
  t = normalize(t);
  vec3 b = cross(n, t) * (worldTangent.w < 0.0 ? -1.0 : 1.0);
  vec3 mapped = sampleSlot(slot, vec4(0.5, 0.5, 1.0, 1.0)).xyz * 2.0 - 1.0;
  mapped.xy *= scale;
  return normalize(mat3(t, b, n) * mapped);
}

// What one light direction `l` of radiance `radiance` adds: the base layer's diffuse and
// specular, under the clearcoat's share.
struct Surface {
  vec3 n, v, diffuseColor, f0, f90;
  float alpha, specularWeight;
  float clearcoat, clearcoatAlpha;
  vec3 clearcoatNormal;
};

vec3 directLight(Surface s, vec3 l, vec3 radiance) {
  vec3 h = normalize(l + s.v);
  float nDotL = max(dot(s.n, l), 0.0);
  if (nDotL <= 0.0 && s.clearcoat <= 0.0) return vec3(0.0);
  float nDotV = max(dot(s.n, s.v), 1e-4), nDotH = max(dot(s.n, h), 0.0), vDotH = max(dot(s.v, h), 0.0);
  vec3 f = fresnelSchlick(s.f0, s.f90, vDotH) * s.specularWeight;
  vec3 specular = f * distributionGgx(nDotH, s.alpha) * visibilitySmithGgxCorrelated(nDotL, nDotV, s.alpha);
  vec3 diffuse = (1.0 - f) * s.diffuseColor / kPi;
  vec3 color = (diffuse + specular) * radiance * nDotL;
  if (s.clearcoat > 0.0) {
    float cDotL = max(dot(s.clearcoatNormal, l), 0.0), cDotV = max(dot(s.clearcoatNormal, s.v), 1e-4);
    float cDotH = max(dot(s.clearcoatNormal, h), 0.0);
    float fc = fresnelSchlick(vec3(0.04), vec3(1.0), vDotH).x * s.clearcoat;
    float coat = fc * distributionGgx(cDotH, s.clearcoatAlpha) * visibilitySmithGgxCorrelated(cDotL, cDotV, s.clearcoatAlpha);
    color = color * (1.0 - fc) + coat * radiance * cDotL;
  }
  return color;
}

// The environment's specular light from `r` for `roughness`, and the split-sum response.
vec3 prefiltered(vec3 r, float roughness) {
  return textureLod(environmentMap, r, roughness * frame.environment.x).rgb * frame.environment.y;
}

vec3 environmentLight(Surface s, float roughness, float clearcoatRoughness, float occlusion) {
  float nDotV = max(dot(s.n, s.v), 1e-4);
  vec2 ab = textureLod(brdfTable, vec2(nDotV, roughness), 0.0).xy;
  // Single scattering loses the light that bounces more than once between microfacets; the
  // table's total response gives it back, as a tint of f0 (Fdez-Aguera's approximation).
  vec3 response = s.f0 * ab.x + s.f90 * ab.y;
  vec3 compensation = 1.0 + s.f0 * (1.0 / max(ab.x + ab.y, 1e-4) - 1.0);
  vec3 specular = prefiltered(reflect(-s.v, s.n), roughness) * response * compensation * s.specularWeight;
  vec3 diffuse = environmentIrradiance(s.n) * s.diffuseColor * (1.0 - response * s.specularWeight);
  vec3 color = (diffuse + specular) * occlusion;
  if (s.clearcoat > 0.0) {
    float cDotV = max(dot(s.clearcoatNormal, s.v), 1e-4);
    vec2 cab = textureLod(brdfTable, vec2(cDotV, clearcoatRoughness), 0.0).xy;
    float fc = (0.04 * cab.x + cab.y) * s.clearcoat;
    vec3 coat = prefiltered(reflect(-s.v, s.clearcoatNormal), clearcoatRoughness) * fc;
    color = color * (1.0 - fc) + coat * occlusion;
  }
  return color;
}

// A punctual light's direction towards it and its radiance at the fragment.
vec3 punctualLight(PunctualLight light, out vec3 l) {
  if (light.position.w == 0.0) {
    l = -light.direction.xyz;
    return light.color.rgb;
  }
  vec3 toLight = light.position.xyz - worldPosition;
  float d = length(toLight);
  l = toLight / max(d, 1e-6);
  float metres = d * light.cone.z;
  float attenuation = 1.0 / max(metres * metres, 1e-4);
  if (light.direction.w > 0.0) attenuation *= clamp(1.0 - pow(d / light.direction.w, 4.0), 0.0, 1.0);
  if (light.position.w == 2.0) {
    float spot = clamp(dot(light.direction.xyz, -l) * light.cone.x + light.cone.y, 0.0, 1.0);
    attenuation *= spot * spot;
  }
  return light.color.rgb * attenuation;
}

void main() {
  vec4 base = material.baseColor * vertexColor * sampleSlot(kBaseColorSlot, vec4(1.0));
  if (material.alpha.y == 1.0 && base.a < material.alpha.x) discard;
  if (material.alpha.y == 0.0) base.a = 1.0;
  if (material.alpha.z > 0.5 || kUnlitElements) {  // unlit
    outColor = vec4(base.rgb, base.a);
    return;
  }

  vec3 geometric = normalize(worldNormal);
  // A double-sided surface is lit on the side that faces the eye.
  if (!gl_FrontFacing) geometric = -geometric;
  Surface s;
  s.v = normalize(frame.eye.xyz - worldPosition);
  s.n = mappedNormal(kNormalSlot, material.factors.z, geometric);
  vec4 mr = sampleSlot(kMetallicRoughnessSlot, vec4(1.0));
  float metallic = clamp(material.factors.x * mr.b, 0.0, 1.0);
  float roughness = clamp(material.factors.y * mr.g, 0.0, 1.0);
  float occlusion = 1.0 + material.factors.w * (sampleSlot(kOcclusionSlot, vec4(1.0)).r - 1.0);

  // The dielectric's reflectance from its index of refraction, tinted and weighted by the
  // specular extension; a metal reflects its base colour.
  float ior = material.clearcoat.w;
  float dielectric = pow((ior - 1.0) / (ior + 1.0), 2.0);
  vec3 specularColor = material.specular.rgb * sampleSlot(kSpecularColorSlot, vec4(1.0)).rgb;
  float specularFactor = material.specular.a * sampleSlot(kSpecularSlot, vec4(1.0)).a;
  vec3 dielectricF0 = min(dielectric * specularColor, vec3(1.0));
  s.f0 = mix(dielectricF0 * specularFactor, base.rgb, metallic);
  s.f90 = vec3(mix(specularFactor, 1.0, metallic));
  s.specularWeight = 1.0;
  s.diffuseColor = base.rgb * (1.0 - metallic);
  // A perfectly smooth surface reflects a point light as a point no pixel shows; a floor keeps
  // its highlight visible (the environment's reflection keeps the true roughness).
  s.alpha = max(roughness, 0.03) * max(roughness, 0.03);
  s.clearcoat = material.clearcoat.x * sampleSlot(kClearcoatSlot, vec4(1.0)).r;
  float clearcoatRoughness = clamp(material.clearcoat.y * sampleSlot(kClearcoatRoughnessSlot, vec4(1.0)).g, 0.0, 1.0);
  s.clearcoatAlpha = max(clearcoatRoughness, 0.03) * max(clearcoatRoughness, 0.03);
  s.clearcoatNormal = s.clearcoat > 0.0 ? mappedNormal(kClearcoatNormalSlot, material.clearcoat.z, geometric) : s.n;

  vec3 color = environmentLight(s, roughness, clearcoatRoughness, occlusion);
  if (frame.toLight.w > 0.0) {
    float visible = dot(geometric, frame.toLight.xyz) > -0.2 ? keyLightVisibility(shadowCoordinates(worldPosition)) : 0.0;
    color += directLight(s, frame.toLight.xyz, frame.lightColor.rgb * frame.toLight.w * visible);
  }
  for (int i = 0; i < min(frame.lightCount.x, kMaxLights); ++i) {
    vec3 l;
    vec3 radiance = punctualLight(frame.lights[i], l);
    color += directLight(s, l, radiance);
  }
  color += material.emissive.rgb * sampleSlot(kEmissiveSlot, vec4(1.0)).rgb;
  outColor = vec4(mix(color, fogColorAt(worldPosition), fogAt(worldPosition)), base.a);
}
