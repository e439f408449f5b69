// The COLLADA importer: reads a .dae document into a ModelData (images, materials,
// geometries, skins, nodes, animations, in that order), then reads its visual scene into
// ModelData::scene (placed instances, bound materials, axes and unit, animated nodes).
#pragma once

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string_view>

struct ModelData;

// Imports `fileName` (relative to the current directory) into `model`; the model id is the
// file name without folder and without a lower-case ".dae" suffix. Returns false, with one line
// on stderr naming the file and the reason, when the document cannot be read or parsed; the
// model is then left untouched. A record the document leaves incomplete (an image without
// "init_from", a geometry without "mesh", ...) is skipped with one warning line and the import
// goes on.
// `sceneClock`, when given, gets the clock's readings just before and after the scene reading,
// for measuring its share of the import.
struct ColladaSceneClock {
  std::chrono::steady_clock::time_point start, end;
};
bool importCollada(ModelData& model, const std::filesystem::path& fileName,
                   ColladaSceneClock* sceneClock = nullptr);

// As importCollada, for a document already in memory; `fileName` gives the model id and names
// the document in messages, which go to `messages` (null: none).
bool importColladaText(ModelData& model, std::string_view document,
                       const std::filesystem::path& fileName, std::FILE* messages = stderr);
