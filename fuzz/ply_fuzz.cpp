// Feeds arbitrary bytes to the PLY reader (any encoding), in small blocks so that every block
// boundary is crossed. Reading must end cleanly, whatever the header declares, and the mesh
// must hold together (fuzz/mesh_asset_check.h). No file is opened: the texture is not looked
// for.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "fuzz/mesh_asset_check.h"
#include "model/mesh_formats/ply_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static const std::map<std::string, std::string> kNoFiles;
  MeshReadOptions options;
  options.name = "fuzz.ply";
  options.quiet = true;
  options.threads = 1;
  options.blockBytes = 256;
  options.files = &kNoFiles;
  ModelAsset asset;
  if (readPlyBytes({data, size}, options, asset)) checkMeshAsset(asset);
  return 0;
}
