// Feeds arbitrary bytes to the .ani reader, for a small model with two bones. Reading must end
// cleanly, and every bound track must point at one of the model's bones.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "model/ani_reader.h"
#include "model/mdl_reader.h"
#include "model/model_data.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  ModelData model;
  readMdlText(model,
              "<MODEL_ID>\nWalker\n<BONE_ARRAY>\nRoot Arm\n<BONE>\n<BONE_NAME> Root\n"
              "<BONE_ID> root_id\n<CHILD_COUNT> 1\n<BONE>\n<BONE_NAME> Arm\n<BONE_ID> arm_id\n"
              "<CHILD_COUNT> 0\n");
  std::string problem;
  bool ok = readAniText(model, std::string(reinterpret_cast<const char*>(data), size), &problem);
  if (model.animations.size() != (ok ? 1u : 0u)) __builtin_trap();
  for (const auto& animation : model.animations) {
    for (const auto& track : animation->tracks) {
      if (track->bone != nullptr &&
          std::find(model.bones.begin(), model.bones.end(), track->bone) == model.bones.end()) {
        __builtin_trap();
      }
    }
  }
  return 0;
}
