#include "model/collada_import.h"

#include <cstdio>

#include "model/model_data.h"

// Placeholder until the importer lands: every document is refused.
bool importCollada(ModelData&, const std::filesystem::path& fileName) {
  std::fprintf(stderr, "%s: COLLADA import is not available\n", fileName.c_str());
  return false;
}
