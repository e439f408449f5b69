// PLY (Stanford polygon files), ASCII and binary of either byte order, into a ModelAsset: one
// mesh, one node. Owns the format's rules.
//
// - The "vertex" element gives positions (x y z), normals (nx ny nz), colours (red green blue
//   [alpha], or diffuse_red ...; 8-bit, 16-bit or float) and texture coordinates (s t, u v,
//   texture_u texture_v, texture_s texture_t). Every scalar type (char ... double, int8 ...
//   float64) is read, list properties of any count and item type too; other properties and
//   elements are skipped.
// - "face" lists (vertex_indices or vertex_index) of any size are fanned into triangles; faces
//   of one or two corners are left out with one warning, and so is a face with an index
//   outside the vertex list. "tristrips" lists are strips, -1 restarting one.
// - Without faces the vertices are a point cloud (one kPoints primitive).
// - "comment TextureFile NAME" names the base colour texture, resolved against the file's
//   folder; a missing one is left out with a warning. A file with colours or a texture gets
//   one material: white (the vertex colours colour it), metallic 0, roughness 1.
// - A header whose counts need more bytes than the file has, or a body that ends before the
//   header's elements do, is refused with one line.
// - ASCII bodies hold one element a line (blank lines skipped); missing values on a line read
//   as 0 (with one warning), extra ones are ignored.
// Conventions: no units, Y up (the Stanford scans the format was made for), fronts counter-
// clockwise, texture v up (flipped here to the asset's top-left origin); colours are display
// values, made linear. Coordinates stored as double lose precision as float.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>

#include "model/mesh_formats/mesh_read_options.h"
#include "model/model_asset.h"

// Reads the PLY file `file` into `out`. False after one line on stderr naming the file.
bool readPly(const std::filesystem::path& file, ModelAsset& out);

// Reads PLY bytes in memory as `options` say; the texture resolves against options.folder.
bool readPlyBytes(std::span<const uint8_t> bytes, const MeshReadOptions& options, ModelAsset& out);

// The format table's sniff (a template on its Sniff type, so that this header need not include
// the table, which includes it): "ply" and a line end at the start is certain, else not PLY.
template <class SniffT>
SniffT sniffPly(std::span<const uint8_t> head, uint64_t) {
  const auto at = [&](std::size_t i) { return i < head.size() ? head[i] : 0; };
  const bool magic = at(0) == 'p' && at(1) == 'l' && at(2) == 'y' &&
                     (at(3) == '\n' || (at(3) == '\r' && at(4) == '\n'));
  return magic ? SniffT::kYes : SniffT::kNo;
}
