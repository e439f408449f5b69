// Feeds arbitrary bytes to the COLLADA importer as an in-memory document. The import, its
// scene reading included, must fail or succeed cleanly: no crash, no hang, no out-of-bounds
// access, no leak.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "model/collada_import.h"
#include "model/model_data.h"
#include "model/model_scene.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  ModelData model;
  std::string_view document(reinterpret_cast<const char*>(data), size);
  // Warnings are expected for most inputs; printing them would only slow the run.
  if (importColladaText(model, document, "fuzz.dae", nullptr) && model.scene != nullptr) {
    // The scene's bounds walk every instance and index list, as --info does.
    SceneBounds bounds = sceneBounds(model, *model.scene);
    (void)bounds;
  }
  return 0;
}
