// DrawableModel: a model ready to be drawn, built on the CPU from a ModelAsset without any GPU,
// the same for every format. Each mesh is held once however many instances place it; its
// images are decoded (each once); every primitive has a usable material (a neutral default
// where the file gives none), normals, and no corner that is not finite; the instances are
// listed with the node or skin that places them; the bounds of the rest pose are known. The
// render device uploads it once (render/gpu_model.h); the model view poses it (below).
//
// Frame: the viewer's, Z up. The model's own frame reaches it through `rootTransform`, which
// every node world includes. Units stay the model's.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "model/model_asset.h"
#include "model/model_scene.h"

struct DrawableImage {
  std::string name;  // as the model names it
  std::filesystem::path file;  // the file it was read from; empty for one the model holds
  int32_t width = 0, height = 0;
  std::vector<uint8_t> rgba;  // 8-bit RGBA, top row first
  bool hasAlpha = false;      // some pixel is not opaque
};

// One placement of a mesh.
struct DrawableInstance {
  int32_t mesh = -1;
  int32_t node = -1;       // the node whose world places it
  int32_t placement = -1;  // one of that node's extra placements, -1 for the node itself
  int32_t skin = -1;       // posed by this skin's joints instead (the node's world plays no part)
};

struct DrawableModel {
  std::string name;
  std::filesystem::path file;
  std::vector<Mesh> meshes;
  std::vector<MaterialDescription> materials;  // the last is the default, a neutral light grey
  std::vector<DrawableImage> images;           // parallel to the asset's; empty where unusable
  std::vector<TextureSampler> samplers;
  std::vector<AssetNode> nodes;
  std::vector<Skin> skins;
  std::vector<AnimationClip> animations;
  std::vector<AssetLight> lights;
  std::vector<AssetCamera> cameras;
  std::vector<DrawableInstance> instances;
  Matrix4 rootTransform = kIdentityMatrix;
  double metresPerUnit = 0;  // 0: unknown
  SceneBounds bounds;        // of every drawn vertex in the rest pose, in the viewer's frame
  std::vector<std::string> extensionsUsed, extensionsRequired;
  std::string generator;

  int32_t defaultMaterial() const { return static_cast<int32_t>(materials.size()) - 1; }
  // Triangles, lines and points of every instance, each placement counted.
  int64_t drawnElements(PrimitiveMode mode) const;
};

// The matrix that turns a frame with `up` up into the viewer's, Z up (right-handed both).
Matrix4 upAxisTurn(UpAxis up);

// Builds `out` from `asset`, which it takes apart. Images are decoded on as many threads as the
// machine has; one that cannot be used is named in one warning with the reason, and its
// materials draw without it (in their colour, or light grey). Triangles with a corner that is
// not finite are left out (one warning), primitives without normals get their faces' own, and
// normal-mapped ones without tangents get MikkTSpace tangents. False, after one line on stderr
// naming the file, when nothing is left to draw.
// `decodeImages` false leaves the images undecoded and the materials' textures as they are (for
// describing a model, which needs no pixels).
bool buildDrawableModel(ModelAsset asset, DrawableModel& out, bool decodeImages = true);

// The material extensions `model` uses that the model view reads but does not shade (sheen,
// transmission, volume, ...), sorted, each once.
std::vector<std::string> unshadedExtensions(const DrawableModel& model);

// Reads `file` with `animations` (model/model_format.h) and builds its drawable model: the whole
// load, on the calling thread, naming the unshaded extensions in one warning. Null after one
// line on stderr naming the file and the reason.
std::shared_ptr<DrawableModel> loadDrawableModel(const std::filesystem::path& file,
                                                 std::span<const std::filesystem::path> animations = {});

// ---- Posing: the node tree in the rest pose or sampled from an animation clip at a time, the
// nodes' world matrices, where each instance lies, and the joint matrices of its skins. Plain CPU
// work without allocation once the pose has its size; the model view runs it once a frame.

struct ModelPose {
  std::vector<Matrix4> locals;  // per node
  std::vector<Matrix4> worlds;  // per node, the model's root transform included
};

// Every node at the local matrix the model gives it.
void RestPose(const DrawableModel& model, ModelPose& pose);

// Every node at the rest pose but those `clip` animates, at `time` seconds (before the first
// key: the first; after the last: the last). A channel replaces its node's translation,
// rotation or scale (the rest of the node's own), or its whole matrix; rotations blend along
// the shortest arc, matrices element by element.
void SamplePose(const DrawableModel& model, const AnimationClip& clip, float time, ModelPose& pose);

// The worlds from the locals, parents first.
void ComposeWorlds(const DrawableModel& model, ModelPose& pose);

// Where a rigid instance lies: its node's world, after its own placement when it has one.
Matrix4 InstanceWorld(const DrawableModel& model, const ModelPose& pose, const DrawableInstance& instance);

// The joint matrices of skin `skin` (inverse bind x joint world): a vertex goes to
// v x sum(weight x matrix).
void JointMatrices(const DrawableModel& model, const ModelPose& pose, int32_t skin, std::vector<Matrix4>& out);

// The box of every vertex of every instance where `pose` puts it (the worlds composed), skinned
// ones too, up to a budget of points; past it, a rigid instance adds the corners of its mesh's
// box instead, which hold its vertices. Points that are not finite play no part.
SceneBounds PosedBounds(const DrawableModel& model, const ModelPose& pose);

// `point` x `m`.
void TransformPoint(const Matrix4& m, const float point[3], float out[3]);
