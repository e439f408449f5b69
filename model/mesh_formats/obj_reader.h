// Wavefront OBJ files and their MTL libraries into a ModelAsset. Owns the format's rules; the
// materials follow the rule of model/mesh_formats/mtl_reader.h.
//
// - v (x y z, and the common x y z r g b colour extension), vt, vn; f, l and p with every
//   corner form (v, v/vt, v//vn, v/vt/vn) and negative (relative) indices; faces of any size
//   fanned into triangles, lines of any length cut into segments. A corner names a vertex
//   written before it: an index of 0, or beyond those written so far, leaves its face out,
//   with one warning for the file giving the count.
// - o and g start a mesh of their own, each with a node; within a mesh, one primitive for
//   each material (usemtl) and kind (triangles, lines, points). Corners with the same v, vt
//   and vn within a primitive are one vertex. A primitive has normals only when every corner
//   gives one, texture coordinates when any does (the others get 0, 0).
// - Without f, l or p lines the vertices are a point cloud.
// - mtllib names one or more libraries (a name with spaces where that file exists), resolved
//   against the file's folder, their textures against the library's (a texture not found by
//   the path written, often another machine's, is looked for by its name beside the library).
//   A missing library, texture or material is one warning each; the model still opens.
// - UTF-16 files (with a byte-order mark) are read as their UTF-8 text; lines ending in '\'
//   go on on the next.
// Conventions: no units, Y up, fronts counter-clockwise, texture v up (flipped here to the
// asset's top-left origin); colours are display values, made linear.
//
// Memory: the v, vt and vn lists are held while the faces are read, the index lists grow by
// chunks; a file of one primitive whose corners use each v once with its own vt and vn
// (what exporters of large meshes write) hands those lists on as the vertices.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

#include "model/mesh_formats/mesh_read_options.h"
#include "model/mesh_formats/mtl_reader.h"
#include "model/model_asset.h"

// Reads the OBJ file `file` into `out`. False after one line on stderr naming the file.
bool readObj(const std::filesystem::path& file, ModelAsset& out);

// Reads OBJ bytes in memory as `options` say; MTL libraries come from options.files when set,
// else from options.folder. `extras` (when not null) gets one MtlTextures per material.
bool readObjBytes(std::span<const uint8_t> bytes, const MeshReadOptions& options, ModelAsset& out,
                  std::vector<MtlTextures>* extras = nullptr);

// Whether a file's first bytes are lines of OBJ statements and comments.
bool looksLikeObj(std::span<const uint8_t> head, uint64_t size);

// The format table's sniff (a template on its Sniff type, so that this header need not include
// the table, which includes it): OBJ has no magic, so text of OBJ lines is only possible.
template <class SniffT>
SniffT sniffObj(std::span<const uint8_t> head, uint64_t size) {
  return looksLikeObj(head, size) ? SniffT::kMaybe : SniffT::kNo;
}
