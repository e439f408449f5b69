// Feeds arbitrary bytes to Assimp's importers through our reader, the first byte choosing the
// format: reading must end cleanly, and what the reader makes of Assimp's scene must hold
// together (fuzz/mesh_asset_check.h). Longer runs find Assimp's own allocations of what a
// header claims (X and OFF counts of billions); the reader refuses OFF headers that lie, the
// others are Assimp's to mend.
#include <cstddef>
#include <cstdint>
#include <iterator>

#include "fuzz/mesh_asset_check.h"
#include "model/assimp/assimp_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static const char* const kSuffixes[] = {"off", "x", "3ds", "fbx", "ase", "ac", "smd", "md2", "md5mesh", "lwo"};
  if (size < 1) return 0;
  ModelAsset asset;
  if (readAssimpBytes({data + 1, size - 1}, kSuffixes[data[0] % std::size(kSuffixes)], {}, asset)) {
    checkMeshAsset(asset);
  }
  return 0;
}
