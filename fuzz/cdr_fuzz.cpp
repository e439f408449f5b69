// Feeds arbitrary bytes to the collider file reader. Reading must end cleanly (no crash, hang,
// leak or out-of-bounds access), whatever the counts in the file claim.
#include <cstddef>
#include <cstdint>
#include <string>

#include "scene/collider_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  ColliderSet set;
  std::string warning;
  readColliderText(set, std::string(reinterpret_cast<const char*>(data), size), &warning);
  return 0;
}
