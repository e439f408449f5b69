#include "tools/model_writer.h"

#include <charconv>
#include <functional>

#include "model/model_data.h"
#include "platform/text.h"
#include "scene/collider_set.h"

namespace {

class Writer {
 public:
  void keyword(const char* k) { out_ += "<"; out_ += k; out_ += ">\n"; }
  void keyword(const char* k, const std::u16string& value) {
    std::string bytes;
    text::encodeCp932(value, bytes);
    out_ += "<"; out_ += k; out_ += "> "; out_ += bytes; out_ += "\n";
  }
  void keyword(const char* k, long long value) {
    out_ += "<"; out_ += k; out_ += "> "; out_ += std::to_string(value); out_ += "\n";
  }
  void valueLine(const std::u16string& value) {
    std::string bytes;
    text::encodeCp932(value, bytes);
    out_ += bytes;
    out_ += "\n";
  }
  void number(float v) {
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    out_.append(buf, r.ptr);
  }
  template <class Range>
  void floatLine(const Range& values) {
    bool first = true;
    for (float v : values) {
      if (!first) out_ += ' ';
      number(v);
      first = false;
    }
    out_ += "\n";
  }
  void intLine(const std::vector<int32_t>& values) {
    bool first = true;
    for (int32_t v : values) {
      if (!first) out_ += ' ';
      out_ += std::to_string(v);
      first = false;
    }
    out_ += "\n";
  }
  void floatArray(const FloatArray& a) {
    keyword("FLOAT_ARRAY_BEGIN");
    keyword("FLOAT_ARRAY_ID", a.id);
    keyword("FLOAT_ARRAY_FLOAT_COUNT", a.tupleSize);
    keyword("FLOAT_ARRAY_COUNT", a.count());
    keyword("FLOAT_ARRAY");
    floatLine(a.values);
    keyword("FLOAT_ARRAY_END");
  }
  // Bone indices are written as whole numbers; the readers add their small bias themselves.
  void weights(const WeightTable& table, int32_t weightCount) {
    keyword("WEIGHTS_BEGIN");
    keyword("WEIGHTS_SIZE", weightCount);
    keyword("APPLY_BONE_NUM", WeightTable::kInfluences);
    std::vector<float> pairs;
    for (int64_t row = 0; row < weightCount; ++row) {
      for (int slot = 0; slot < WeightTable::kInfluences; ++slot) {
        BoneWeight w = table.at(row, slot);
        pairs.push_back(static_cast<float>(static_cast<int32_t>(w.boneIndex)));
        pairs.push_back(w.weight);
      }
    }
    floatLine(pairs);
    keyword("WEIGHTS_END");
  }
  void indexList(const char* countKeyword, const std::vector<int32_t>& indices) {
    if (indices.empty()) return;
    keyword(countKeyword, static_cast<long long>(indices.size()));
    intLine(indices);
  }
  std::string& text() { return out_; }

 private:
  std::string out_;
};

void writeBone(Writer& w, const Bone& bone) {
  w.keyword("BONE");
  w.keyword("BONE_NAME", bone.name);
  w.keyword("BONE_ID", bone.id);
  w.keyword("BONE_TYPE", bone.type);
  w.keyword("INV_BIND_MATRIX");
  w.floatLine(bone.invBindMatrix);
  w.keyword("JOINT_MATRIX");
  w.floatLine(bone.jointMatrix);
  w.keyword("CHILD_COUNT", static_cast<long long>(bone.children.size()));
  for (const Bone* child : bone.children) writeBone(w, *child);
}

}  // namespace

