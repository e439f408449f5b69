#include "tools/skeleton_content.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <string>

#include "tools/content_math.h"
#include "tools/content_records.h"

namespace content {
namespace {

constexpr float kPi = 3.14159265358979f;

// Model space: up +z, feet on z = 0, facing -y, so the figure's left is +x.
struct BoneSpec {
  const char16_t* name;
  int parent;
  Vec3 joint;  // rest position of the joint in model space
};

enum BoneIndex {
  kRoot, kPelvis, kSpine, kChest, kNeck, kHead,
  kClavicleL, kUpperArmL, kForearmL, kHandL,
  kClavicleR, kUpperArmR, kForearmR, kHandR,
  kThighL, kShinL, kFootL, kThighR, kShinR, kFootR,
  kBoneCount
};

const BoneSpec kBones[kBoneCount] = {
    {u"Root", -1, {0, 0, 0}},
    {u"Pelvis", kRoot, {0, 0, 11.2f}},
    {u"Spine", kPelvis, {0, 0.2f, 12.6f}},
    {u"Chest", kSpine, {0, 0.1f, 15.0f}},
    {u"Neck", kChest, {0, 0.1f, 18.4f}},
    {u"Head", kNeck, {0, 0.1f, 19.4f}},
    {u"ClavicleL", kChest, {0.5f, -0.4f, 17.7f}},
    {u"UpperArmL", kClavicleL, {2.9f, 0.1f, 17.7f}},
    {u"ForearmL", kUpperArmL, {3.3f, 0.2f, 14.1f}},
    {u"HandL", kForearmL, {3.5f, -0.1f, 10.9f}},
    {u"ClavicleR", kChest, {-0.5f, -0.4f, 17.7f}},
    {u"UpperArmR", kClavicleR, {-2.9f, 0.1f, 17.7f}},
    {u"ForearmR", kUpperArmR, {-3.3f, 0.2f, 14.1f}},
    {u"HandR", kForearmR, {-3.5f, -0.1f, 10.9f}},
    {u"ThighL", kPelvis, {1.3f, 0, 11.0f}},
    {u"ShinL", kThighL, {1.4f, -0.1f, 6.2f}},
    {u"FootL", kShinL, {1.4f, 0.2f, 1.3f}},
    {u"ThighR", kPelvis, {-1.3f, 0, 11.0f}},
    {u"ShinR", kThighR, {-1.4f, -0.1f, 6.2f}},
    {u"FootR", kShinR, {-1.4f, 0.2f, 1.3f}},
};

std::u16string boneId(int bone) { return std::u16string(kBones[bone].name) + u"_id"; }

Vec3 offsetFromParent(int bone) {
  int p = kBones[bone].parent;
  return p < 0 ? kBones[bone].joint : kBones[bone].joint - kBones[p].joint;
}

using Influences = std::vector<std::pair<int, float>>;
using WeightFn = std::function<Influences(Vec3)>;

float smoothstep(float e0, float e1, float x) {
  float t = std::clamp((x - e0) / (e1 - e0), 0.0f, 1.0f);
  return t * t * (3 - 2 * t);
}

WeightFn rigid(int bone) {
  return [bone](Vec3) { return Influences{{bone, 1.0f}}; };
}

// A limb from the joint of `bone` to the joint of `child`: near each end it blends with the
// bone across that joint, so the surface bends smoothly.
WeightFn limb(int bone, int child) {
  return [bone, child](Vec3 p) {
    Vec3 a = kBones[bone].joint;
    Vec3 b = kBones[child].joint;
    Vec3 ab = b - a;
    float t = dot(p - a, ab) / dot(ab, ab);
    Influences w;
    int parent = kBones[bone].parent;
    float toParent = parent > kRoot ? 0.5f * (1 - smoothstep(-0.05f, 0.18f, t)) : 0;
    float toChild = 0.5f * smoothstep(0.82f, 1.05f, t);
    w.push_back({bone, 1 - toParent - toChild});
    if (toParent > 0) w.push_back({parent, toParent});
    if (toChild > 0) w.push_back({child, toChild});
    return w;
  };
}

// Along the spine: pelvis, spine and chest blended by height.
Influences spineWeights(Vec3 p) {
  float toSpine = smoothstep(11.4f, 12.8f, p.z);
  float toChest = smoothstep(14.2f, 15.8f, p.z);
  float toNeck = smoothstep(17.9f, 18.8f, p.z);
  Influences w;
  w.push_back({kPelvis, 1 - toSpine});
  w.push_back({kSpine, toSpine - toChest});
  w.push_back({kChest, toChest - toNeck});
  w.push_back({kNeck, toNeck});
  return w;
}

struct MeshBuilder {
  std::vector<float> positions, normals, uvs;
  std::vector<Influences> weights;
  std::vector<int32_t> boneIndices, socketIndices;

