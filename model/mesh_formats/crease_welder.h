// Welds a triangle soup (STL: three corners a triangle, nothing shared) into an indexed mesh
// with smooth vertex normals where the surface is smooth and the faces' own normals where it
// folds. Internal to model/mesh_formats/.
//
// The rule. Corners are the same vertex only when their positions are exactly equal (bit for
// bit; -0 and +0 alike) and their colour codes too, and the triangles' normals agree: a corner
// joins the first vertex at its position whose normal (the area-weighted sum of the normals of
// the triangles that joined it so far) lies less than kCreaseDegrees from its triangle's
// normal; otherwise it starts a new vertex there. So faces meeting at 30 degrees or more keep
// a crease, and a smooth surface is smooth. A vertex's normal is the normalized area-weighted
// sum (triangle normals from the positions: the file's are unreliable); a vertex of
// degenerate triangles only gets +Z. Corners meet in file order, so the result is fixed by the
// file alone.
//
// Speed and memory. Vertices live in 64 partitions by a hash of their key, each with its own
// open-addressing table and a small cache of the vertices it made last (meshes are written in
// order, so most corners find their vertex there); a block's corners are sorted by partition
// and the partitions welded in parallel, each in file order, so that any thread count gives
// the same mesh. The vertex order is partition by partition, each in order of first use.
// Each partition's vertices fill its own stretch of one allocation sized for the most
// vertices the triangles could make, of which only the pages used are ever touched; the mesh
// is copied out of it one attribute at a time. Only the block in hand, the vertices, their
// tables and the index list are held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "model/mesh_formats/mesh_reading.h"
#include "model/model_asset.h"

namespace meshio {

inline constexpr double kCreaseDegrees = 30;

// Triangles in memory: corner k (0..2) of triangle t is three floats (little-endian, any
// alignment) at bytes + t * stride + 12 * k; colours (null: none) holds a code per triangle:
// 0 for none, else 0x8000 | r << 10 | g << 5 | b with 5-bit display values.
struct TriangleBlock {
  const uint8_t* bytes = nullptr;
  std::size_t stride = 36;
  std::size_t count = 0;
  const uint16_t* colours = nullptr;
};

class CreaseWelder {
 public:
  explicit CreaseWelder(Workers& workers);
  ~CreaseWelder();
  CreaseWelder(const CreaseWelder&) = delete;
  CreaseWelder& operator=(const CreaseWelder&) = delete;

  // Makes room for at most `triangles` triangles (more still weld, less compactly), likely
  // about `likelyTriangles`.
  void expect(std::size_t triangles, std::size_t likelyTriangles);
  // Welds the triangles of `block` after those before, running `alongside` (when given) on
  // one of the workers meanwhile: the caller reads its next block there. False when the mesh
  // would need more vertices or indices than 32-bit indices reach.
  bool add(const TriangleBlock& block, const std::function<void()>& alongside = {});
  std::size_t triangles() const { return indices_.size() / 3; }
  // Whether an add failed: the mesh is past what 32-bit indices reach.
  bool full() const { return full_; }
  // Whether some triangle had a colour code.
  bool coloured() const { return coloured_; }
  // Writes the mesh into `out` (positions, normals, indices, and colours when coloured(): a
  // triangle without a code gets `defaultColour`, linear RGBA) and starts a new, empty one.
  void finish(MeshPrimitive& out, const float defaultColour[4]);

  struct Partition;
  // A corner of the block in hand, sorted by partition.
  struct Corner {
    uint32_t hash;     // the low bits of the key's hash
    uint32_t x, y, z;  // key bits of the position
    uint32_t corner;   // in the block: 3 x triangle + k
    uint16_t colour;
  };

 private:
  void weldPartition(std::size_t p, std::size_t firstCorner);

  Workers& workers_;
  std::vector<Partition> partitions_;
  std::size_t stretch_ = 0;  // vertices a partition has in the shared allocation
  std::unique_ptr<float[]> positions_, normals_;
  std::unique_ptr<uint16_t[]> colours_;
  std::vector<uint32_t> indices_;  // partition << 26 | vertex in it, until finish
  bool coloured_ = false;
  bool full_ = false;
  // The block in hand.
  std::vector<float> faceNormals_;
  std::size_t ranges_ = 1;
  std::vector<std::vector<Corner>> buckets_;  // [range][partition]: corners in order
};

}  // namespace meshio
