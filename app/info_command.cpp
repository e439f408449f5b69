#include "app/info_command.h"

#include <charconv>
#include <cmath>
#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>

#include "model/ani_reader.h"
#include "model/model_data.h"
#include "model/model_asset.h"
#include "model/matrix_math.h"
#include "model/model_format.h"
#include "model/model_scene.h"
#include "platform/text.h"
#include "scene/collider_set.h"
#include "scene/drawable_model.h"
#include "scene/drawable_model.h"

namespace {

// A small JSON writer: members of objects and containers inside arrays go on lines of their
// own, numbers inside arrays stay on one line.
class Json {
 public:
  void beginObject() { open('{'); }
  void beginArray() { open('['); }
  void end() {
    const Level level = levels_.back();
    levels_.pop_back();
    if (level.brokeLines) newline();
    out_ += level.closer;
  }
  void key(std::string_view name) {
    item(true);
    string(name);
    out_ += ": ";
    afterKey_ = true;
  }
  void value(std::u16string_view s) {
    item(false);
    string(text::toUtf8(s));
  }
  void value(const char* s) {
    item(false);
    string(s);
  }
  void value(bool b) {
    item(false);
    out_ += b ? "true" : "false";
  }
  void value(int64_t n) {
    item(false);
    out_ += std::to_string(n);
  }
  void value(int32_t n) { value(static_cast<int64_t>(n)); }
  // Nine significant digits; infinities and NaN, which JSON lacks, become null.
  void value(double d) {
    item(false);
    if (!std::isfinite(d)) {
      out_ += "null";
      return;
    }
    char buf[32];
    auto result = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::general, 9);
    out_.append(buf, result.ptr);
  }
  void value(float f) { value(static_cast<double>(f)); }
  void null() {
    item(false);
    out_ += "null";
  }
  template <class Range>
  void numbers(const Range& range) {
    beginArray();
    for (const auto& v : range) value(v);
    end();
  }

  std::string take() { return std::move(out_) + "\n"; }

 private:
  struct Level {
    char closer;
    bool first = true;
    bool brokeLines = false;
  };

  void open(char opener) {
    item(true);
    out_ += opener;
    levels_.push_back({opener == '{' ? '}' : ']'});
  }
  // Separates an item from the one before; objects' members and containers start a new line.
  void item(bool ownLine) {
    if (afterKey_) {
      afterKey_ = false;
      return;
    }
    if (levels_.empty()) return;
    Level& level = levels_.back();
    if (!level.first) out_ += ownLine ? "," : ", ";
    level.first = false;
    if (ownLine) {
      level.brokeLines = true;
      newline();
    }
  }
  void newline() {
    out_ += '\n';
    out_.append(2 * levels_.size(), ' ');
  }
  void string(std::string_view s) {
    out_ += '"';
    for (char c : s) {
      unsigned char u = static_cast<unsigned char>(c);
      if (c == '"' || c == '\\') {
        out_ += '\\';
        out_ += c;
      } else if (u < 0x20) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\u%04x", u);
        out_ += buf;
      } else {
        out_ += c;
      }
    }
    out_ += '"';
  }

  std::string out_;
  std::vector<Level> levels_;
  bool afterKey_ = false;
};

void indexSummary(Json& j, std::string_view name, const std::vector<int32_t>& indices) {
  int64_t sum = 0;
  for (int32_t i : indices) sum += i;
  j.key(name);
  j.beginObject();
  j.key("count");
  j.value(static_cast<int64_t>(indices.size()));
  j.key("sum");
  j.value(sum);
  j.end();
}

void writeMaterials(Json& j, const ModelData& model) {
  j.key("materials");
  j.beginArray();
  for (const auto& m : model.materials) {
    j.beginObject();
    j.key("name");
    j.value(m->name);
    j.key("textureName");
    j.value(m->textureName);
    j.key("diffuse");
    j.numbers(m->diffuse);
    j.key("ambient");
    j.numbers(m->ambient);
    j.key("specular");
    j.numbers(m->specular);
    j.key("emission");
    j.numbers(m->emission);
    j.end();
  }
  j.end();
  j.key("textures");
  j.beginArray();
  for (const auto& t : model.textures) {
    j.beginObject();
    j.key("id");
    j.value(t->id);
    j.key("fileName");
    j.value(t->fileName);
    j.end();
  }
  j.end();
}

void writeWeights(Json& j, const WeightTable& weights) {
  double weightSum = 0;
  double boneIndexSum = 0;
  for (const BoneWeight& w : weights.stored) {
    weightSum += w.weight;
    boneIndexSum += w.boneIndex;
  }
  j.key("weights");
  j.beginObject();
  j.key("rows");
  j.value(weights.created ? weights.rows : int64_t{0});
  j.key("weightSum");
  j.value(weightSum);
  j.key("boneIndexSum");
  j.value(boneIndexSum);
  j.end();
}

