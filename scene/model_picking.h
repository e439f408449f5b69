// Ray casts on a drawable model, for measuring: a bounding-volume hierarchy of each mesh's
// triangles in the mesh's own frame, built once, and the nearest hit of a ray among a frame's
// instances (rigid ones through their hierarchy, skinned ones in the frame's pose, triangle by
// triangle). CPU only.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "scene/drawable_model.h"

class ModelPicker {
 public:
  explicit ModelPicker(const DrawableModel& model);

  struct Hit {
    bool found = false;
    float point[3] = {};   // where the ray meets the surface, world units
    float corner[3] = {};  // the hit triangle's corner nearest to it, world units
  };
  // The nearest hit of the ray `origin` + t `direction` (t > 0, world units) on `model` as a
  // frame places it: each instance's world, and for a skinned one the first of its matrices in
  // `joints` (-1: rigid), as the model view's frame holds them.
  Hit cast(const float origin[3], const float direction[3], const DrawableModel& model,
           std::span<const Matrix4> instanceWorlds, std::span<const int32_t> jointOffsets,
           std::span<const Matrix4> joints) const;

 private:
  struct Node {
    float min[3], max[3];
    uint32_t first = 0, count = 0;  // leaf: `count` triangles from `first`; inner: children at first, first + 1
  };
  struct Triangle {
    uint32_t primitive, index;  // the primitive's triangle `index`
  };
  struct MeshTree {
    std::vector<Node> nodes;
    std::vector<Triangle> triangles;
  };
  void build(const Mesh& mesh, MeshTree& tree);

  std::vector<MeshTree> trees_;  // one per mesh
};
