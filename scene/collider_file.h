// Collider file reading from memory, for tests and fuzzing; ReadColliderFile (collider_set.h)
// reads a file.
#pragma once

#include <string>

#include "scene/collider_set.h"

// Reads collider file text held in memory into `set`, as ReadColliderFile reads a file's
// bytes. When `warning` is not null it receives the first problem met, or stays empty.
void readColliderText(ColliderSet& set, std::string bytes, std::string* warning = nullptr);
