// Feeds arbitrary bytes to the OBJ reader, in small blocks so that every block boundary is
// crossed: the bytes up to the first NUL are the OBJ file, those after it its material library
// "m.mtl" (no file is opened). Reading must end cleanly and the mesh must hold together
// (fuzz/mesh_asset_check.h).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "fuzz/mesh_asset_check.h"
#include "model/mesh_formats/obj_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const uint8_t* nul = static_cast<const uint8_t*>(std::memchr(data, 0, size));
  const std::size_t objSize = nul != nullptr ? static_cast<std::size_t>(nul - data) : size;
  std::map<std::string, std::string> files;
  if (nul != nullptr) files["m.mtl"] = std::string(reinterpret_cast<const char*>(nul + 1), size - objSize - 1);
  MeshReadOptions options;
  options.name = "fuzz.obj";
  options.quiet = true;
  options.threads = 1;
  options.blockBytes = 256;
  options.files = &files;
  ModelAsset asset;
  std::vector<MtlTextures> extras;
  if (readObjBytes({data, objSize}, options, asset, &extras)) {
    checkMeshAsset(asset);
    if (extras.size() != asset.materials.size()) __builtin_trap();
  }
  return 0;
}
