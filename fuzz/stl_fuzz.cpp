// Feeds arbitrary bytes to the STL reader (binary or ASCII, as the bytes say), in small blocks
// so that every block boundary is crossed. Reading must end cleanly, whatever the counts claim,
// and the mesh must hold together (fuzz/mesh_asset_check.h).
#include <cstddef>
#include <cstdint>

#include "fuzz/mesh_asset_check.h"
#include "model/mesh_formats/stl_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  MeshReadOptions options;
  options.name = "fuzz.stl";
  options.quiet = true;
  options.threads = 1;
  options.blockBytes = 256;
  ModelAsset asset;
  if (readStlBytes({data, size}, options, asset)) checkMeshAsset(asset);
  return 0;
}
