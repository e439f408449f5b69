// The glTF 2.0 reader: a .gltf document (JSON, with external or data: URI buffers and images)
// or a .glb container (header, JSON chunk, binary chunk) into a ModelAsset. It owns the
// container, the JSON walk, buffers and accessors, meshopt and Draco decoding, materials and
// their extensions, the node tree, skins, morph targets, animations, lights and cameras. It
// decodes no image (images become ImageSource entries) and knows nothing of drawing.
//
// Every index, offset, length and count in the document is checked against what it points
// into before it is used; an extension the document requires that this reader does not know
// refuses the file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string_view>

#include "model/model_asset.h"

struct GltfOptions {
  // Make MikkTSpace tangents for the primitives whose material has a normal texture and whose
  // file gives none. Without, those primitives keep no tangents: for a caller that shades
  // nothing (--info), or that times the reading alone.
  bool tangents = true;
};

// Reads the glTF or GLB file `file` into `out` (replacing what it held). Buffers and images
// the document names by URI are resolved against the file's folder. False after one line on
// stderr naming the file and what was wrong (printLoadError), `out` then empty; problems that
// leave something out print one "Warning: FILE: ..." line each.
bool readGltf(const std::filesystem::path& file, ModelAsset& out);
bool readGltf(const std::filesystem::path& file, const GltfOptions& options, ModelAsset& out);

struct GltfBytesOptions {
  std::string_view name = "memory.gltf";  // the document's name in messages
  // The folder URIs resolve against; empty: buffers named by URI cannot be read (the load
  // fails) and image paths stay as the document writes them.
  std::filesystem::path folder = {};
  bool messages = true;  // print the error line and the warnings
  bool tangents = true;  // as GltfOptions::tangents
};

// As readGltf, for a document (JSON or GLB) already in memory.
bool readGltfBytes(std::span<const uint8_t> bytes, const GltfBytesOptions& options, ModelAsset& out);