  int32_t addVertex(Vec3 p, Vec3 n, float u, float v, const Influences& w) {
    positions.insert(positions.end(), {p.x, p.y, p.z});
    normals.insert(normals.end(), {n.x, n.y, n.z});
    uvs.insert(uvs.end(), {u, v});
    weights.push_back(w);
    return static_cast<int32_t>(weights.size() - 1);
  }

  // A ring-and-segment surface: point(i, j) for ring i in [0, rings] and segment j in
  // [0, segments] (the last segment repeats the first for the texture seam).
  void surface(int rings, int segments, const std::function<void(float, float, Vec3&, Vec3&)>& at,
               const WeightFn& weightOf, bool socket, float uScale, float vScale) {
    int32_t base = static_cast<int32_t>(weights.size());
    for (int i = 0; i <= rings; ++i) {
      for (int j = 0; j <= segments; ++j) {
        float a = static_cast<float>(i) / rings, b = static_cast<float>(j) / segments;
        Vec3 p, n;
        at(a, b, p, n);
        addVertex(p, normalize(n), b * uScale, a * vScale, weightOf(p));
      }
    }
    auto& out = socket ? socketIndices : boneIndices;
    int32_t stride = segments + 1;
    for (int i = 0; i < rings; ++i) {
      for (int j = 0; j < segments; ++j) {
        int32_t v00 = base + i * stride + j, v01 = v00 + 1, v10 = v00 + stride, v11 = v10 + 1;
        out.insert(out.end(), {v00, v10, v11, v00, v11, v01});
      }
    }
  }

  // An ellipsoid with semi-axes r.x along u1, r.y along u2, r.z along u3.
  void ellipsoid(Vec3 c, Vec3 u1, Vec3 u2, Vec3 u3, Vec3 r, const WeightFn& w,
                 bool socket = false, int rings = 10, int segments = 14) {
    surface(rings, segments,
            [&](float a, float b, Vec3& p, Vec3& n) {
              float phi = (a - 0.5f) * kPi, theta = b * 2 * kPi;
              float cp = std::cos(phi), sp = std::sin(phi), ct = std::cos(theta), st = std::sin(theta);
              p = c + u1 * (r.x * cp * ct) + u2 * (r.y * cp * st) + u3 * (r.z * sp);
              n = u1 * (cp * ct / r.x) + u2 * (cp * st / r.y) + u3 * (sp / r.z);
            },
            w, socket, 2.0f, 1.0f);
  }

  void axisEllipsoid(Vec3 c, Vec3 r, const WeightFn& w, bool socket = false) {
    ellipsoid(c, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, r, w, socket);
  }

  // A long bone from a to b: a spindle of the given radius with knobs at both ends.
  void longBone(Vec3 a, Vec3 b, float radius, const WeightFn& w, float knob = 1.35f) {
    Vec3 axis = b - a;
    float len = length(axis);
    Vec3 u3 = axis * (1.0f / len);
    Vec3 ref = std::fabs(u3.z) < 0.9f ? Vec3{0, 0, 1} : Vec3{1, 0, 0};
    Vec3 u1 = normalize(cross(ref, u3));
    Vec3 u2 = cross(u3, u1);
    ellipsoid((a + b) * 0.5f, u1, u2, u3, {radius, radius, len * 0.5f}, w, false, 12, 10);
    ellipsoid(a + u3 * (radius * 0.6f), u1, u2, u3, {radius * knob, radius * knob, radius * 1.2f}, w,
              false, 6, 10);
    ellipsoid(b - u3 * (radius * 0.6f), u1, u2, u3, {radius * knob, radius * knob, radius * 1.2f}, w,
              false, 6, 10);
  }

