// The COLLADA importer: reads a .dae document into a ModelData (images, materials,
// geometries, skins, nodes, animations, in that order).
#pragma once

#include <filesystem>

struct ModelData;

// Imports `fileName` (relative to the current directory) into `model`; the model id is the
// file name without folder and without a lower-case ".dae" suffix. Returns false, with one line
// on stderr naming the file and the reason, when the document cannot be read or parsed.
bool importCollada(ModelData& model, const std::filesystem::path& fileName);
