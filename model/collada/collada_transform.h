// The transformation elements of COLLADA nodes (matrix, translate, rotate, scale, lookat, skew)
// as matrices, and the few matrix operations the scene reading needs. Matrices here are in the
// file's order: row by row for column vectors (a point transforms as M * v, translation in the
// last column, A * B applies B first), as ModelData holds them. Internal to mv_model.
#pragma once

#include <pugixml.hpp>

#include <cstdint>
#include <string_view>
#include <vector>

#include "model/matrix4.h"

namespace collada {

// Number of values a transformation element holds (16 for "matrix", 3 for "translate", ...);
// 0 for an element that is no transformation.
int transformValueCount(std::string_view element);

// The matrix of one transformation element (its name as transformValueCount accepts it) from
// its values (transformValueCount of them).
Matrix4 transformMatrix(std::string_view element, const float* values);

// A product of transformation elements kept in double until it is read, so that a node's
// elements round once rather than once per element.
struct TransformProduct {
  double m[16];
  explicit TransformProduct(const Matrix4& start);
  Matrix4 rounded() const;
};

// Multiplies the transformation elements of nodes onto products, for a walk that looks at a
// node's children once. Keeps the cosine and sine of each rotation angle it meets, by the angle
// as read: exporters repeat a few angles on many nodes, and each new one costs a sine and a
// cosine. One reader serves one document.
class TransformReader {
 public:
  // When `child` (named `name`) is a transformation element, multiplies it onto `product` (on
  // the right: it applies first) and returns true; false, changing nothing, for any other
  // child.
  bool apply(pugi::xml_node child, const char* name, TransformProduct& product);

 private:
  struct Turn {
    uint32_t key = 0;  // the angle's float bits: the same bits, the same cosine and sine
    bool used = false;
    double c = 1, s = 0;
  };
  const Turn& turn(float degrees);

  // An open-addressing table, small enough to stay in the cache beside the document's nodes;
  // at most half of it is kept, and angles beyond that are worked out each time.
  static constexpr int kSlotBits = 10;
  static constexpr std::size_t kSlots = std::size_t{1} << kSlotBits, kMaxTurns = kSlots / 2;
  std::vector<Turn> turns_;
  std::size_t turnsKept_ = 0;
  Turn unkept_;
};

// a * b for column vectors: b is applied first.
Matrix4 multiply(const Matrix4& a, const Matrix4& b);

// M * (x, y, z, 1), the first three components.
void transformPoint(const Matrix4& m, const float in[3], float out[3]);

// From the document's axes to the viewer's Z-up axes, for "X_UP", "Y_UP" and "Z_UP".
Matrix4 upAxisMatrix(std::string_view upAxis);

}  // namespace collada
