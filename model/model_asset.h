// ModelAsset: a model in the one form every format reaches before it is drawn. The readers of
// glTF, STL, PLY, OBJ and Assimp's formats write it directly; a .mdl model and a COLLADA
// document are read into ModelData first (their own records) and then turned into it
// (model/model_data_asset.h). The drawable model (scene/drawable_model.h) is built from it.
//
// Conventions, the same whatever the file's own: matrices are Matrix4 (row vectors, a point
// transforms as p * M, translation in the last row); front faces wind counter-clockwise;
// texture coordinates have (0, 0) at the image's top-left corner; colours and factors are
// linear; the node tree's frame has the axis `upAxis` up and `metresPerUnit` metres a unit.
// Nothing here touches a GPU, the display or the current directory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "model/matrix4.h"

// Bytes held once and shared by whatever refers into them (a GLB's binary chunk, a decoded
// data URI, an FBX's embedded texture).
using SharedBytes = std::shared_ptr<const std::vector<uint8_t>>;

// Where an image's encoded bytes are: a file, or bytes the model file holds. Decoding waits
// for the drawable model, which decodes each image once however many materials use it.
struct ImageSource {
  std::string name;             // for messages: the URI or file name as the model writes it
  std::filesystem::path path;   // a file, resolved against the model's folder; empty for bytes
  SharedBytes bytes;            // the encoded image lies at [offset, offset + size) of *bytes
  std::size_t offset = 0, size = 0;
  std::string mimeType;         // as the model states it; empty when it does not

  bool inMemory() const { return bytes != nullptr; }
  std::span<const uint8_t> data() const {
    return bytes ? std::span<const uint8_t>(bytes->data() + offset, size) : std::span<const uint8_t>();
  }
};

enum class TextureFilter : uint8_t { kLinear, kNearest };
enum class MipmapMode : uint8_t { kLinear, kNearest, kNone };
enum class TextureWrap : uint8_t { kRepeat, kClampToEdge, kMirroredRepeat };

struct TextureSampler {
  TextureFilter magFilter = TextureFilter::kLinear;
  TextureFilter minFilter = TextureFilter::kLinear;
  MipmapMode mipmaps = MipmapMode::kLinear;
  TextureWrap wrapS = TextureWrap::kRepeat, wrapT = TextureWrap::kRepeat;
};

// KHR_texture_transform: uv' = translate(offset) * rotate(rotation) * scale(scale) * uv.
struct TextureTransform {
  float offset[2] = {0, 0};
  float rotation = 0;  // radians, counter-clockwise in uv space
  float scale[2] = {1, 1};
};

// One texture a material samples. `image < 0`: none.
struct TextureRef {
  int32_t image = -1;     // in ModelAsset::images
  int32_t sampler = -1;   // in ModelAsset::samplers; -1: repeat, linear, mipmapped
  int32_t texCoord = 0;   // which texture coordinate set, 0 or 1
  bool hasTransform = false;
  TextureTransform transform;

  bool present() const { return image >= 0; }
};

enum class AlphaMode : uint8_t { kOpaque, kMask, kBlend };

// What a surface is made of, ready for physically based shading (the metallic-roughness model
// of glTF 2.0 and the extensions real files use). Formats with Phong colours map onto it by the
// rule in model/model_data_asset.h.
struct MaterialDescription {
  std::string name;
  float baseColor[4] = {1, 1, 1, 1};  // multiplies the texture and the vertex colours
  TextureRef baseColorTexture;        // sRGB
  float metallic = 1, roughness = 1;
  TextureRef metallicRoughnessTexture;  // blue: metallic, green: roughness (linear)
  TextureRef normalTexture;
  float normalScale = 1;
  TextureRef occlusionTexture;  // red
  float occlusionStrength = 1;
  float emissive[3] = {0, 0, 0};
  float emissiveStrength = 1;  // KHR_materials_emissive_strength
  TextureRef emissiveTexture;  // sRGB
  AlphaMode alphaMode = AlphaMode::kOpaque;
  float alphaCutoff = 0.5f;
  bool doubleSided = false;
  bool unlit = false;  // KHR_materials_unlit: the base colour as it is
  // What shows when the base colour texture cannot be used (its image is missing or cannot be
  // decoded): this colour when given, else the base colour, or a neutral light grey where that
  // is white (the texture alone was to colour it).
  bool hasBaseColorWithoutTexture = false;
  float baseColorWithoutTexture[4] = {1, 1, 1, 1};
  // A format without alpha modes (Phong materials): blended when the base colour texture has
  // translucent pixels, else as `alphaMode` says.
  bool blendWhenTextureTranslucent = false;

  // Read for the shading that uses them; their defaults leave the surface as above.
  float ior = 1.5f;  // KHR_materials_ior
  struct Clearcoat {
    float factor = 0, roughness = 0;
    TextureRef texture, roughnessTexture, normalTexture;
    float normalScale = 1;
  } clearcoat;
  struct Specular {
    float factor = 1;
    float color[3] = {1, 1, 1};
    TextureRef texture, colorTexture;
  } specular;
  struct Transmission {
    float factor = 0;
    TextureRef texture;
  } transmission;
  struct Sheen {
    float color[3] = {0, 0, 0};
    float roughness = 0;
    TextureRef colorTexture, roughnessTexture;
  } sheen;
  // Extensions the material uses, by name, as the file writes them (for messages and --info).
  std::vector<std::string> extensions;
};

