// Visual scene nodes become the bone tree; animation channels become the tracks of one
// animation set.
#include <algorithm>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "model/collada/collada_context.h"
#include "model/model_data.h"

namespace collada {
namespace {

int32_t nodeType(std::string_view type) {
  if (type == "NODE") return 1;
  if (type == "JOINT") return 2;
  return 0;
}

}  // namespace

void importNodes(const ImportContext& context) {
  ModelData& model = context.model;
  std::unordered_map<std::u16string, Bone*> bonesByName;  // first bone of each name
  for (Bone* bone : model.bones) bonesByName.emplace(bone->name, bone);
  // Bones of bonesByName this step has put into the tree. A second node with the same sid gets a
  // bone of its own: placing one bone twice would make the tree a graph, possibly with a cycle.
  // A new bone is in no map, so only those found are kept here.
  std::unordered_set<Bone*> placed;

  // Depth first in document order, without recursion: nesting depth is the document's choice.
  std::vector<std::pair<pugi::xml_node, Bone*>> pending;  // node, parent bone (null: a root)
  std::vector<pugi::xml_node> tops;
  forEachAlong(context.document, {"COLLADA", "library_visual_scenes", "visual_scene", "node"},
               [&](pugi::xml_node node) { tops.push_back(node); });
  for (auto top = tops.rbegin(); top != tops.rend(); ++top) pending.emplace_back(*top, nullptr);

  std::vector<pugi::xml_node> children;
  while (!pending.empty()) {
    auto [node, parent] = pending.back();
    pending.pop_back();

    Bone* bone = nullptr;
    if (pugi::xml_attribute sid = node.attribute("sid")) {
      auto found = bonesByName.find(nameOf(sid.value()));
      if (found != bonesByName.end() && placed.insert(found->second).second) bone = found->second;
    }
    if (bone == nullptr) bone = model.newBone();

    bone->id = nameOf(node.attribute("id").value());
    if (pugi::xml_attribute type = node.attribute("type")) {
      bone->type = nodeType(type.value());
    }
    if (pugi::xml_node matrix = childWhere(node, "matrix", "sid", "transform")) {
      readMatrix(textOf(matrix), bone->jointMatrix);
    }
    if (parent == nullptr) {
      model.rootBones.push_back(bone);
    } else {
      bone->parent = parent;
      parent->children.push_back(bone);
    }

    children.clear();
    for (pugi::xml_node child = node.child("node"); child; child = child.next_sibling("node")) {
      children.push_back(child);
    }
    for (auto child = children.rbegin(); child != children.rend(); ++child) {
      pending.emplace_back(*child, bone);
    }
  }
}

void importAnimations(const ImportContext& context) {
  ModelData& model = context.model;
  std::vector<pugi::xml_node> nodes;
  forEachAlong(context.document, {"COLLADA", "library_animations", "animation", "animation"},
               [&](pugi::xml_node node) { nodes.push_back(node); });
  if (nodes.empty()) {
    forEachAlong(context.document, {"COLLADA", "library_animations", "animation"},
                 [&](pugi::xml_node node) { nodes.push_back(node); });
  }
  std::unordered_map<std::u16string, Bone*> bonesById;  // first bone of each id
  for (Bone* bone : model.bones) bonesById.emplace(bone->id, bone);

  auto set = std::make_unique<AnimationSet>();
  set->id = u"ColladaAnim_001";
  std::vector<std::string_view> sourceIds;
  std::vector<std::vector<float>> sourceFloats;
  for (pugi::xml_node node : nodes) {
    pugi::xml_node channel = node.child("channel");
    if (!channel) {
      context.warn("animation \"%s\" without \"channel\" skipped", node.attribute("id").value());
      continue;
    }
    sourceIds.clear();
    sourceFloats.clear();
    for (pugi::xml_node source = node.child("source"); source; source = source.next_sibling("source")) {
      sourceIds.push_back(source.attribute("id").value());
      std::vector<float>& numbers = sourceFloats.emplace_back();
      if (pugi::xml_node floats = source.child("float_array")) {
        appendFloats(textOf(floats), intAttribute(floats, "count"), numbers);
      }
    }
    std::string_view target = channel.attribute("target").value();
    std::string_view samplerId = reference(channel.attribute("source").value());
    // The first input of that semantic among the samplers with that id.
    auto findSource = [&](const char* semantic) -> const std::vector<float>* {
      pugi::xml_node input;
      for (pugi::xml_node sampler = node.child("sampler"); sampler && !input;
           sampler = sampler.next_sibling("sampler")) {
        if (samplerId == sampler.attribute("id").value()) {
          input = childWhere(sampler, "input", "semantic", semantic);
        }
      }
      if (!input) return nullptr;
      std::string_view id = reference(input.attribute("source").value());
      for (std::size_t i = 0; i < sourceIds.size(); ++i) {
        if (sourceIds[i] == id) return &sourceFloats[i];
      }
      return nullptr;
    };

    const std::vector<float>* input = findSource("INPUT");
    const std::vector<float>* output = findSource("OUTPUT");
    if (input == nullptr || output == nullptr) continue;  // the sampler does not resolve

    auto track = std::make_unique<BoneTrack>();
    track->keyTimes = *input;
    track->poses.resize(output->size() / 16);
    for (std::size_t p = 0; p < track->poses.size(); ++p) {
      std::copy_n(output->begin() + static_cast<std::ptrdiff_t>(p * 16), 16, track->poses[p].begin());
    }
    track->target = nameOf(target.substr(0, target.find('/')));
    auto bone = bonesById.find(track->target);
    track->bone = bone == bonesById.end() ? nullptr : bone->second;
    set->tracks.push_back(std::move(track));
  }
  model.animations.push_back(std::move(set));
}

}  // namespace collada