std::string mdlText(const ModelData& model) {
  Writer w;
  w.keyword("MODEL_ID");
  w.valueLine(model.modelId);
  if (!model.colliderFilePath.empty()) {
    w.keyword("COLLIDER_FILE_PATH");
    w.valueLine(model.colliderFilePath);
  }
  for (const auto& m : model.materials) {
    w.keyword("MATERIAL_BEGIN");
    w.keyword("MATERIAL_NAME", m->name);
    if (!m->textureName.empty()) w.keyword("TEXTURE_NAME", m->textureName);
    w.keyword("DIFFUSE");
    w.floatLine(m->diffuse);
    w.keyword("AMBIENT");
    w.floatLine(m->ambient);
    w.keyword("SPECULAR");
    w.floatLine(m->specular);
    w.keyword("EMMITION");
    w.floatLine(m->emission);
    w.keyword("MATERIAL_END");
  }
  for (const auto& t : model.textures) {
    w.keyword("TEXTURE_BEGIN");
    w.keyword("TEXTURE_ID", t->id);
    w.keyword("TEXTURE_NAME", t->fileName);
    w.keyword("TEXTURE_END");
  }
  for (const auto& g : model.geometries) {
    w.keyword("GEOMETRY_BEGIN");
    w.keyword("GEOMETRY_ID", g->id);
    w.keyword("VERTEX_COUNT", g->vertexCount);
    w.keyword("BIND_SHAPE_MATRIX");
    w.floatLine(g->bindShapeMatrix);
    for (const auto& a : g->floatArrays) w.floatArray(*a);
    for (const auto& p : g->polygonLists) {
      w.keyword("POLYGON_DATA_BEGIN");
      w.keyword("MATERIAL_ID", p->materialId);
      w.keyword("VERTEX_ID", p->vertexId);
      if (!p->normalId.empty()) w.keyword("NORMAL_ID", p->normalId);
      if (!p->colorId.empty()) w.keyword("COLOR_ID", p->colorId);
      w.indexList("VERTEX_INDEX_COUNT", p->vertexIndices);
      w.indexList("NORMAL_INDEX_COUNT", p->normalIndices);
      w.indexList("TEX_INDEX_COUNT", p->texIndices);
      w.indexList("COLOR_INDEX_COUNT", p->colorIndices);
      if (!p->texIds.empty()) {
        w.keyword("TEX_ID_COUNT", static_cast<long long>(p->texIds.size()));
        std::u16string ids;
        for (const auto& id : p->texIds) ids += (ids.empty() ? u"" : u" ") + id;
        w.valueLine(ids);
      }
      w.keyword("POLYGON_DATA_END");
    }
    if (g->weights.created) w.weights(g->weights, g->weightCount);
    w.keyword("GEOMETRY_END");
  }
  if (!model.bones.empty()) {
    w.keyword("BONE_ARRAY");
    std::u16string names;
    for (const Bone* b : model.bones) names += (names.empty() ? u"" : u" ") + b->name;
    w.valueLine(names);
  }
  for (const Bone* root : model.rootBones) writeBone(w, *root);
  return std::move(w.text());
}

std::string aniText(const std::u16string& targetModelId, const AnimationSet& animation) {
  Writer w;
  w.keyword("TARGET_MODEL_ID");
  w.valueLine(targetModelId);
  w.keyword("ANIMATION_ID");
  w.valueLine(animation.id);
  for (const auto& track : animation.tracks) {
    w.keyword("ANIMATION_BEGIN");
    w.keyword("TARGET", track->target);
    w.keyword("KEY_TIME");
    w.floatLine(track->keyTimes);
    w.keyword("POSE_MATRIX");
    for (const Matrix4& pose : track->poses) w.floatLine(pose);
    w.keyword("POSE_MATRIX_END");
    w.keyword("ANIMATION_END");
  }
  return std::move(w.text());
}

std::string cdrText(const ColliderSet& set) {
  static const char* const kTypeNames[] = {"COLLIDER_TYPE_NONE", "COLLIDER_TYPE_SPHERE",
                                           "COLLIDER_TYPE_BOX", "COLLIDER_TYPE_CAPSULE",
                                           "COLLIDER_TYPE_RECT", "COLLIDER_TYPE_MESH"};
  Writer w;
  w.keyword("MODEL_ID");
  w.valueLine(set.modelId);
  for (const auto& c : set.colliders) {
    w.keyword("GEOMETRY_BEGIN");
    w.keyword("GEOMETRY_ID", c->id);
    w.keyword("VERTEX_COUNT", c->vertexCount);
    w.keyword("BIND_SHAPE_MATRIX");
    w.floatLine(c->bindShapeMatrix);
    w.text() += "<COLLIDER_TYPE> ";
    w.text() += kTypeNames[c->colliderType >= 0 && c->colliderType <= 5 ? c->colliderType : 0];
    w.text() += "\n<R> ";
    w.number(c->radius);
    w.text() += "\n";
    for (const auto& a : c->floatArrays) w.floatArray(*a);
    for (const auto& p : c->polygonLists) {
      w.keyword("POLYGON_DATA_BEGIN");
      w.keyword("VERTEX_ID", p->vertexId);
      if (!p->normalId.empty()) w.keyword("NORMAL_ID", p->normalId);
      w.indexList("VERTEX_INDEX_COUNT", p->vertexIndices);
      w.indexList("NORMAL_INDEX_COUNT", p->normalIndices);
      w.keyword("POLYGON_DATA_END");
    }
    if (c->weights.created) w.weights(c->weights, c->weightCount);
    w.keyword("GEOMETRY_END");
  }
  return std::move(w.text());
}