enum class PrimitiveMode : uint8_t { kTriangles, kLines, kPoints };

// Displacements of a morph target, per vertex of its primitive; an absent attribute is empty.
struct MorphTarget {
  std::vector<float> positions;  // xyz
  std::vector<float> normals;    // xyz
  std::vector<float> tangents;   // xyz
};

// One draw's worth of geometry with one material. Attributes are per vertex, flat; an absent
// attribute is empty. Strips, fans and loops arrive as lists.
struct MeshPrimitive {
  PrimitiveMode mode = PrimitiveMode::kTriangles;
  int32_t material = -1;              // in ModelAsset::materials; -1: the default material
  std::vector<float> positions;       // xyz
  std::vector<float> normals;         // xyz, unit length
  std::vector<float> tangents;        // xyzw: w is the bitangent's sign
  std::vector<float> texCoords[2];    // uv
  std::vector<float> colors;          // rgba, linear
  std::vector<uint16_t> joints;       // four per vertex, into the skin's joints
  std::vector<float> weights;         // four per vertex
  std::vector<uint32_t> indices;      // 3 a triangle, 2 a line, 1 a point
  std::vector<MorphTarget> targets;

  std::size_t vertexCount() const { return positions.size() / 3; }
  std::size_t elementCount() const {  // triangles, lines or points
    const std::size_t corners = mode == PrimitiveMode::kTriangles ? 3 : mode == PrimitiveMode::kLines ? 2 : 1;
    return indices.size() / corners;
  }
};

struct Mesh {
  std::string name;
  std::vector<MeshPrimitive> primitives;
  std::vector<float> weights;  // default morph target weights
};

struct Skin {
  std::string name;
  std::vector<int32_t> joints;        // in ModelAsset::nodes
  std::vector<Matrix4> inverseBinds;  // one per joint (identity when the file gives none)
  int32_t skeleton = -1;              // the skeleton's root node, when the file names it
};

// A node of the tree. Parents come before their children in ModelAsset::nodes.
struct AssetNode {
  std::string name;
  int32_t parent = -1;
  // The local transform: a matrix, or translation, rotation and scale, which animation
  // channels replace one at a time (`local` then holds their product).
  Matrix4 local = kIdentityMatrix;
  bool hasTrs = false;
  float translation[3] = {0, 0, 0};
  float rotation[4] = {0, 0, 0, 1};  // unit quaternion x, y, z, w
  float scale[3] = {1, 1, 1};
  int32_t mesh = -1;  // in ModelAsset::meshes
  int32_t skin = -1;  // in ModelAsset::skins: the mesh is posed by its joints, not by this node
  std::vector<float> weights;  // morph weights of this placement (empty: the mesh's)
  // The mesh's placements relative to this node (EXT_mesh_gpu_instancing); when there are
  // any, they replace the node's own single placement of it.
  std::vector<Matrix4> placements;
  int32_t light = -1, camera = -1;
};

enum class AnimationPath : uint8_t { kTranslation, kRotation, kScale, kWeights, kMatrix };
enum class Interpolation : uint8_t { kLinear, kStep, kCubicSpline };

// The keys of one animated property of one node. Values per key: 3 (translation, scale), 4
// (rotation quaternion), the morph target count (weights) or 16 (a matrix, blended element by
// element); a cubic spline has three such groups a key: in-tangent, value, out-tangent.
struct AnimationChannel {
  int32_t node = -1;
  AnimationPath path = AnimationPath::kMatrix;
  Interpolation interpolation = Interpolation::kLinear;
  std::vector<float> times;  // seconds, ascending
  std::vector<float> values;
};

struct AnimationClip {
  std::string name;
  std::vector<AnimationChannel> channels;
  float duration() const;  // the last key time of any channel, 0 without keys
};

struct AssetLight {
  enum class Type : uint8_t { kDirectional, kPoint, kSpot };
  std::string name;
  Type type = Type::kDirectional;
  float color[3] = {1, 1, 1};
  float intensity = 1;
  float range = 0;  // 0: unlimited
  float innerConeAngle = 0, outerConeAngle = 0.7853982f;
};

struct AssetCamera {
  std::string name;
  bool perspective = true;
  float yfov = 0.8f, aspectRatio = 0, znear = 0.01f, zfar = 0;  // zfar 0: infinite
  float xmag = 1, ymag = 1;
};

enum class UpAxis : uint8_t { kX, kY, kZ };

struct ModelAsset {
  std::string name;            // the model's name
  std::filesystem::path file;  // the file it was read from (for messages and its folder)
  std::vector<Mesh> meshes;
  std::vector<MaterialDescription> materials;
  std::vector<ImageSource> images;
  std::vector<TextureSampler> samplers;
  std::vector<AssetNode> nodes;  // parents before children
  std::vector<Skin> skins;
  std::vector<AnimationClip> animations;
  std::vector<AssetLight> lights;
  std::vector<AssetCamera> cameras;
  UpAxis upAxis = UpAxis::kZ;
  double metresPerUnit = 0;  // 0: the file does not say
  // What the file says of itself, for --info.
  std::string generator;
  std::vector<std::string> extensionsUsed, extensionsRequired;
};

// The local matrix of a node's translation, rotation and scale (scale first, then rotation,
// then translation).
Matrix4 trsMatrix(const float translation[3], const float rotation[4], const float scale[3]);

// Every node's world matrix (its local matrix under its parent's world), in node order.
std::vector<Matrix4> nodeWorlds(const ModelAsset& asset);
