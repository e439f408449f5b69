// Feeds arbitrary bytes to the COLLADA importer as an in-memory document. The import must
// fail or succeed cleanly: no crash, no hang, no out-of-bounds access, no leak.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "model/collada_import.h"
#include "model/model_data.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  ModelData model;
  std::string_view document(reinterpret_cast<const char*>(data), size);
  // Warnings are expected for most inputs; printing them would only slow the run.
  importColladaText(model, document, "fuzz.dae", nullptr);
  return 0;
}
