#include "scene/collider_set.h"

// Placeholder until the reader lands.
bool ReadColliderFile(ColliderSet&, const std::filesystem::path&) { return false; }
