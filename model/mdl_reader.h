// The reader of the system's own model format (.mdl): a line-oriented text file of keyword
// lines, value lines and number lines that fills a ModelData (materials, textures, geometries
// with float arrays, triangle lists and bone weights, the bone list and bone trees).
#pragma once

#include <filesystem>
#include <string>

struct ModelData;

// Reads the .mdl file `fileName` (relative to the current directory) into `model`, which is
// normally empty. Returns false, with one line on stderr naming the file and the reason, when
// the file cannot be opened; the model is then untouched. Otherwise the whole file is read and
// true returned, also when it holds nothing useful. A block cut off by the end of the file is
// left out (one warning line on stderr); what came before it stays.
bool readMdl(ModelData& model, const std::filesystem::path& fileName);

// Reads .mdl text held in memory, as readMdl reads a file's bytes. When `warning` is not null
// it receives the first problem met, or stays empty.
void readMdlText(ModelData& model, std::string bytes, std::string* warning = nullptr);
