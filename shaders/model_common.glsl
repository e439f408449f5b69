// What the model view's shaders share: the frame's constants, the instances, joints, vertex
// attributes and materials of the drawn model, and the draw's own constants. Matrices arrive as
// the viewer holds them (rows for row vectors), so that a GLSL mat4 is their transpose and
// M * v here is v x M there.

// A light of the model's own (KHR_lights_punctual), in world units.
struct PunctualLight {
  vec4 position;   // xyz; w: 0 directional, 1 point, 2 spot
  vec4 direction;  // xyz: the way it shines (unit); w: its range in world units, 0 unlimited
  vec4 color;      // rgb: colour times intensity
  vec4 cone;       // x, y: a spot's angular scale and offset; z: model metres per world unit
};
const int kMaxLights = 8;

layout(set = 0, binding = 0, std140) uniform ViewFrame {
  mat4 viewProjection;
  mat4 lightViewProjection;
  vec4 eye;           // xyz
  vec4 toLight;       // xyz: unit vector towards the key light; w: its strength (0: off)
  vec4 lightColor;    // rgb
  vec4 environment;   // x: the specular map's last level, y: the environment's strength
  vec4 irradiance[9]; // rgb: the diffuse light's spherical harmonics, the cosine lobe folded in
  vec4 ground;        // x: height, y: half extent, z, w: where the fog starts and ends
  vec4 background;    // rgb, linear; w: 1 where the background shows the environment instead
  mat4 inverseViewProjection;
  vec4 shadow;        // x: one texel of the shadow map, y: depth bias
  ivec4 lightCount;   // x: punctual lights in use
  PunctualLight lights[kMaxLights];
  vec4 grid;          // xy: the model's origin (world); z: the lines' spacing (world units); w: 1 shown
} frame;

struct Instance {
  mat4 world;
  mat4 normalWorld;  // the inverse transpose of world's linear part
  ivec4 joints;      // x: the first of its joint matrices, -1 for a rigid instance
};
layout(set = 0, binding = 1, std430) readonly buffer Instances { Instance instances[]; };
layout(set = 0, binding = 2, std430) readonly buffer Joints { mat4 joints[]; };
layout(set = 0, binding = 3, std430) readonly buffer VertexData { float vertexData[]; };

// The draw's material. A uniform block rather than an element of a storage buffer: the CPU
// rasterizer reads storage buffers only for the pixels a triangle covers, not for the helper
// pixels beside its edges, whose texture coordinates then fell to zero and made the mip level
// of every edge pixel the smallest one.
layout(set = 0, binding = 4, std140) uniform Material {
  vec4 baseColor;
  vec4 emissive;
  vec4 factors;    // metallic, roughness, normal scale, occlusion strength
  vec4 alpha;      // cutoff, mode (0 opaque, 1 mask, 2 blend), unlit, double-sided
  vec4 clearcoat;  // factor, roughness, normal scale, index of refraction
  vec4 specular;   // colour rgb, factor
  ivec4 texCoords[3];    // per slot: set 0 or 1, -1 none
  vec4 transforms[20];   // per slot two rows of the texture transform
} material;

// The material's textures, by slot.
const int kBaseColorSlot = 0, kMetallicRoughnessSlot = 1, kNormalSlot = 2, kOcclusionSlot = 3, kEmissiveSlot = 4,
          kClearcoatSlot = 5, kClearcoatRoughnessSlot = 6, kClearcoatNormalSlot = 7, kSpecularSlot = 8,
          kSpecularColorSlot = 9;
layout(set = 0, binding = 5) uniform sampler2D materialMaps[10];
layout(set = 0, binding = 15) uniform sampler2DShadow shadowMap;
// The environment: its light prefiltered for each roughness (a level per step), and the
// split-sum table of the specular response (x: scale, y: bias of f0), by (n.v, roughness).
layout(set = 0, binding = 16) uniform samplerCube environmentMap;
layout(set = 0, binding = 17) uniform sampler2D brdfTable;

