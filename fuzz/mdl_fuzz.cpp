// Feeds arbitrary bytes to the .mdl reader. Reading must end cleanly (no crash, hang, leak or
// out-of-bounds access), whatever the counts in the file claim, and the bones must form trees:
// every bone reached from the roots is reached once.
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "model/mdl_reader.h"
#include "model/model_data.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  ModelData model;
  std::string warning;
  readMdlText(model, std::string(reinterpret_cast<const char*>(data), size), &warning);

  std::unordered_set<const Bone*> seen;
  std::vector<const Bone*> pending(model.rootBones.begin(), model.rootBones.end());
  while (!pending.empty()) {
    const Bone* bone = pending.back();
    pending.pop_back();
    if (!seen.insert(bone).second) __builtin_trap();
    for (const Bone* child : bone->children) {
      if (child->parent != bone) __builtin_trap();
      pending.push_back(child);
    }
  }
  for (const auto& geometry : model.geometries) {
    for (const auto& array : geometry->floatArrays) {
      if (array->values.size() % static_cast<std::size_t>(array->elementFloats()) != 0) {
        __builtin_trap();
      }
    }
  }
  return 0;
}
