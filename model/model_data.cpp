#include "model/model_data.h"

#include <utility>

#include "platform/text.h"

namespace {

template <class Range, class Key>
auto findFirst(const Range& range, Key key) {
  for (const auto& item : range) {
    if (key(*item)) return &*item;
  }
  return static_cast<decltype(&*range.front())>(nullptr);
}

}  // namespace

const FloatArray* Geometry::findFloatArray(std::u16string_view arrayId) const {
  return findFirst(floatArrays, [&](const FloatArray& a) { return text::sameName(a.id, arrayId); });
}

Bone* ModelData::newBone() {
  boneStore_.push_back(std::make_unique<Bone>());
  return boneStore_.back().get();
}

Bone* ModelData::findBoneByName(std::u16string_view name) const {
  return findFirst(bones, [&](const Bone& b) { return text::sameName(b.name, name); });
}

Bone* ModelData::findBoneById(std::u16string_view id) const {
  return findFirst(bones, [&](const Bone& b) { return text::sameName(b.id, id); });
}

Material* ModelData::findMaterial(std::u16string_view name) const {
  return findFirst(materials, [&](const Material& m) { return text::sameName(m.name, name); });
}

Texture* ModelData::findTexture(std::u16string_view id) const {
  return findFirst(textures, [&](const Texture& t) { return text::sameName(t.id, id); });
}

namespace {

std::span<const std::u16string> entryOf(const std::vector<std::vector<std::u16string>>& lists,
                                        int32_t position) {
  if (position < 0 || static_cast<std::size_t>(position) >= lists.size()) return {};
  return lists[static_cast<std::size_t>(position)];
}

}  // namespace

const std::u16string& ModelScene::nodeIdOf(const SceneInstance& instance) const {
  static const std::u16string none;
  const auto node = static_cast<std::size_t>(instance.node);
  return instance.node >= 0 && node < nodeIds.size() ? nodeIds[node] : none;
}

std::span<const std::u16string> ModelScene::materialsOf(const SceneInstance& instance) const {
  return entryOf(nameLists, instance.materials);
}

std::span<const std::u16string> ModelScene::jointsOf(const SceneInstance& instance) const {
  return entryOf(nameLists, instance.joints);
}

int32_t ModelScene::addNodeId(std::u16string id) {
  nodeIds.push_back(std::move(id));
  return static_cast<int32_t>(nodeIds.size() - 1);
}

int32_t ModelScene::addNameList(std::vector<std::u16string> names) {
  nameLists.push_back(std::move(names));
  return static_cast<int32_t>(nameLists.size() - 1);
}

const FloatArray* SceneGeometry::findArray(const Geometry& geometry, std::u16string_view id) const {
  if (id.empty()) return nullptr;
  for (const auto& array : ownArrays) {
    if (array->id == id) return array.get();
  }
  return geometry.findFloatArray(id);
}
