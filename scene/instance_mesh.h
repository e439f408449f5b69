// The drawable form of one placed instance of a model's scene: its geometry's triangle
// primitives (the scene's own lists included) with the materials the instance binds. Unlike a
// MeshSet built from the whole model, where a vertex is one position with whatever normal and
// texture coordinate its last corner gave it, every distinct corner here becomes a vertex of its
// own, so hard edges and texture seams come out as the exporter wrote them. Only the first
// texture coordinate set is used.
#pragma once

#include <string>
#include <vector>

#include "model/model_data.h"
#include "scene/mesh_set.h"

// A model's textures as loaded once for all of its instances: per Texture of the model, the
// loaded resource and slot, or null and -1.
struct LoadedTextures {
  std::vector<void*> resources;
  std::vector<int64_t> slots;
};

// Loads every texture of `model` through `loadTexture` (the paths relative to the current
// directory, "\" read as "/"); those that fail stay empty.
LoadedTextures LoadModelTextures(const ModelData& model, const TextureLoader& loadTexture);

// Adds to `set` the geometry of `instance`: a vertex per distinct corner (position, normal,
// colour, texture coordinate), one index list per primitive with the instance's material (a
// material the model lacks draws light grey). Corners without a normal get their triangle's.
// A skinned instance keeps the geometry's bone weights; a rigid one (`rigidWeight`) gives every
// vertex full weight on bone 0, so that it casts shadows like a skinned object while its
// MeshSet, not animated, never re-skins it. The geometry's bind-shape matrix applies to a
// skinned instance, and to a rigid one when `bindShape` (a .mdl model draws every geometry
// with it). Corners whose indices fall outside their arrays are dropped with their triangle.
// `counterClockwise`: the model's front faces wind counter-clockwise (COLLADA), and the
// corners are reordered to the renderer's clockwise fronts. Returns the number of triangles
// added.
int64_t AddInstanceGeometry(MeshSet& set, const ModelData& model, const ModelScene& scene,
                            const SceneInstance& instance, const LoadedTextures& textures,
                            bool bindShape, bool counterClockwise);
