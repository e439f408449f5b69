// How the STL, PLY and OBJ readers are asked to read bytes that are already in memory (tests,
// fuzzing, a caller that holds the file): the name for messages, the folder that names in the
// file resolve against, and the knobs that tests turn to compare a one-thread read with a
// many-thread one.
#pragma once

#include <cstddef>
#include <filesystem>
#include <map>
#include <string>

struct MeshReadOptions {
  std::string name = "model";   // the file as messages name it
  std::filesystem::path folder;  // where names in the file (MTL files, textures) resolve
  bool quiet = false;            // print nothing: neither warnings nor the error line
  // Threads that parse; 0: every core for inputs over a few megabytes, one below that.
  unsigned threads = 0;
  // Bytes parsed as one block (0: the reader's default). Small blocks make tests cross every
  // block boundary.
  std::size_t blockBytes = 0;
  // Companion files (MTL libraries) by the name the model writes, instead of the disk; when
  // set, the disk is never read and texture files are not checked for existence.
  const std::map<std::string, std::string>* files = nullptr;
};
