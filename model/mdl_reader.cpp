#include "model/mdl_reader.h"

#include <cstdio>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "model/block_reader.h"
#include "model/load_error.h"
#include "model/model_data.h"
#include "platform/line_reader.h"

namespace {

using blocks::BlockReader;
using blocks::kBoneSeparators;
using blocks::kInnerSeparators;
using blocks::kOuterSeparators;

// Buffer sizes of the fixed-size number and name lines.
constexpr std::size_t kColourLineBytes = 1024;
constexpr std::size_t kBindShapeLineBytes = 2048;
constexpr std::size_t kBoneMatrixLineBytes = 2348;
constexpr std::size_t kBoneArrayUnits = 4096;

constexpr blocks::FloatArrayRules kModelFloatArrays{.acceptZeroCounts = true,
                                                    .keepOtherTupleSizes = true};

class MdlReader {
 public:
  MdlReader(ModelData& model, text::LineReader& lines) : model_(model), reader_(lines) {}

  // Reads the file to its end; returns the first problem met, or "".
  std::string run();

 private:
  bool readMaterial(Material& material);
  bool readTexture(Texture& texture);
  bool readGeometry(Geometry& geometry);
  bool readPolygonData(PolygonData& polygons);
  void readBoneList();
  Bone* readBone(Bone* parent);
  Bone* nameBone(Bone* parent, const std::u16string& name);
  void cutOff(const char* block);

