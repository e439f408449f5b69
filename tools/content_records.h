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

}  // namespace content
