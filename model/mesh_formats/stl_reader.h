// STL (stereolithography) files, binary and ASCII, into a ModelAsset. Owns the format's rules;
// welding and normals are the crease welder's (model/mesh_formats/crease_welder.h: corners at
// one position are one vertex where the faces meet at less than 30 degrees).
//
// - Binary: an 80-byte header, a triangle count, 50 bytes a triangle. The count must match the
//   file's size exactly; a count that does not is refused. Per-face colours become vertex
//   colours by the two conventions in use: Materialise (the header holds "COLOR=" and maybe
//   "MATERIAL=", the object's colour; attribute bit 15 clear = the face's own colour, red in
//   the low five bits) and otherwise VisCAM/SolidView (bit 15 set = a colour, blue in the low
//   five bits). A face without a colour takes the object's colour (white in VisCAM files).
//   The header's text is the asset's generator.
// - ASCII: "solid NAME" ... "endsolid": each solid with triangles is a mesh of its own with a
//   node of its own, named after it; facets of more than three vertices are fanned, those of
//   fewer left out with one warning.
// - A file whose size is 84 + 50 x its count is binary, though its header may begin with
//   "solid" as some binary writers' do; otherwise it is ASCII when it starts with "solid" and
//   "facet" or "endsolid" follows within its first 4 KiB.
// STL has no units (metresPerUnit 0) and is Z up by convention; fronts wind counter-clockwise.
// Colours are display values, made linear.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>

#include "model/mesh_formats/mesh_read_options.h"
#include "model/model_asset.h"

// Reads the STL file `file` into `out`. False after one line on stderr naming the file.
bool readStl(const std::filesystem::path& file, ModelAsset& out);

// Reads STL bytes in memory as `options` say (name for messages, quiet, threads).
bool readStlBytes(std::span<const uint8_t> bytes, const MeshReadOptions& options, ModelAsset& out);

// What a file's first bytes (up to 4 KiB) and size say it is.
enum class StlKind : uint8_t { kNone, kBinary, kAscii };
StlKind stlKindOf(std::span<const uint8_t> head, uint64_t size);

// The format table's sniff (a template on its Sniff type, so that this header need not include
// the table, which includes it): ASCII is certain, a binary file whose size matches its count
// only possible, anything else is not STL.
template <class SniffT>
SniffT sniffStl(std::span<const uint8_t> head, uint64_t size) {
  const StlKind kind = stlKindOf(head, size);
  return kind == StlKind::kAscii ? SniffT::kYes : kind == StlKind::kBinary ? SniffT::kMaybe : SniffT::kNo;
}
