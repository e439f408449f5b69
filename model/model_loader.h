// Reading a model file the way a character's load does: the model's folder is the current
// directory while the reader for its suffix runs, so that every name inside the model (texture
// images, the collider file) is relative to that folder.
#pragma once

#include <filesystem>
#include <functional>
#include <string>

struct ModelData;

// Which reader a model file goes to.
enum class ModelFormat { kUnknown, kMdl, kCollada };

// By the suffix of the file name, compared case-sensitively: ".mdl" or ".dae".
ModelFormat modelFormatOf(const std::filesystem::path& fileName);
// The same with the suffix in any letter case (".DAE", ".Mdl"), as other tools name files.
ModelFormat modelFormatOfAnyCase(const std::filesystem::path& fileName);

// Makes `folder` the current directory for the scope's lifetime (an empty folder leaves it as
// it is), then restores the one that was current before.
class CurrentFolderScope {
 public:
  explicit CurrentFolderScope(const std::filesystem::path& folder);
  ~CurrentFolderScope();
  CurrentFolderScope(const CurrentFolderScope&) = delete;
  CurrentFolderScope& operator=(const CurrentFolderScope&) = delete;

  // False when the folder could not be entered; `error` says why.
  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }

 private:
  std::filesystem::path previous_;
  bool changed_ = false;
  std::string error_;
};

// Reads the model file `path` (relative to the current directory) into `model`: its folder is
// made current, the reader chosen by its suffix reads the bare file name, then `inFolder`, when
// given, runs while the folder is still current (a caller reads the collider file there), and
// the previous current directory is restored. Returns false, with one line on stderr naming
// the file and the reason, when the suffix is neither ".mdl" nor ".dae", the file or its folder
// cannot be opened, or the reader fails.
bool loadModelFile(ModelData& model, const std::filesystem::path& path,
                   const std::function<void()>& inFolder = {});
// As loadModelFile, with the reader that `format` names.
bool loadModelFileAs(ModelData& model, const std::filesystem::path& path, ModelFormat format,
                     const std::function<void()>& inFolder = {});