  // A rib: an elliptic hoop open at the back-to-front sternum gap.
  void rib(float z, float rx, float ry, float thickness, const WeightFn& w) {
    const float open = 0.16f;  // fraction of the hoop left open at the front
    surface(6, 24,
            [&](float a, float b, Vec3& p, Vec3& n) {
              float theta = (open * 0.5f + b * (1 - open)) * 2 * kPi - kPi * 0.5f;  // from the front
              float psi = a * 2 * kPi;
              Vec3 radial = {std::sin(theta) * rx, -std::cos(theta) * ry, 0};
              Vec3 centre = Vec3{0, 0.3f, z} + radial;
              Vec3 out = normalize({std::sin(theta) / rx, -std::cos(theta) / ry, 0});
              // Ribs slope down towards the front.
              centre.z -= 0.5f * std::cos(theta) * 0.5f;
              p = centre + out * (thickness * std::cos(psi)) + Vec3{0, 0, thickness * std::sin(psi)};
              n = out * std::cos(psi) + Vec3{0, 0, std::sin(psi)};
            },
            w, false, 4.0f, 1.0f);
  }
};

Vec3 joint(int bone) { return kBones[bone].joint; }

void buildMesh(MeshBuilder& m) {
  // Skull, jaw and eye sockets.
  m.axisEllipsoid({0, 0.1f, 21.0f}, {1.45f, 1.7f, 1.6f}, rigid(kHead));
  m.axisEllipsoid({0, -0.55f, 19.8f}, {1.05f, 1.0f, 0.55f}, rigid(kHead));
  m.axisEllipsoid({0.55f, -1.45f, 21.0f}, {0.38f, 0.2f, 0.33f}, rigid(kHead), true);
  m.axisEllipsoid({-0.55f, -1.45f, 21.0f}, {0.38f, 0.2f, 0.33f}, rigid(kHead), true);
  m.axisEllipsoid({0, -1.62f, 20.3f}, {0.16f, 0.1f, 0.22f}, rigid(kHead), true);  // nose
  // Cervical vertebrae: the lowest blends into the chest and the highest into the head, so the
  // neck bends at both ends.
  for (int i = 0; i < 3; ++i) {
    float z = 18.45f + 0.33f * static_cast<float>(i);
    m.axisEllipsoid({0, 0.35f, z}, {0.38f, 0.38f, 0.15f}, [](Vec3 p) {
      float c = smoothstep(18.2f, 18.7f, p.z);
      float t = smoothstep(18.5f, 19.3f, p.z);
      return Influences{{kChest, 1 - c}, {kNeck, c - t}, {kHead, t}};
    });
  }
  // Spine: vertebrae from the pelvis to the neck.
  for (int i = 0; i < 10; ++i) {
    float z = 11.7f + 0.65f * static_cast<float>(i);
    m.axisEllipsoid({0, 0.45f, z}, {0.5f, 0.45f, 0.22f}, spineWeights);
  }
  // Ribcage: seven pairs of ribs and the sternum.
  for (int i = 0; i < 7; ++i) {
    float z = 17.0f - 0.55f * static_cast<float>(i);
    float scale = 1.0f - 0.06f * std::fabs(static_cast<float>(i) - 3.0f);
    m.rib(z, 2.1f * scale, 1.45f * scale, 0.13f, [](Vec3 p) {
      float t = smoothstep(13.6f, 16.5f, p.z);
      return Influences{{kChest, 0.55f + 0.45f * t}, {kSpine, 0.45f - 0.45f * t}};
    });
  }
  m.axisEllipsoid({0, -1.3f, 15.6f}, {0.3f, 0.12f, 1.6f}, rigid(kChest));
  // Pelvis: the basin and the two iliac wings.
  m.ellipsoid({0, 0.1f, 11.0f}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1.7f, 1.1f, 0.7f}, rigid(kPelvis));
  m.ellipsoid({1.3f, 0.1f, 11.9f}, normalize({1, 0, 0.6f}), {0, 1, 0}, normalize({-0.6f, 0, 1}),
              {1.0f, 0.9f, 0.25f}, rigid(kPelvis));
  m.ellipsoid({-1.3f, 0.1f, 11.9f}, normalize({1, 0, -0.6f}), {0, 1, 0}, normalize({0.6f, 0, 1}),
              {1.0f, 0.9f, 0.25f}, rigid(kPelvis));
  // Arms.
  for (int side = 0; side < 2; ++side) {
    int clavicle = side == 0 ? kClavicleL : kClavicleR;
    int upper = clavicle + 1, fore = clavicle + 2, hand = clavicle + 3;
    float sx = side == 0 ? 1.0f : -1.0f;
    m.longBone(joint(clavicle), joint(upper), 0.16f, limb(clavicle, upper));
    m.axisEllipsoid(joint(upper), {0.55f, 0.55f, 0.55f}, limb(upper, fore));  // shoulder ball
    m.longBone(joint(upper) + Vec3{0, 0, -0.4f}, joint(fore), 0.28f, limb(upper, fore));
    // Radius and ulna side by side.
    m.longBone(joint(fore) + Vec3{0.12f * sx, -0.12f, -0.3f}, joint(hand) + Vec3{0.12f * sx, -0.15f, 0},
               0.14f, limb(fore, hand));
    m.longBone(joint(fore) + Vec3{-0.1f * sx, 0.15f, -0.3f}, joint(hand) + Vec3{-0.08f * sx, 0.1f, 0},
               0.14f, limb(fore, hand));
    // Hand: palm and three fingers.
    Vec3 wrist = joint(hand);
    m.axisEllipsoid(wrist + Vec3{0.05f * sx, 0, -0.75f}, {0.22f, 0.5f, 0.7f}, rigid(hand));
    for (int f = 0; f < 3; ++f) {
      float fy = -0.3f + 0.3f * static_cast<float>(f);
      m.longBone(wrist + Vec3{0.05f * sx, fy, -1.35f}, wrist + Vec3{0.05f * sx, fy, -2.3f}, 0.08f,
                 rigid(hand), 1.2f);
    }
  }
  // Legs.
  for (int side = 0; side < 2; ++side) {
    int thigh = side == 0 ? kThighL : kThighR;
    int shin = thigh + 1, foot = thigh + 2;
    m.axisEllipsoid(joint(thigh), {0.6f, 0.6f, 0.6f}, limb(thigh, shin));  // femoral head
    m.longBone(joint(thigh), joint(shin), 0.36f, limb(thigh, shin));
    m.axisEllipsoid(joint(shin) + Vec3{0, -0.45f, 0.1f}, {0.32f, 0.18f, 0.38f}, limb(thigh, shin));
    m.longBone(joint(shin) + Vec3{0, -0.05f, -0.2f}, joint(foot) + Vec3{0, -0.05f, 0.1f}, 0.27f,
               limb(shin, foot));
    float sx = side == 0 ? 1.0f : -1.0f;
    m.longBone(joint(shin) + Vec3{0.3f * sx, 0.15f, -0.4f}, joint(foot) + Vec3{0.3f * sx, 0.15f, 0.3f},
               0.12f, limb(shin, foot));
    // Foot: heel to toes, its sole on z = 0.
    m.axisEllipsoid(joint(foot) + Vec3{0, -1.0f, -0.85f}, {0.6f, 1.7f, 0.45f}, [=](Vec3 p) {
      float t = 1 - smoothstep(0.3f, 1.1f, p.z);
      return Influences{{foot, 0.6f + 0.4f * t}, {shin, 0.4f - 0.4f * t}};
    });
  }
}

// Keeps the four heaviest influences, drops empty ones, and scales them to sum to one.
void setWeights(WeightTable& table, int64_t row, Influences w) {
  std::stable_sort(w.begin(), w.end(), [](auto& a, auto& b) { return a.second > b.second; });
  w.erase(std::remove_if(w.begin(), w.end(), [](auto& p) { return p.second <= 1e-4f; }), w.end());
  if (w.size() > 4) w.resize(4);
  float sum = 0;
  for (auto& p : w) sum += p.second;
  for (std::size_t i = 0; i < w.size(); ++i) {
    table.stored[static_cast<std::size_t>(row) * WeightTable::kInfluences + i] = {
        static_cast<float>(w[i].first), w[i].second / sum};
  }
}


// Pseudo-random values that do not depend on the platform's generators.
uint32_t hash(uint32_t x) {
  x ^= x >> 16;
  x *= 0x7feb352dU;
  x ^= x >> 15;
  x *= 0x846ca68bU;
  x ^= x >> 16;
  return x;
}
float noise01(int x, int y, uint32_t seed) {
  return static_cast<float>(hash(static_cast<uint32_t>(x) * 73856093U ^ static_cast<uint32_t>(y) * 19349663U ^ seed) & 0xFFFF) / 65535.0f;
}

// Value noise, smoothly interpolated between lattice points `cell` pixels apart, wrapping at
// `period` pixels so the texture tiles.
float valueNoise(float x, float y, int cell, int period, uint32_t seed) {
  int cells = period / cell;
  float fx = x / static_cast<float>(cell), fy = y / static_cast<float>(cell);
  int x0 = static_cast<int>(std::floor(fx)), y0 = static_cast<int>(std::floor(fy));
  float tx = smoothstep(0, 1, fx - static_cast<float>(x0)), ty = smoothstep(0, 1, fy - static_cast<float>(y0));
  auto at = [&](int i, int j) { return noise01(((i % cells) + cells) % cells, ((j % cells) + cells) % cells, seed); };
  float a = at(x0, y0) + (at(x0 + 1, y0) - at(x0, y0)) * tx;
  float b = at(x0, y0 + 1) + (at(x0 + 1, y0 + 1) - at(x0, y0 + 1)) * tx;
  return a + (b - a) * ty;
}

}  // namespace

