// Small builders of model records shared by the content generators.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "model/model_data.h"

namespace content {

// A float array with its values: `k` floats a tuple.
inline std::unique_ptr<FloatArray> makeFloatArray(std::u16string id, int32_t k, std::vector<float> values) {
  auto a = std::make_unique<FloatArray>();
  a->id = std::move(id);
  a->tupleSize = k;
  a->hasValues = true;
  a->values = std::move(values);
  return a;
}

// A material with its name, texture id and colours (red, green, blue, alpha); no emission.
inline std::unique_ptr<Material> makeMaterial(std::u16string name, std::u16string textureName,
                                              const float (&diffuse)[4], const float (&ambient)[4],
                                              const float (&specular)[4]) {
  auto m = std::make_unique<Material>();
  m->name = std::move(name);
  m->textureName = std::move(textureName);
  for (int i = 0; i < 4; ++i) {
    m->diffuse[i] = diffuse[i];
    m->ambient[i] = ambient[i];
    m->specular[i] = specular[i];
  }
  return m;
}

}  // namespace content
