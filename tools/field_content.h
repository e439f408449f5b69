// The 7 x 7 field: rolling terrain cut into tiles, each its own model placed in the field
// by its own coordinates, with a mesh collider of the same triangles and a shared grass
// texture.
#pragma once

#include <memory>

#include "model/model_data.h"
#include "scene/collider_set.h"
#include "tools/skeleton_content.h"

namespace content {

inline constexpr int kFieldSize = 7;         // tiles per row and per column
inline constexpr float kTileSide = 0.1f;     // model units; x 2000 = 200 world units
inline constexpr int kTileQuads = 16;        // grid quads per tile side

// Terrain height in tile model units at (x, y), continuous across the whole field.
float terrainHeight(float x, float y);

// Tile at row r, column c (both 1..7). Row 1 is the +y edge, column 1 the -x edge; the centre
// tile (4, 4) holds the origin, off every triangle edge.
std::unique_ptr<ModelData> makeTileModel(int row, int column);
std::unique_ptr<ColliderSet> makeTileColliders(int row, int column);
Image makeGrassTexture();

}  // namespace content