float textureNoise(float x, float y, int cell, int period, uint32_t seed) {
  return valueNoise(x, y, cell, period, seed);
}

std::unique_ptr<ModelData> makeSkeletonModel() {
  auto model = std::make_unique<ModelData>();
  model->modelId = u"SKELTON";
  model->colliderFilePath = u"skelton.cdr";

  model->materials.push_back(makeMaterial(u"Bone", u"bone_texture", {0.96f, 0.93f, 0.86f, 1},
                                          {0.42f, 0.4f, 0.37f, 1}, {0.35f, 0.34f, 0.3f, 1}));
  model->materials.push_back(makeMaterial(u"Socket", u"bone_texture", {0.16f, 0.12f, 0.1f, 1},
                                          {0.06f, 0.05f, 0.05f, 1}, {0, 0, 0, 0}));

  auto texture = std::make_unique<Texture>();
  texture->id = u"bone_texture";
  texture->fileName = u"skelton.png";
  model->textures.push_back(std::move(texture));

  MeshBuilder mesh;
  buildMesh(mesh);
  auto geometry = std::make_unique<Geometry>();
  geometry->id = u"SkeletonMesh";
  int32_t vertexCount = static_cast<int32_t>(mesh.weights.size());
  geometry->vertexCount = vertexCount;
  geometry->floatArrays.push_back(makeFloatArray(u"SkeletonMesh-positions", 3, mesh.positions));
  geometry->floatArrays.push_back(makeFloatArray(u"SkeletonMesh-normals", 3, mesh.normals));
  geometry->floatArrays.push_back(makeFloatArray(u"SkeletonMesh-uv", 2, mesh.uvs));
  for (int list = 0; list < 2; ++list) {
    auto polygons = std::make_unique<PolygonData>();
    polygons->materialId = list == 0 ? u"Bone" : u"Socket";
    polygons->vertexId = u"SkeletonMesh-positions";
    polygons->normalId = u"SkeletonMesh-normals";
    polygons->texIds.push_back(u"SkeletonMesh-uv");
    polygons->vertexIndices = list == 0 ? mesh.boneIndices : mesh.socketIndices;
    polygons->normalIndices = polygons->vertexIndices;
    polygons->texIndices = polygons->vertexIndices;
    geometry->polygonLists.push_back(std::move(polygons));
  }
  geometry->weightCount = vertexCount;
  geometry->weights.created = true;
  geometry->weights.rows = vertexCount;
  geometry->weights.stored.assign(static_cast<std::size_t>(vertexCount) * WeightTable::kInfluences, {});
  for (int32_t v = 0; v < vertexCount; ++v) setWeights(geometry->weights, v, mesh.weights[static_cast<std::size_t>(v)]);
  model->geometries.push_back(std::move(geometry));

  // Bones: joint matrices are offsets from the parent, inverse bind matrices undo the rest
  // position; both stored transposed.
  Bone* bones[kBoneCount] = {};
  for (int b = 0; b < kBoneCount; ++b) {
    bones[b] = model->newBone();
    bones[b]->name = kBones[b].name;
    bones[b]->id = boneId(b);
    bones[b]->jointMatrix = transposed(translation(offsetFromParent(b)));
    bones[b]->invBindMatrix = transposed(translation(kBones[b].joint * -1.0f));
    model->bones.push_back(bones[b]);
  }
  for (int b = 0; b < kBoneCount; ++b) {
    if (kBones[b].parent < 0) {
      model->rootBones.push_back(bones[b]);
    } else {
      bones[b]->parent = bones[kBones[b].parent];
      bones[kBones[b].parent]->children.push_back(bones[b]);
    }
  }
  return model;
}

