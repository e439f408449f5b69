#include "model/model_data.h"

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
