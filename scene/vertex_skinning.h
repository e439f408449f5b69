// Skinning on the CPU: a geometry's vertices moved into its object's space by the bind-shape
// matrix and the bone-weighted skinning matrices. The light and scene passes draw the same
// skinned vertices, so the render device computes them once per frame here instead of in every
// vertex shader of every pass (the CPU rasterizer runs vertex work on one thread). Nothing here
// knows a GPU.
#pragma once

#include <array>

#include "model/model_scene.h"
#include "scene/mesh_set.h"

// The skinning matrices of one MeshSet's draws, in the system's row-vector convention.
using SkinMatrices = std::array<Matrix4, kMaxSkinMatrices>;

// The skinMatrix of each of the first kMaxSkinMatrices bones of `set` in order, the identity
// for the rest: the matrices the per-object constants carry.
void GatherSkinMatrices(const MeshSet& set, SkinMatrices& out);

// True when some vertex of `geometry` has a bone weight above 1e-7: its skinned form follows
// the pose; otherwise only the bind-shape matrix moves it.
bool HasBoneWeights(const GpuGeometry& geometry);

// Writes `geometry.vertices.size()` records to `out`: each vertex with its position (w = 1)
// and normal (w = 0) multiplied by the bind-shape matrix and then, when it has influences
// (bone index 0 to 31 after truncation, weight above 1e-7), replaced by the weighted sum of
// that times each influence's skinning matrix. Colour, texture coordinate and bone pairs are
// copied unchanged. Returns the box of the positions written.
SceneBounds SkinVertices(const GpuGeometry& geometry, const SkinMatrices& skin, ModelVertex* out);