// Where the draw's attributes start in vertexData (-1: absent).
layout(push_constant) uniform Draw {
  int position, normal, tangent, texCoord0, texCoord1, color, jointIndex, weight;
} draw;

const float kPi = 3.14159265;

vec2 read2(int at, int v) { return vec2(vertexData[at + 2 * v], vertexData[at + 2 * v + 1]); }
vec3 read3(int at, int v) {
  return vec3(vertexData[at + 3 * v], vertexData[at + 3 * v + 1], vertexData[at + 3 * v + 2]);
}
vec4 read4(int at, int v) {
  return vec4(vertexData[at + 4 * v], vertexData[at + 4 * v + 1], vertexData[at + 4 * v + 2],
              vertexData[at + 4 * v + 3]);
}

// The vertex's skinning matrix: identity for a rigid instance.
mat4 skinOf(Instance instance, int v) {
  if (instance.joints.x < 0 || draw.jointIndex < 0 || draw.weight < 0) return mat4(1.0);
  vec4 j = read4(draw.jointIndex, v);
  vec4 w = read4(draw.weight, v);
  int base = instance.joints.x;
  return w.x * joints[base + int(j.x)] + w.y * joints[base + int(j.y)] + w.z * joints[base + int(j.z)] +
         w.w * joints[base + int(j.w)];
}

// Where a world point falls on the shadow map (xy) and its depth from the light (z).
vec3 shadowCoordinates(vec3 world) {
  vec4 clip = frame.lightViewProjection * vec4(world, 1.0);
  return vec3(clip.xy * 0.5 + 0.5, clip.z);
}

// How much of the key light reaches a point: four compared taps around it, each blended by
// the hardware's filter, for soft edges.
float keyLightVisibility(vec3 coordinates) {
  if (any(lessThan(coordinates.xy, vec2(0.0))) || any(greaterThan(coordinates.xy, vec2(1.0)))) return 1.0;
  float texel = frame.shadow.x, depth = coordinates.z - frame.shadow.y;
  float sum = 0.0;
  sum += texture(shadowMap, vec3(coordinates.xy + vec2(-0.5, -0.5) * texel, depth));
  sum += texture(shadowMap, vec3(coordinates.xy + vec2(0.5, -0.5) * texel, depth));
  sum += texture(shadowMap, vec3(coordinates.xy + vec2(-0.5, 0.5) * texel, depth));
  sum += texture(shadowMap, vec3(coordinates.xy + vec2(0.5, 0.5) * texel, depth));
  return sum * 0.25;
}

// The environment's diffuse light on a surface facing `n` (a white Lambertian surface's
// radiance), from its nine spherical harmonics.
vec3 environmentIrradiance(vec3 n) {
  vec3 e = frame.irradiance[0].rgb + frame.irradiance[1].rgb * n.y + frame.irradiance[2].rgb * n.z +
           frame.irradiance[3].rgb * n.x + frame.irradiance[4].rgb * (n.x * n.y) + frame.irradiance[5].rgb * (n.y * n.z) +
           frame.irradiance[6].rgb * (3.0 * n.z * n.z - 1.0) + frame.irradiance[7].rgb * (n.x * n.z) +
           frame.irradiance[8].rgb * (n.x * n.x - n.y * n.y);
  return max(e, vec3(0.0)) * frame.environment.y;
}

// The background seen along `direction`: its colour, or the environment's light blurred.
vec3 backgroundAlong(vec3 direction) {
  if (frame.background.w < 0.5) return frame.background.rgb;
  return textureLod(environmentMap, direction, 0.6 * frame.environment.x).rgb * frame.environment.y;
}

// The fog's colour at a point: the background behind it.
vec3 fogColorAt(vec3 world) { return backgroundAlong(normalize(world - frame.eye.xyz)); }

// How far the fog has taken a point towards the background, by its distance from the eye.
float fogAt(vec3 world) { return smoothstep(frame.ground.z, frame.ground.w, length(world - frame.eye.xyz)); }