Image makeTexture(int size, const std::function<void(float x, float y, float rgb[3])>& colour) {
  Image image;
  image.width = image.height = size;
  image.rgba.resize(static_cast<std::size_t>(size) * size * 4);
  for (int y = 0; y < size; ++y) {
    for (int x = 0; x < size; ++x) {
      float rgb[3];
      colour(static_cast<float>(x), static_cast<float>(y), rgb);
      uint8_t* p = &image.rgba[static_cast<std::size_t>(y * size + x) * 4];
      for (int c = 0; c < 3; ++c) p[c] = static_cast<uint8_t>(std::clamp(rgb[c], 0.0f, 250.0f));
      p[3] = 255;
    }
  }
  return image;
}

Image makeBoneTexture() {
  return makeTexture(256, [](float fx, float fy, float rgb[3]) {
    // Ivory with mottling and faint lengthwise grain, like dry bone.
    float mottle = 0.6f * valueNoise(fx, fy, 32, 256, 11) + 0.4f * valueNoise(fx, fy, 8, 256, 12);
    float grain = valueNoise(fx * 0.25f, fy * 4.0f, 16, 256, 13);
    float pits = valueNoise(fx, fy, 4, 256, 14) > 0.93f ? 0.82f : 1.0f;
    float shade = (0.8f + 0.16f * mottle + 0.06f * grain) * pits;
    rgb[0] = 236.0f * shade;
    rgb[1] = 226.0f * shade;
    rgb[2] = 200.0f * shade;
  });
}

