#version 450
// The model view's picture from its linear light: tone mapped (Khronos PBR Neutral, ACES, or
// clipped), encoded as sRGB for the 8-bit picture that is shown and saved, and its edges
// smoothed by a fast approximate anti-aliasing pass on the mapped colours (on a CPU rasterizer
// it costs a fraction of what multisampling does).
// The scene's light, and what is laid over the picture (premultiplied, display values).
layout(set = 0, binding = 5) uniform sampler2D maps[2];
#define scene maps[0]
layout(location = 0) in vec2 texCoord;
layout(location = 0) out vec4 outColor;

layout(push_constant) uniform Output {
  int toneMapping;  // 0 PBR Neutral, 1 ACES, 2 none
  int antiAliasing; // 1: smooth the edges
  int overlay;      // 1: maps[1] lies over the picture
  int markCount;    // measured points to mark: 0, 1 or 2
  vec4 marks;       // their pixels: xy, zw
} settings;

// Khronos PBR Neutral: colours below the compression start stay as they are (past a small
// offset that keeps dark tones), brighter ones roll off towards white, desaturating.
vec3 pbrNeutral(vec3 color) {
  const float kStartCompression = 0.8 - 0.04;
  const float kDesaturation = 0.15;
  float x = min(color.r, min(color.g, color.b));
  float offset = x < 0.08 ? x - 6.25 * x * x : 0.04;
  color -= offset;
  float peak = max(color.r, max(color.g, color.b));
  if (peak < kStartCompression) return color;
  const float d = 1.0 - kStartCompression;
  float newPeak = 1.0 - d * d / (peak + d - kStartCompression);
  color *= newPeak / peak;
  float g = 1.0 - 1.0 / (kDesaturation * (peak - newPeak) + 1.0);
  return mix(color, vec3(newPeak), g);
}

// ACES: Stephen Hill's fit of the reference rendering and output transforms, with the usual
// exposure of 1 / 0.6 that maps middle grey as the filmic curve expects.
vec3 aces(vec3 color) {
  const mat3 kInput = mat3(0.59719, 0.07600, 0.02840, 0.35458, 0.90834, 0.13383, 0.04823, 0.01566, 0.83777);
  const mat3 kOutput = mat3(1.60475, -0.10208, -0.00327, -0.53108, 1.10813, -0.07276, -0.07367, -0.00605, 1.07602);
  vec3 v = kInput * (color / 0.6);
  vec3 a = v * (v + 0.0245786) - 0.000090537;
  vec3 b = v * (0.983729 * v + 0.4329510) + 0.238081;
  return kOutput * (a / b);
}

vec3 encodeSrgb(vec3 linear) {
  linear = clamp(linear, 0.0, 1.0);
  return mix(linear * 12.92, 1.055 * pow(linear, vec3(1.0 / 2.4)) - 0.055, step(vec3(0.0031308), linear));
}

// The displayed colour (still linear) of the scene at `uv`.
vec3 mapped(vec2 uv) {
  vec3 c = max(textureLod(scene, uv, 0.0).rgb, vec3(0.0));
  if (settings.toneMapping == 0) return pbrNeutral(c);
  if (settings.toneMapping == 1) return aces(c);
  return c;
}

float luma(vec3 c) { return dot(sqrt(clamp(c, 0.0, 1.0)), vec3(0.299, 0.587, 0.114)); }

// Edges found by the contrast of the four diagonal neighbours, blurred along their direction
// with two and four taps; the wider blur kept unless it reaches past the neighbourhood's range.
vec3 antiAliased(vec2 uv) {
  vec2 texel = 1.0 / vec2(textureSize(scene, 0));
  vec3 centre = mapped(uv);
  float nw = luma(mapped(uv + vec2(-1.0, -1.0) * texel)), ne = luma(mapped(uv + vec2(1.0, -1.0) * texel));
  float sw = luma(mapped(uv + vec2(-1.0, 1.0) * texel)), se = luma(mapped(uv + vec2(1.0, 1.0) * texel));
  float m = luma(centre);
  float lo = min(m, min(min(nw, ne), min(sw, se))), hi = max(m, max(max(nw, ne), max(sw, se)));
  if (hi - lo < max(0.0312, hi * 0.125)) return centre;
  vec2 direction = vec2(-((nw + ne) - (sw + se)), (nw + sw) - (ne + se));
  float reduce = max((nw + ne + sw + se) * 0.25 * 0.125, 1.0 / 128.0);
  float scale = 1.0 / (min(abs(direction.x), abs(direction.y)) + reduce);
  direction = clamp(direction * scale, vec2(-8.0), vec2(8.0)) * texel;
  vec3 narrow = 0.5 * (mapped(uv + direction * (1.0 / 3.0 - 0.5)) + mapped(uv + direction * (2.0 / 3.0 - 0.5)));
  vec3 wide = narrow * 0.5 + 0.25 * (mapped(uv - direction * 0.5) + mapped(uv + direction * 0.5));
  float l = luma(wide);
  return l < lo || l > hi ? narrow : wide;
}

void main() {
  vec3 color = settings.antiAliasing != 0 ? antiAliased(texCoord) : mapped(texCoord);
  vec3 shown = encodeSrgb(color);
  if (settings.overlay != 0) {
    vec4 over = textureLod(maps[1], texCoord, 0.0);
    shown = over.rgb + (1.0 - over.a) * shown;
  }
  // The measured points as rings, joined by a line once there are two.
  vec2 at = gl_FragCoord.xy;
  if (settings.markCount == 2) {
    vec2 a = settings.marks.xy, b = settings.marks.zw, ab = b - a;
    float along = clamp(dot(at - a, ab) / max(dot(ab, ab), 1e-6), 0.0, 1.0);
    float d = length(at - (a + along * ab));
    shown = mix(shown, vec3(1.0, 0.82, 0.2), clamp(1.5 - d, 0.0, 1.0));
  }
  for (int i = 0; i < settings.markCount && i < 2; ++i) {
    float r = length(at - (i == 0 ? settings.marks.xy : settings.marks.zw));
    shown = mix(shown, vec3(0.05), clamp(1.0 - abs(r - 6.0) + 1.0, 0.0, 1.0));
    shown = mix(shown, vec3(1.0), clamp(1.0 - abs(r - 6.0), 0.0, 1.0));
  }
  outColor = vec4(shown, 1.0);
}
