// Skins: the bind shape matrix of the skinned geometry, a bone per joint name with its inverse
// bind matrix, and the geometry's weight table (eight heaviest influences per vertex).
#include <algorithm>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "model/collada/collada_context.h"
#include "model/model_data.h"
#include "platform/number_text.h"
#include "platform/text.h"

namespace collada {
namespace {

// Influences this light or lighter are never stored.
constexpr float kWeightThreshold = 0.000001f;

// The working lists of one controller: its sources in document order, and the joint names.
struct SkinSources {
  std::vector<std::string_view> ids;
  std::vector<std::vector<float>> floats;  // empty for a source without a float array
  std::vector<std::u16string> jointNames;

  const std::vector<float>* find(std::string_view id) const {
    auto found = std::find(ids.begin(), ids.end(), id);
    return found == ids.end() ? nullptr : &floats[static_cast<std::size_t>(found - ids.begin())];
  }
};

void readSources(pugi::xml_node skin, SkinSources& sources) {
  for (pugi::xml_node source = skin.child("source"); source; source = source.next_sibling("source")) {
    sources.ids.push_back(source.attribute("id").value());
    std::vector<float>& numbers = sources.floats.emplace_back();
    if (pugi::xml_node floats = source.child("float_array")) {
      appendFloats(textOf(floats), intAttribute(floats, "count"), numbers);
    }
    if (pugi::xml_node names = source.child("Name_array")) {
      forEachListToken(textOf(names), [&](std::string_view name) {
        sources.jointNames.push_back(nameOf(name));
        return true;
      });
    }
  }
}

// Inserts one influence into a row kept in descending weight: it goes before the first slot
// it outweighs by more than the threshold, so an equal weight goes after the one stored.
void insertInfluence(BoneWeight* row, float boneIndex, float weight) {
  for (int s = 0; s < WeightTable::kInfluences; ++s) {
    if (weight > row[s].weight + kWeightThreshold) {
      // The new entry pushes the later ones down one slot each; the last one falls out. (Swaps
      // rather than a block move: a library call for at most seven entries costs more.)
      BoneWeight carried{boneIndex, weight};
      for (int m = s; m < WeightTable::kInfluences; ++m) std::swap(carried, row[m]);
      return;
    }
  }
}

void importSkin(const ImportContext& context, pugi::xml_node skin, SkinSources& sources,
                std::unordered_map<std::u16string, Bone*>& bonesByName) {
  ModelData& model = context.model;
  std::u16string geometryId = nameOf(reference(skin.attribute("source").value()));
  Geometry* geometry = nullptr;
  for (const auto& g : model.geometries) {
    if (text::sameName(g->id, geometryId)) {
      geometry = g.get();
      break;
    }
  }
  if (geometry == nullptr) return;  // a skin of a geometry that was not imported
  pugi::xml_node vertexWeights = skin.child("vertex_weights");
  if (!vertexWeights) {
    context.warn("skin of \"%s\" without \"vertex_weights\" skipped",
                 skin.attribute("source").value());
    return;
  }

  if (pugi::xml_node bindShape = skin.child("bind_shape_matrix")) {
    readMatrix(textOf(bindShape), geometry->bindShapeMatrix);
  }
  readSources(skin, sources);

  pugi::xml_node invBindInput =
      childWhere(skin.child("joints"), "input", "semantic", "INV_BIND_MATRIX");
  const std::vector<float>* invBind = invBindInput
      ? sources.find(reference(invBindInput.attribute("source").value()))
      : nullptr;
  pugi::xml_node weightInput = childWhere(vertexWeights, "input", "semantic", "WEIGHT");
  const std::vector<float>* weights = sources.find(reference(weightInput.attribute("source").value()));

  // Bones: joints already known by name are left as they are.
  for (std::size_t i = 0; i < sources.jointNames.size(); ++i) {
    const std::u16string& name = sources.jointNames[i];
    if (bonesByName.count(name) != 0) continue;
    Bone* bone = model.newBone();
    bone->name = name;
    if (invBind != nullptr) {
      for (std::size_t k = 0; k < 16 && i * 16 + k < invBind->size(); ++k) {
        bone->invBindMatrix[k] = (*invBind)[i * 16 + k];
      }
    }
    model.bones.push_back(bone);
    bonesByName.emplace(name, bone);
  }

  const int32_t count = std::max<int32_t>(0, intAttribute(vertexWeights, "count"));
  geometry->weightCount = count;
  WeightTable& table = geometry->weights;
  table = WeightTable();
  table.created = true;
  table.rows = count;

  std::vector<int32_t> vcount;
  appendInts(textOf(vertexWeights.child("vcount")), count, vcount);
  // Only rows that the vcount list reaches can hold data.
  table.stored.assign(vcount.size() * WeightTable::kInfluences, BoneWeight{});

  // The "v" list, read as it streams by: (joint, weight index) pairs, vcount[k] of them for
  // vertex k.
  std::size_t k = 0;
  int64_t left = vcount.empty() ? 0 : vcount[0];  // pairs still due to vertex k
  auto nextVertex = [&] {
    while (left <= 0 && k < vcount.size()) {
      ++k;
      left = k < vcount.size() ? vcount[k] : 0;
    }
  };
  nextVertex();
  bool haveJoint = false;
  int32_t joint = 0;
  forEachInt(textOf(vertexWeights.child("v")), [&](int32_t value) {
    if (k >= vcount.size()) return false;
    if (!haveJoint) {
      joint = value;
      haveJoint = true;
      return true;
    }
    haveJoint = false;
    const int32_t weightIndex = value;
    // A weight index outside the list counts as no weight, which is never stored.
    float weight = weights != nullptr && weightIndex >= 0 &&
                           static_cast<std::size_t>(weightIndex) < weights->size()
                       ? (*weights)[static_cast<std::size_t>(weightIndex)]
                       : 0.0f;
    insertInfluence(table.stored.data() + k * WeightTable::kInfluences, static_cast<float>(joint),
                    weight);
    --left;
    nextVertex();
    return k < vcount.size();
  });
}

}  // namespace

void importSkins(const ImportContext& context) {
  std::unordered_map<std::u16string, Bone*> bonesByName;  // first bone of each name
  for (Bone* bone : context.model.bones) bonesByName.emplace(bone->name, bone);
  forEachAlong(context.document, {"COLLADA", "library_controllers", "controller"},
               [&](pugi::xml_node controller) {
                 SkinSources sources;
                 for (pugi::xml_node skin = controller.child("skin"); skin;
                      skin = skin.next_sibling("skin")) {
                   importSkin(context, skin, sources, bonesByName);
                 }
               });
}

}  // namespace collada
