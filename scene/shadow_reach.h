// Where shadows can fall. The shadow map holds an occluder only where a caster's triangles
// project, and a receiver's look-up finds a point lit wherever the texels it reads hold none.
// So a part of a receiver whose projection onto the map misses every caster's, by a margin of a
// few texels, is lit whatever the map holds: the renderer draws it without the per-pixel look-up,
// a large share of the ground's cost on a CPU rasterizer. The projection is the shaders'
// lightClip, on the CPU. Nothing here knows a GPU.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "model/matrix4.h"
#include "model/model_scene.h"
#include "scene/camera.h"
#include "scene/mesh_set.h"

// A rectangle of the shadow map in its normalized device coordinates (-1 to 1 across).
struct MapRect {
  bool empty = true;
  float min[2] = {};
  float max[2] = {};

  void add(const float point[2]) {
    for (int k = 0; k < 2; ++k) {
      if (empty || point[k] < min[k]) min[k] = point[k];
      if (empty || point[k] > max[k]) max[k] = point[k];
    }
    empty = false;
  }
};

class ShadowReach {
 public:
  // No casters yet: nothing can be in shadow. `frame` holds the frame's light and follow views;
  // the map is `mapWidth` x `mapHeight` texels.
  ShadowReach(const FrameConstantImage& frame, uint32_t mapWidth, uint32_t mapHeight);

  // Adds a caster: the object-space `box` of its vertices, placed by `world`.
  void addCaster(const SceneBounds& box, const Matrix4& world);

  // False only when no point of `box` placed by `world` can be in a caster's shadow.
  bool mayBeShadowed(const SceneBounds& box, const Matrix4& world) const;

 private:
  // The map rectangle that `box` placed by `world` projects into; false when some corner is not
  // safely in front of the light, where the projection says nothing.
  bool project(const SceneBounds& box, const Matrix4& world, MapRect& out) const;

  Matrix4 toLightClip_{};  // light view x light projection
  float centre_[2] = {};   // the follow target's place on the unzoomed map
  float zoom_ = 0;
  float margin_[2] = {};
  MapRect casters_;        // every caster's rectangle, grown by the margin
  bool everywhere_ = false;
};

// An index list cut into runs of whole triangles, each with the box of its vertices: the parts
// of a receiver that are drawn with or without the look-up. At most about kMaxTriangleRuns runs,
// so that testing them stays cheap for a large mesh.
struct TriangleRuns {
  static constexpr std::size_t kMinTriangles = 8;
  static constexpr std::size_t kMaxTriangleRuns = 256;
  std::size_t indicesPerRun = 0;
  std::vector<SceneBounds> boxes;  // run k: indices [k x indicesPerRun, (k + 1) x indicesPerRun)
};

// The runs of `indices` over `vertices` as the bind-shape matrix `bindShape` places them (the
// object space of an unweighted geometry). Indices past the vertices are left out of the boxes:
// they draw nothing.
TriangleRuns CutIntoTriangleRuns(const std::vector<uint32_t>& indices, const std::vector<ModelVertex>& vertices,
                                 const Matrix4& bindShape);