void writeGeometries(Json& j, const ModelData& model) {
  j.key("geometries");
  j.beginArray();
  for (const auto& g : model.geometries) {
    j.beginObject();
    j.key("id");
    j.value(g->id);
    j.key("vertexCount");
    j.value(g->vertexCount);
    j.key("bindShapeMatrix");
    j.numbers(g->bindShapeMatrix);
    j.key("weightCount");
    j.value(g->weightCount);
    writeWeights(j, g->weights);
    j.key("floatArrays");
    j.beginArray();
    for (const auto& a : g->floatArrays) {
      double sum = 0;
      for (float v : a->values) sum += v;
      j.beginObject();
      j.key("id");
      j.value(a->id);
      j.key("tupleSize");
      if (a->hasValues) {
        j.value(a->tupleSize);
      } else {
        j.null();
      }
      j.key("count");
      j.value(a->count());
      j.key("sum");
      j.value(sum);
      j.end();
    }
    j.end();
    j.key("polygonLists");
    j.beginArray();
    for (const auto& p : g->polygonLists) {
      j.beginObject();
      j.key("materialId");
      j.value(p->materialId);
      j.key("vertexId");
      j.value(p->vertexId);
      j.key("normalId");
      j.value(p->normalId);
      j.key("colorId");
      j.value(p->colorId);
      j.key("texIds");
      j.beginArray();
      for (const auto& id : p->texIds) j.value(id);
      j.end();
      indexSummary(j, "vertexIndices", p->vertexIndices);
      indexSummary(j, "normalIndices", p->normalIndices);
      indexSummary(j, "texIndices", p->texIndices);
      indexSummary(j, "colorIndices", p->colorIndices);
      j.end();
    }
    j.end();
    j.end();
  }
  j.end();
}

void writeBones(Json& j, const ModelData& model) {
  j.key("bones");
  j.beginArray();
  for (const Bone* b : model.bones) {
    j.beginObject();
    j.key("name");
    j.value(b->name);
    j.key("id");
    j.value(b->id);
    j.key("type");
    j.value(b->type);
    j.key("parent");
    if (b->parent != nullptr) {
      j.value(b->parent->name);
    } else {
      j.null();
    }
    j.key("jointMatrix");
    j.numbers(b->jointMatrix);
    j.key("invBindMatrix");
    j.numbers(b->invBindMatrix);
    j.end();
  }
  j.end();
  j.key("rootBones");
  j.beginArray();
  for (const Bone* b : model.rootBones) j.value(b->name);
  j.end();
}

void writeAnimations(Json& j, const ModelData& model) {
  j.key("animations");
  j.beginArray();
  for (const auto& a : model.animations) {
    j.beginObject();
    j.key("id");
    j.value(a->id);
    j.key("tracks");
    j.beginArray();
    for (const auto& t : a->tracks) {
      double poseSum = 0;
      for (const Matrix4& pose : t->poses) {
        for (float v : pose) poseSum += v;
      }
      j.beginObject();
      j.key("target");
      j.value(t->target);
      j.key("bound");
      j.value(t->bone != nullptr);
      j.key("keys");
      j.value(static_cast<int64_t>(t->keyTimes.size()));
      j.key("poses");
      j.value(static_cast<int64_t>(t->poses.size()));
      j.key("firstKey");
      if (t->keyTimes.empty()) {
        j.null();
      } else {
        j.value(t->keyTimes.front());
      }
      j.key("lastKey");
      if (t->keyTimes.empty()) {
        j.null();
      } else {
        j.value(t->keyTimes.back());
      }
      j.key("poseSum");
      j.value(poseSum);
      j.end();
    }
    j.end();
    j.end();
  }
  j.end();
}

void writeColliders(Json& j, const ColliderSet& set) {
  j.key("colliders");
  j.beginObject();
  j.key("modelId");
  j.value(set.modelId);
  j.key("colliders");
  j.beginArray();
  for (const auto& c : set.colliders) {
    j.beginObject();
    j.key("id");
    j.value(c->id);
    j.key("type");
    j.value(c->colliderType);
    j.key("cornerCount");
    j.value(c->cornerCount);
    j.key("radius");
    j.value(c->radius);
    j.key("vertexCount");
    j.value(c->vertexCount);
    j.end();
  }
  j.end();
  j.end();
}

