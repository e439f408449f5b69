// Constant blocks and resources shared by the shaders. Matrices arrive column by column, so a
// GLSL mat4 holds the system's row-vector matrix and points transform as v * M.

layout(set = 0, binding = 0, std140) uniform FrameConstants {
  mat4 sceneWorld;
  mat4 sceneView;
  mat4 sceneProjection;
  mat4 followWorld;
  mat4 followView;
  mat4 followProjection;
  mat4 lightView;
  mat4 lightProjection;
  vec4 lightColors[16];
  vec4 lightPositions[16];
  vec4 reserved;
  vec4 renderSize;
} frame;

layout(set = 0, binding = 1, std140) uniform MaterialConstants {
  vec4 diffuse;
  vec4 ambient;
  vec4 specular;
  vec4 factor;  // x: the mesh's material factor
} material;

layout(set = 0, binding = 2, std140) uniform ObjectConstants {
  vec4 parameter;
  mat4 bindShape;  // in the model file's order
  mat4 world;
  mat4 normalMatrix;
  mat4 skin[32];
} object;

layout(set = 0, binding = 5) uniform texture2D t0;
layout(set = 0, binding = 6) uniform texture2D t2;
layout(set = 0, binding = 7) uniform texture2D t3;
layout(set = 0, binding = 8) uniform texture2D t4;
layout(set = 0, binding = 9) uniform texture2D t5;
layout(set = 0, binding = 10) uniform sampler s0;

// Shadow depths are linear distances along the light's view axis.
const float kFarPlane = 20000.0;
const vec3 kBackground = vec3(0.8);
#include "shadow_area.glsl"

// Vertices arrive in the object's space: the render device applies the bind-shape matrix and
// the bones' skinning on the CPU, once per frame, rather than every pass's vertex shader again
// (the per-object constants still carry both).

// The point the follow view looks at: its eye plus the fixed distance along its view axis.
// The eye of a rigid view matrix, in world space.
vec3 eyeOf(mat4 view) {
  mat3 rotation = mat3(view);
  vec3 translation = vec3(view[0][3], view[1][3], view[2][3]);
  return -(translation * transpose(rotation));
}

vec3 followTarget() {
  vec3 eye = eyeOf(frame.followView);
  vec3 axis = vec3(frame.followView[2][0], frame.followView[2][1], frame.followView[2][2]);
  return eye + axis * kFollowDistance;
}

// The light's clip position of `worldPosition`, zoomed onto the shadow area.
vec4 lightClip(vec3 worldPosition) {
  vec3 centre = followTarget();
  vec4 centreClip = vec4(centre, 1.0) * frame.lightView * frame.lightProjection;
  float distance = length(frame.lightPositions[0].xyz - centre);
  float zoom = distance / (frame.lightProjection[1][1] * kShadowRadius);
  vec4 clip = vec4(worldPosition, 1.0) * frame.lightView * frame.lightProjection;
  clip.xy = (clip.xy - centreClip.xy / centreClip.w * clip.w) * zoom;
  return clip;
}

// The light's view depth of `worldPosition`: the distance the shadow map stores.
float lightDepthOf(vec3 worldPosition) { return (vec4(worldPosition, 1.0) * frame.lightView).z; }

// 1 where the light reaches a point, 0 in full shadow, soft in between; `clip` and `depth` are
// the point's lightClip and lightDepthOf, interpolated from the vertices.
float lightVisibility(vec4 clip, float depth, float bias) {
  vec2 ndc = clip.xy / clip.w;
  vec2 uv = vec2(ndc.x * 0.5 + 0.5, 0.5 - ndc.y * 0.5);
  bool offMap = any(lessThan(uv, vec2(0.0))) || any(greaterThan(uv, vec2(1.0)));
  // Points off the map look up one fixed texel and ignore it. A CPU rasterizer runs the lookup
  // for them anyway (both sides of a branch run, masked), and the ground far from the character
  // would otherwise read texels scattered over the whole map: cache and TLB misses that cost
  // more than the rest of the ground's shading.
  uv = offMap ? vec2(0.5) : uv;
  // The four texels around the point in one gather, each compared, blended by the point's place
  // between them: soft edges for the price of one lookup.
  vec2 size = vec2(textureSize(sampler2D(t2, s0), 0));
  vec2 f = fract(uv * size - 0.5);
  // Gather order: (0, 1), (1, 1), (1, 0), (0, 0) of the 2 x 2 footprint.
  vec4 occluders = textureGather(sampler2D(t2, s0), uv, 0);
  // A cleared texel (0) holds no occluder.
  vec4 lit = vec4(lessThanEqual(occluders, vec4(0.0))) + vec4(lessThanEqual(vec4(depth - bias), occluders));
  lit = min(lit, vec4(1.0));
  return offMap ? 1.0 : mix(mix(lit.w, lit.z, f.x), mix(lit.x, lit.y, f.x), f.y);
}

// Lambert and Blinn-Phong lighting under the scene's one light, with shadows.
vec3 shade(vec3 base, vec3 worldPosition, vec3 normal, vec3 viewDirection, vec4 lightCoord,
           float lightDepth, float bias) {
  vec3 toLight = normalize(frame.lightPositions[0].xyz - worldPosition);
  vec3 n = normalize(normal);
  float strength = frame.lightColors[0].w;
  float diffuse = max(dot(n, toLight), 0.0);
  float visible = diffuse > 0.0 ? lightVisibility(lightCoord, lightDepth, bias) : 0.0;
  vec3 halfway = normalize(toLight + viewDirection);
  // x^24 by squaring: pow() is a logarithm and an exponential on the CPU rasterizer.
  float h2 = max(dot(n, halfway), 0.0);
  h2 *= h2;
  float h8 = h2 * h2;
  h8 *= h8;
  float highlight = h8 * h8 * h8 * visible;
  vec3 sky = mix(vec3(0.32, 0.3, 0.3), vec3(0.45, 0.47, 0.52), n.z * 0.5 + 0.5);
  vec3 ambient = base * (material.ambient.rgb * 0.6 + sky * 0.5);
  vec3 lit = base * frame.lightColors[0].rgb * strength * diffuse * visible * 1.6;
  return ambient + lit + material.specular.rgb * highlight * strength;
}
