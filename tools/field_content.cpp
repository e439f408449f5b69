#include "tools/field_content.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "tools/content_math.h"
#include "tools/content_records.h"

namespace content {
namespace {

constexpr float kTwoPi = 6.28318530718f;

std::u16string tileName(int row, int column) {
  return u"Field" + std::u16string(1, static_cast<char16_t>(u'0' + row)) + u"_" +
         std::u16string(1, static_cast<char16_t>(u'0' + column));
}

std::u16string tileFile(int row, int column, const char16_t* suffix) {
  return u"field" + std::u16string(1, static_cast<char16_t>(u'0' + row)) + u"-" +
         std::u16string(1, static_cast<char16_t>(u'0' + column)) + suffix;
}

// Corner (i, j) of a tile's grid in model units. Corners are numbered across the whole field,
// so a corner on a tile border comes out as the same float in both tiles and the tiles meet
// without a crack. The field is shifted by a fraction of a grid cell so that the origin, where
// the skeleton starts, lies inside a triangle of the centre tile rather than on an edge (the
// ground query finds nothing on an edge).
void gridCorner(int row, int column, int i, int j, float& x, float& y) {
  const float cell = kTileSide / kTileQuads;
  const int half = kFieldSize * kTileQuads / 2;
  int gx = (column - 1) * kTileQuads + i;        // 0 on the field's -x edge
  int gy = (kFieldSize - row) * kTileQuads + j;  // 0 on the field's -y edge
  x = (static_cast<float>(gx - half) + 0.3f) * cell;
  y = (static_cast<float>(gy - half) + 0.1f) * cell;
}

Vec3 terrainNormal(float x, float y) {
  const float e = 1e-4f;
  float dx = (terrainHeight(x + e, y) - terrainHeight(x - e, y)) / (2 * e);
  float dy = (terrainHeight(x, y + e) - terrainHeight(x, y - e)) / (2 * e);
  return normalize({-dx, -dy, 1});
}

// The tile's grid: (kTileQuads + 1)^2 corners, two triangles per quad, wound counter-clockwise
// seen from above; the diagonal alternates so the surface has no directional bias.
void tileGrid(int row, int column, std::vector<float>& positions, std::vector<float>& normals,
              std::vector<float>& uvs, std::vector<int32_t>& indices) {
  const int n = kTileQuads;
  for (int j = 0; j <= n; ++j) {
    for (int i = 0; i <= n; ++i) {
      float x, y;
      gridCorner(row, column, i, j, x, y);
      float z = terrainHeight(x, y);
      Vec3 nrm = terrainNormal(x, y);
      positions.insert(positions.end(), {x, y, z});
      normals.insert(normals.end(), {nrm.x, nrm.y, nrm.z});
      // The grass texture repeats twelve times across a tile: about 16 world units a repeat,
      // fine enough to show the grass at the skeleton's feet.
      uvs.insert(uvs.end(), {12.0f * static_cast<float>(i) / n, 12.0f * static_cast<float>(j) / n});
    }
  }
  for (int j = 0; j < n; ++j) {
    for (int i = 0; i < n; ++i) {
      int32_t a = j * (n + 1) + i, b = a + 1, c = a + (n + 1), d = c + 1;
      if ((i + j) % 2 == 0) {
        indices.insert(indices.end(), {a, b, d, a, d, c});
      } else {
        indices.insert(indices.end(), {a, b, c, b, d, c});
      }
    }
  }
}


}  // namespace

float terrainHeight(float x, float y) {
  // A few long swells (hundreds of world units) of a few world units each: gentle enough to
  // walk over, clearly visible from behind the skeleton.
  return 0.0022f * std::sin(kTwoPi * x / 0.37f + 0.3f) * std::cos(kTwoPi * y / 0.29f) +
         0.0014f * std::sin(kTwoPi * (x + y) / 0.61f + 1.1f) +
         0.0006f * std::cos(kTwoPi * (x - 2 * y) / 0.23f);
}

std::unique_ptr<ModelData> makeTileModel(int row, int column) {
  auto model = std::make_unique<ModelData>();
  std::u16string name = tileName(row, column);
  model->modelId = name;
  model->colliderFilePath = tileFile(row, column, u".cdr");

  // A subtle tint per tile, so that movement across the field is easy to see.
  uint32_t h = static_cast<uint32_t>(row * 7 + column) * 2654435761U;
  float tint = 0.9f + 0.1f * static_cast<float>((h >> 8) & 0xFF) / 255.0f;
  float warm = 0.03f * (static_cast<float>((h >> 16) & 0xFF) / 255.0f - 0.5f);
  model->materials.push_back(makeMaterial(u"Grass", u"grass_texture", {tint + warm, tint, tint - warm, 1},
                                          {0.35f, 0.37f, 0.33f, 1}, {0.05f, 0.05f, 0.05f, 1}));
  auto texture = std::make_unique<Texture>();
  texture->id = u"grass_texture";
  texture->fileName = u"grass.png";
  model->textures.push_back(std::move(texture));

  std::vector<float> positions, normals, uvs;
  std::vector<int32_t> indices;
  tileGrid(row, column, positions, normals, uvs, indices);
  auto geometry = std::make_unique<Geometry>();
  geometry->id = name + u"-mesh";
  geometry->vertexCount = static_cast<int32_t>(positions.size() / 3);
  geometry->floatArrays.push_back(makeFloatArray(name + u"-positions", 3, positions));
  geometry->floatArrays.push_back(makeFloatArray(name + u"-normals", 3, normals));
  geometry->floatArrays.push_back(makeFloatArray(name + u"-uv", 2, uvs));
  auto polygons = std::make_unique<PolygonData>();
  polygons->materialId = u"Grass";
  polygons->vertexId = name + u"-positions";
  polygons->normalId = name + u"-normals";
  polygons->texIds.push_back(name + u"-uv");
  polygons->vertexIndices = indices;
  polygons->normalIndices = indices;
  polygons->texIndices = indices;
  geometry->polygonLists.push_back(std::move(polygons));
  model->geometries.push_back(std::move(geometry));
  return model;
}

std::unique_ptr<ColliderSet> makeTileColliders(int row, int column) {
  std::vector<float> positions, normals, uvs;
  std::vector<int32_t> indices;
  tileGrid(row, column, positions, normals, uvs, indices);
  std::u16string name = tileName(row, column);
  auto set = std::make_unique<ColliderSet>();
  set->modelId = name;
  auto c = std::make_unique<Collider>();
  c->id = name + u"-ground";
  c->vertexCount = static_cast<int32_t>(positions.size() / 3);
  c->colliderType = kColliderMesh;
  c->floatArrays.push_back(makeFloatArray(u"ground-positions", 3, positions));
  c->floatArrays.push_back(makeFloatArray(u"ground-normals", 3, normals));
  auto polygons = std::make_unique<ColliderPolygon>();
  polygons->vertexId = u"ground-positions";
  polygons->normalId = u"ground-normals";
  polygons->vertexIndices = indices;
  polygons->normalIndices = indices;
  c->cornerCount = static_cast<int32_t>(indices.size());
  c->polygonLists.push_back(std::move(polygons));
  set->colliders.push_back(std::move(c));
  return set;
}

Image makeGrassTexture() {
  return makeTexture(256, [](float fx, float fy, float rgb[3]) {
    float patches = textureNoise(fx, fy, 64, 256, 21);
    float clumps = textureNoise(fx, fy, 16, 256, 22);
    float blades = textureNoise(fx * 2.0f, fy * 0.5f, 4, 256, 23);
    float earth = std::clamp((0.35f - patches) * 4.0f, 0.0f, 1.0f) * 0.6f;
    float g = 0.55f + 0.25f * clumps + 0.2f * blades;
    rgb[0] = ((70 + 40 * clumps) * (1 - earth) + 120 * earth) * g;
    rgb[1] = ((120 + 60 * g) * (1 - earth) + 100 * earth) * g;
    rgb[2] = ((45 + 20 * blades) * (1 - earth) + 70 * earth) * g;
  });
}

}  // namespace content