std::unique_ptr<ColliderSet> makeSkeletonColliders() {
  struct Sphere {
    const char16_t* id;
    int bone;
    Vec3 centre;
    float radius;
  };
  const Sphere spheres[] = {
      {u"HeadCollider", kHead, {0, 0, 20.8f}, 1.8f},
      {u"PelvisCollider", kPelvis, {0, 0, 11.3f}, 2.0f},
      {u"FootLCollider", kFootL, {1.4f, -0.8f, 0.5f}, 0.8f},
      {u"FootRCollider", kFootR, {-1.4f, -0.8f, 0.5f}, 0.8f},
  };
  auto set = std::make_unique<ColliderSet>();
  set->modelId = u"SKELTON";
  for (const Sphere& s : spheres) {
    auto c = std::make_unique<Collider>();
    c->id = s.id;
    c->vertexCount = 1;
    c->colliderType = kColliderSphere;
    c->radius = s.radius;
    c->floatArrays.push_back(makeFloatArray(u"centre", 3, {s.centre.x, s.centre.y, s.centre.z}));
    c->weightCount = 1;
    c->weights.created = true;
    c->weights.rows = 1;
    c->weights.stored.assign(WeightTable::kInfluences, {});
    c->weights.stored[0] = {static_cast<float>(s.bone), 1.0f};
    set->colliders.push_back(std::move(c));
  }
  return set;
}

namespace {

// One animation: for each key, each bone's rotation (degrees about x, y, z) and the extra
// offset of its joint, as functions of the cycle phase in [0, 2 pi).
struct JointPose {
  Vec3 rotation;
  Vec3 shift;
};
using PoseFn = std::function<JointPose(int bone, float phase)>;

std::unique_ptr<AnimationSet> makeAnimation(const ModelData& skeleton, const char16_t* id,
                                            float cycle, const PoseFn& pose) {
  auto animation = std::make_unique<AnimationSet>();
  animation->id = id;
  for (int b = kPelvis; b < kBoneCount; ++b) {
    auto track = std::make_unique<BoneTrack>();
    track->target = boneId(b);
    track->bone = skeleton.findBoneById(track->target);
    for (int k = 0; k <= kKeysPerCycle; ++k) {
      // The last key repeats the first exactly, so the loop has no jump.
      int key = k % kKeysPerCycle;
      float phase = 2 * kPi * static_cast<float>(key) / kKeysPerCycle;
      track->keyTimes.push_back(cycle * static_cast<float>(k) / kKeysPerCycle);
      JointPose p = pose(b, phase);
      track->poses.push_back(transposed(rotateThenTranslate(p.rotation, offsetFromParent(b) + p.shift)));
    }
    animation->tracks.push_back(std::move(track));
  }
  return animation;
}

}  // namespace

