// A 4 x 4 float32 matrix, 16 floats row by row for row vectors: a point transforms as v * M,
// the translation is in the last row, and A * B applies A first. Files list the 16 floats in
// exactly this order.
#pragma once

#include <array>

using Matrix4 = std::array<float, 16>;

inline constexpr Matrix4 kIdentityMatrix = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