  ModelData& model_;
  BlockReader reader_;
  std::string problem_;
  // The bones of `bones` by name, first one kept: bone blocks look a name up for every bone.
  std::unordered_map<std::u16string, Bone*> bonesByName_;
  // Bones already named by a bone block: naming one again would link it into the tree twice
  // (or make it its own ancestor), so a repeated name gets a bone of its own.
  std::unordered_set<const Bone*> placed_;
};

void MdlReader::cutOff(const char* block) {
  if (problem_.empty()) {
    problem_ = std::string("the file ends inside a ") + block + " block, which is left out";
  }
}

std::string MdlReader::run() {
  model_.colliderFilePath.clear();
  for (Bone* bone : model_.bones) bonesByName_.emplace(bone->name, bone);
  while (reader_.nextKeywordLine(kOuterSeparators)) {
    if (reader_.is(u"MODEL_ID")) {
      model_.modelId = reader_.readValueLine();
    } else if (reader_.is(u"COLLIDER_FILE_PATH")) {
      model_.colliderFilePath = reader_.readValueLine();
    } else if (reader_.is(u"MATERIAL_BEGIN")) {
      auto material = std::make_unique<Material>();
      if (!readMaterial(*material)) {
        cutOff("MATERIAL");
        break;
      }
      model_.materials.push_back(std::move(material));
    } else if (reader_.is(u"TEXTURE_BEGIN")) {
      auto texture = std::make_unique<Texture>();
      if (!readTexture(*texture)) {
        cutOff("TEXTURE");
        break;
      }
      model_.textures.push_back(std::move(texture));
    } else if (reader_.is(u"GEOMETRY_BEGIN")) {
      auto geometry = std::make_unique<Geometry>();
      if (!readGeometry(*geometry)) {
        cutOff("GEOMETRY");
        break;
      }
      model_.geometries.push_back(std::move(geometry));
    } else if (reader_.is(u"BONE_ARRAY")) {
      readBoneList();
    } else if (reader_.is(u"BONE")) {
      readBone(nullptr);
    }
  }
  return problem_;
}

bool MdlReader::readMaterial(Material& material) {
  while (reader_.nextKeywordLine(kOuterSeparators)) {
    if (reader_.is(u"MATERIAL_NAME")) {
      material.name = reader_.value();
    } else if (reader_.is(u"TEXTURE_NAME")) {
      material.textureName = reader_.value();
    } else if (reader_.is(u"DIFFUSE")) {
      reader_.readFloats(kColourLineBytes, material.diffuse, 4);
    } else if (reader_.is(u"AMBIENT")) {
      reader_.readFloats(kColourLineBytes, material.ambient, 4);
    } else if (reader_.is(u"SPECULAR")) {
      reader_.readFloats(kColourLineBytes, material.specular, 4);
    } else if (reader_.is(u"EMMITION")) {
      reader_.readFloats(kColourLineBytes, material.emission, 4);
    } else if (reader_.is(u"MATERIAL_END")) {
      return true;
    }
  }
  return false;
}

bool MdlReader::readTexture(Texture& texture) {
  while (reader_.nextKeywordLine(kOuterSeparators)) {
    if (reader_.is(u"TEXTURE_ID")) {
      texture.id = reader_.value();
    } else if (reader_.is(u"TEXTURE_NAME")) {
      texture.fileName = reader_.value();
    } else if (reader_.is(u"TEXTURE_END")) {
      return true;
    }
  }
  return false;
}

bool MdlReader::readGeometry(Geometry& geometry) {
  while (reader_.nextKeywordLine(kOuterSeparators)) {
    if (reader_.is(u"GEOMETRY_ID")) {
      geometry.id = reader_.value();
    } else if (reader_.is(u"VERTEX_COUNT")) {
      geometry.vertexCount = reader_.intValue();
    } else if (reader_.is(u"BIND_SHAPE_MATRIX")) {
      reader_.readFloats(kBindShapeLineBytes, geometry.bindShapeMatrix.data(), 16);
    } else if (reader_.is(u"FLOAT_ARRAY_BEGIN")) {
      auto array = std::make_unique<FloatArray>();
      if (!blocks::readFloatArrayBlock(reader_, *array, kModelFloatArrays)) return false;
      geometry.floatArrays.push_back(std::move(array));
    } else if (reader_.is(u"POLYGON_DATA_BEGIN")) {
      auto polygons = std::make_unique<PolygonData>();
      if (!readPolygonData(*polygons)) return false;
      geometry.polygonLists.push_back(std::move(polygons));
    } else if (reader_.is(u"WEIGHTS_BEGIN")) {
      if (!blocks::readWeightsBlock(reader_, geometry.weights, geometry.weightCount)) return false;
    } else if (reader_.is(u"GEOMETRY_END")) {
      return true;
    }
  }
  return false;
}

bool MdlReader::readPolygonData(PolygonData& polygons) {
  while (reader_.nextKeywordLine(kInnerSeparators)) {
    if (reader_.is(u"MATERIAL_ID")) {
      polygons.materialId = reader_.value();
    } else if (reader_.is(u"VERTEX_ID")) {
      polygons.vertexId = reader_.value();
    } else if (reader_.is(u"NORMAL_ID")) {
      polygons.normalId = reader_.value();
    } else if (reader_.is(u"COLOR_ID")) {
      polygons.colorId = reader_.value();
    } else if (reader_.is(u"VERTEX_INDEX_COUNT")) {
      blocks::readCountedIndices(reader_, reader_.intValue(), polygons.vertexIndices);
    } else if (reader_.is(u"NORMAL_INDEX_COUNT")) {
      blocks::readCountedIndices(reader_, reader_.intValue(), polygons.normalIndices);
    } else if (reader_.is(u"TEX_INDEX_COUNT")) {
      blocks::readCountedIndices(reader_, reader_.intValue(), polygons.texIndices);
    } else if (reader_.is(u"COLOR_INDEX_COUNT")) {
      blocks::readCountedIndices(reader_, reader_.intValue(), polygons.colorIndices);
    } else if (reader_.is(u"TEX_ID_COUNT")) {
      if (reader_.intValue() >= 1) {
        for (auto& id : reader_.readNameLine(blocks::kLineUnits)) {
          polygons.texIds.push_back(std::move(id));
        }
      }
    } else if (reader_.is(u"POLYGON_DATA_END")) {
      return true;
    }
  }
  return false;
}

void MdlReader::readBoneList() {
  for (auto& name : reader_.readNameLine(kBoneArrayUnits)) {
    Bone* bone = model_.newBone();
    bone->name = std::move(name);
    model_.bones.push_back(bone);
    bonesByName_.emplace(bone->name, bone);
  }
}

Bone* MdlReader::nameBone(Bone* parent, const std::u16string& name) {
  auto found = bonesByName_.find(name);
  Bone* bone = found != bonesByName_.end() ? found->second : nullptr;
  if (bone == nullptr || placed_.count(bone) != 0) bone = model_.newBone();
  placed_.insert(bone);
  if (parent == nullptr) model_.rootBones.push_back(bone);
  bone->parent = parent;
  bone->name = name;
  return bone;
}

// One bone tree. Each bone block is read up to its "CHILD_COUNT", then that many child blocks
// follow. Kept on an explicit stack rather than recursion, so that a deeply nested file
// cannot exhaust the call stack; the end of the file ends every open block, each returning
// the bone read so far.
Bone* MdlReader::readBone(Bone* parent) {
  struct Frame {
    Bone* parent;
    Bone* current = nullptr;
    int64_t childrenLeft = -1;  // -1 while the block's own lines are read
  };
  std::vector<Frame> stack{Frame{parent}};
  for (;;) {
    Frame& frame = stack.back();
    if (frame.childrenLeft < 0) {
      if (!reader_.nextKeywordLine(kBoneSeparators)) {
        frame.childrenLeft = 0;
      } else if (reader_.is(u"BONE_NAME")) {
        frame.current = nameBone(frame.parent, reader_.value());
      } else if (reader_.is(u"CHILD_COUNT")) {
        frame.childrenLeft = std::max(0, reader_.intValue());
      } else if (reader_.is(u"INV_BIND_MATRIX") || reader_.is(u"JOINT_MATRIX")) {
        // The matrix line belongs to the block even before a bone is named.
        Matrix4 matrix{};
        const bool inverse = reader_.is(u"INV_BIND_MATRIX");
        reader_.readFloats(kBoneMatrixLineBytes, matrix.data(), 16);
        if (frame.current != nullptr) {
          (inverse ? frame.current->invBindMatrix : frame.current->jointMatrix) = matrix;
        }
      } else if (frame.current != nullptr && reader_.is(u"BONE_ID")) {
        frame.current->id = reader_.value();
      } else if (frame.current != nullptr && reader_.is(u"BONE_TYPE")) {
        frame.current->type = reader_.intValue();
      }
      continue;
    }
    if (frame.childrenLeft > 0 && !reader_.atEnd()) {
      --frame.childrenLeft;
      Bone* childParent = frame.current;
      stack.push_back(Frame{childParent});  // `frame` is not used past this point
      continue;
    }
    Bone* done = frame.current;
    stack.pop_back();
    if (stack.empty()) return done;
    Bone* owner = stack.back().current;
    if (done != nullptr && owner != nullptr) owner->children.push_back(done);
  }
}

}  // namespace

bool readMdl(ModelData& model, const std::filesystem::path& fileName) {
  text::LineReader lines;
  std::string error;
  if (!lines.open(fileName, &error)) {
    printLoadError("%s: cannot open: %s", fileName.c_str(), error.c_str());
    return false;
  }
  std::string warning = MdlReader(model, lines).run();
  if (!warning.empty()) std::fprintf(stderr, "%s: %s\n", fileName.c_str(), warning.c_str());
  return true;
}

void readMdlText(ModelData& model, std::string bytes, std::string* warning) {
  text::LineReader lines;
  lines.openBytes(std::move(bytes));
  std::string problem = MdlReader(model, lines).run();
  if (warning != nullptr) *warning = std::move(problem);
}