std::unique_ptr<AnimationSet> makeWalkAnimation(const ModelData& skeleton) {
  return makeAnimation(skeleton, u"WALK", kWalkCycle, [](int b, float ph) {
    JointPose p;
    float s = std::sin(ph), c = std::cos(ph);
    // Left leg forward while sin > 0; a forward swing turns the leg towards -y, i.e. a
    // negative angle about x.
    auto legSwing = [&](float sign) { return -24.0f * sign * s; };
    // The knee bends most while the leg swings through, little while it bears weight.
    auto knee = [&](float sign) {
      float swing = std::max(0.0f, std::sin(ph + (sign > 0 ? 0.9f : 0.9f + kPi)));
      return 6.0f + 42.0f * swing * swing;
    };
    switch (b) {
      case kPelvis:
        p.shift = {0, 0, 0.28f * std::cos(2 * ph) - 0.1f};  // two bobs a cycle
        p.rotation = {0, 3.0f * c, 5.0f * s};
        break;
      case kSpine: p.rotation = {4.0f, 0, -2.5f * s}; break;
      case kChest: p.rotation = {2.0f, 0, -4.0f * s}; break;
      case kHead: p.rotation = {-4.0f + 2.0f * std::cos(2 * ph), 0, 3.0f * s}; break;
      case kUpperArmL: p.rotation = {22.0f * s, 0, 0}; break;  // arms swing against the legs
      case kUpperArmR: p.rotation = {-22.0f * s, 0, 0}; break;
      case kForearmL: p.rotation = {-14.0f - 10.0f * std::max(0.0f, -s), 0, 0}; break;
      case kForearmR: p.rotation = {-14.0f - 10.0f * std::max(0.0f, s), 0, 0}; break;
      case kThighL: p.rotation = {legSwing(1), 0, 0}; break;
      case kThighR: p.rotation = {legSwing(-1), 0, 0}; break;
      case kShinL: p.rotation = {knee(1), 0, 0}; break;
      case kShinR: p.rotation = {knee(-1), 0, 0}; break;
      case kFootL: p.rotation = {-0.45f * knee(1) + 12.0f * s, 0, 0}; break;
      case kFootR: p.rotation = {-0.45f * knee(-1) - 12.0f * s, 0, 0}; break;
      default: break;
    }
    return p;
  });
}

std::unique_ptr<AnimationSet> makeStandAnimation(const ModelData& skeleton) {
  return makeAnimation(skeleton, u"STAND", kStandCycle, [](int b, float ph) {
    JointPose p;
    float breath = 0.5f - 0.5f * std::cos(ph);  // 0 at the start and end of the cycle
    float sway = std::sin(ph);
    switch (b) {
      case kPelvis: p.shift = {0, 0, -0.05f * breath}; p.rotation = {0, 0.8f * sway, 0}; break;
      case kSpine: p.rotation = {-1.0f * breath, 0, 0}; break;
      case kChest: p.rotation = {-2.2f * breath, 0, 0}; p.shift = {0, 0, 0.06f * breath}; break;
      case kNeck: p.rotation = {1.5f * breath, 0, 0}; break;
      case kHead: p.rotation = {1.0f * breath, 1.5f * std::sin(ph + 1.0f), 2.0f * sway}; break;
      case kClavicleL: p.rotation = {0, 2.0f * breath, 0}; break;
      case kClavicleR: p.rotation = {0, -2.0f * breath, 0}; break;
      case kUpperArmL: p.rotation = {2.0f * sway, 0, 0}; break;
      case kUpperArmR: p.rotation = {-2.0f * sway, 0, 0}; break;
      case kForearmL: case kForearmR: p.rotation = {-6.0f - 2.0f * breath, 0, 0}; break;
      default: break;
    }
    return p;
  });
}

}  // namespace content