// How the model's geometries are placed: its own scene, or one instance per geometry at
// identity for a model without one.
void writeScene(Json& j, const ModelData& model) {
  std::unique_ptr<ModelScene> identity;
  const ModelScene* scene = model.scene.get();
  if (scene == nullptr) {
    identity = identityScene(model);
    scene = identity.get();
  }
  j.key("scene");
  j.beginObject();
  j.key("upAxis");
  j.value(scene->upAxis.c_str());
  j.key("unitMeter");
  j.value(scene->unitMeter);
  j.key("nodes");
  j.value(scene->nodes);
  j.key("instances");
  j.beginArray();
  for (const SceneInstance& instance : scene->instances) {
    j.beginObject();
    j.key("node");
    j.value(scene->nodeIdOf(instance));
    j.key("geometry");
    j.value(model.geometries[static_cast<std::size_t>(instance.geometry)]->id);
    j.key("skinned");
    j.value(instance.skinned);
    j.key("world");
    j.numbers(instance.world);
    j.end();
  }
  j.end();
  const SceneBounds bounds = sceneBounds(model, *scene);
  j.key("bounds");
  if (bounds.empty) {
    j.null();
  } else {
    j.beginObject();
    j.key("min");
    j.numbers(bounds.min);
    j.key("max");
    j.numbers(bounds.max);
    j.end();
  }
  j.end();
}

struct InfoArgs {
  std::string model;
  std::vector<std::string> animations;
};

const char* modeName(PrimitiveMode mode) {
  return mode == PrimitiveMode::kTriangles ? "triangles" : mode == PrimitiveMode::kLines ? "lines" : "points";
}

const char* alphaName(AlphaMode mode) {
  return mode == AlphaMode::kOpaque ? "OPAQUE" : mode == AlphaMode::kMask ? "MASK" : "BLEND";
}

void strings(Json& j, std::string_view name, const std::vector<std::string>& values) {
  j.key(name);
  j.beginArray();
  for (const std::string& v : values) j.value(v.c_str());
  j.end();
}

// A model of a format read straight into the drawable form: what it holds, and its scene as
// the viewer places it (its instances in the viewer's Z-up frame, in the model's units).
bool describeAsset(const InfoArgs& args, const ModelFormat& format, std::FILE* out) {
  ModelAsset asset;
  std::vector<std::filesystem::path> animations(args.animations.begin(), args.animations.end());
  if (!readModelAsset(args.model, animations, asset)) return false;
  Json j;
  j.beginObject();
  j.key("format");
  j.value(std::string(format.name).c_str());
  j.key("modelId");
  j.value(asset.name.c_str());
  j.key("generator");
  j.value(asset.generator.c_str());
  strings(j, "extensionsUsed", asset.extensionsUsed);
  strings(j, "extensionsRequired", asset.extensionsRequired);
  j.key("materials");
  j.beginArray();
  for (const MaterialDescription& m : asset.materials) {
    j.beginObject();
    j.key("name");
    j.value(m.name.c_str());
    j.key("baseColor");
    j.numbers(m.baseColor);
    j.key("metallic");
    j.value(m.metallic);
    j.key("roughness");
    j.value(m.roughness);
    j.key("emissive");
    j.numbers(m.emissive);
    j.key("alphaMode");
    j.value(alphaName(m.alphaMode));
    j.key("doubleSided");
    j.value(m.doubleSided);
    j.key("unlit");
    j.value(m.unlit);
    j.key("baseColorImage");
    j.value(m.baseColorTexture.image);
    j.key("normalImage");
    j.value(m.normalTexture.image);
    strings(j, "extensions", m.extensions);
    j.end();
  }
  j.end();
  j.key("images");
  j.beginArray();
  for (const ImageSource& image : asset.images) {
    j.beginObject();
    j.key("name");
    j.value(image.name.c_str());
    j.key("embedded");
    j.value(image.inMemory());
    j.key("mimeType");
    j.value(image.mimeType.c_str());
    j.end();
  }
  j.end();
  j.key("meshes");
  j.beginArray();
  for (const Mesh& mesh : asset.meshes) {
    j.beginObject();
    j.key("name");
    j.value(mesh.name.c_str());
    j.key("primitives");
    j.beginArray();
    for (const MeshPrimitive& p : mesh.primitives) {
      j.beginObject();
      j.key("mode");
      j.value(modeName(p.mode));
      j.key("vertices");
      j.value(static_cast<int64_t>(p.vertexCount()));
      j.key("elements");
      j.value(static_cast<int64_t>(p.elementCount()));
      j.key("material");
      j.value(p.material);
      j.key("morphTargets");
      j.value(static_cast<int64_t>(p.targets.size()));
      j.end();
    }
    j.end();
    j.end();
  }
  j.end();
  j.key("skins");
  j.value(static_cast<int64_t>(asset.skins.size()));
  j.key("animations");
  j.beginArray();
  for (const AnimationClip& clip : asset.animations) {
    j.beginObject();
    j.key("name");
    j.value(clip.name.c_str());
    j.key("channels");
    j.value(static_cast<int64_t>(clip.channels.size()));
    j.key("duration");
    j.value(clip.duration());
    j.end();
  }
  j.end();
  j.key("lights");
  j.value(static_cast<int64_t>(asset.lights.size()));
  j.key("cameras");
  j.value(static_cast<int64_t>(asset.cameras.size()));
  static constexpr const char* kAxes[] = {"X_UP", "Y_UP", "Z_UP"};
  const char* upAxis = kAxes[static_cast<int>(asset.upAxis)];
  const double unitMeter = asset.metresPerUnit;
  const int64_t nodes = static_cast<int64_t>(asset.nodes.size());
  DrawableModel model;
  // The scene as it is drawn, its images left undecoded: --info needs no pixels.
  buildDrawableModel(std::move(asset), model, false);  // one that draws nothing has its line
  ModelPose pose;
  RestPose(model, pose);
  ComposeWorlds(model, pose);
  j.key("scene");
  j.beginObject();
  j.key("upAxis");
  j.value(upAxis);
  j.key("unitMeter");
  if (unitMeter > 0) {
    j.value(unitMeter);
  } else {
    j.null();
  }
  j.key("nodes");
  j.value(nodes);
  j.key("instances");
  j.beginArray();
  for (const DrawableInstance& instance : model.instances) {
    j.beginObject();
    j.key("node");
    j.value(model.nodes[static_cast<std::size_t>(instance.node)].name.c_str());
    j.key("mesh");
    j.value(model.meshes[static_cast<std::size_t>(instance.mesh)].name.c_str());
    j.key("skinned");
    j.value(instance.skin >= 0);
    // Row by row for column vectors, translation in the last column, as a document's scene gives it.
    j.key("world");
    j.numbers(TransposeMatrix(InstanceWorld(model, pose, instance)));
    j.end();
  }
  j.end();
  j.key("triangles");
  j.value(model.drawnElements(PrimitiveMode::kTriangles));
  j.key("bounds");
  if (model.bounds.empty) {
    j.null();
  } else {
    j.beginObject();
    j.key("min");
    j.numbers(model.bounds.min);
    j.key("max");
    j.numbers(model.bounds.max);
    j.end();
  }
  j.end();
  j.end();
  const std::string json = j.take();
  std::fwrite(json.data(), 1, json.size(), out);
  std::fflush(out);
  return true;
}

std::optional<InfoArgs> parseArgs(const std::vector<std::string>& args, std::string& problem) {
  InfoArgs parsed;
  bool haveModel = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--ani") {
      if (i + 1 == args.size()) {
        problem = "--ani needs a file";
        return std::nullopt;
      }
      parsed.animations.push_back(args[++i]);
    } else if (a.size() > 1 && a[0] == '-') {
      problem = "unknown option: " + a;
      return std::nullopt;
    } else if (haveModel) {
      problem = "one model only: " + a;
      return std::nullopt;
    } else {
      parsed.model = a;
      haveModel = true;
    }
  }
  if (!haveModel) {
    problem = "no model file given";
    return std::nullopt;
  }
  return parsed;
}

}  // namespace

int runInfoCommand(const std::vector<std::string>& args, std::FILE* out) {
  std::string problem;
  std::optional<InfoArgs> parsed = parseArgs(args, problem);
  if (!parsed) {
    std::fprintf(stderr, "modelviewer: %s\nusage: %s\n", problem.c_str(), kInfoUsage);
    return 2;
  }

  std::string why;
  const ModelFormat* format = formatOfFile(parsed->model, &why);
  if (format == nullptr) {
    std::fprintf(stderr, "%s\n", why.c_str());
    return 1;
  }
  if (format->readData == nullptr) return describeAsset(*parsed, *format, out) ? 0 : 1;
  ModelData model;
  ColliderSet colliders;
  if (!format->readData(model, parsed->model)) return 1;
  // The collider file's path is relative to the model's folder; a model that names none has
  // no colliders.
  if (!model.colliderFilePath.empty()) {
    const std::filesystem::path folder = std::filesystem::path(parsed->model).parent_path();
    ReadColliderFile(colliders, (folder / text::portablePath(model.colliderFilePath)).string());
  }
  for (const std::string& animation : parsed->animations) readAni(model, animation);

  Json j;
  j.beginObject();
  j.key("modelId");
  j.value(model.modelId);
  j.key("colliderFilePath");
  j.value(model.colliderFilePath);
  writeMaterials(j, model);
  writeGeometries(j, model);
  writeBones(j, model);
  writeAnimations(j, model);
  writeColliders(j, colliders);
  writeScene(j, model);
  j.end();
  const std::string json = j.take();
  std::fwrite(json.data(), 1, json.size(), out);
  std::fflush(out);
  return 0;
}
