#include "model/model_loader.h"

#include <cstdio>
#include <system_error>

#include "model/collada_import.h"
#include "model/load_error.h"
#include "model/mdl_reader.h"
#include "model/model_data.h"

namespace {

bool endsWith(const std::string& s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Why `path` cannot be read as a file, or "" when it can be tried.
std::string unreadableBecause(const std::filesystem::path& path) {
  std::error_code ec;
  auto status = std::filesystem::status(path, ec);
  if (ec) return ec.message();
  if (std::filesystem::is_directory(status)) return "is a directory";
  if (!std::filesystem::is_regular_file(status)) return "not a regular file";
  return {};
}

}  // namespace

ModelFormat modelFormatOf(const std::filesystem::path& fileName) {
  const std::string name = fileName.filename().string();
  if (endsWith(name, ".mdl")) return ModelFormat::kMdl;
  if (endsWith(name, ".dae")) return ModelFormat::kCollada;
  return ModelFormat::kUnknown;
}

ModelFormat modelFormatOfAnyCase(const std::filesystem::path& fileName) {
  std::string name = fileName.filename().string();
  for (char& c : name) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  return modelFormatOf(name);
}

CurrentFolderScope::CurrentFolderScope(const std::filesystem::path& folder) {
  if (folder.empty()) return;
  std::error_code ec;
  previous_ = std::filesystem::current_path(ec);
  if (!ec) std::filesystem::current_path(folder, ec);
  if (ec) {
    error_ = ec.message();
    return;
  }
  changed_ = true;
}

CurrentFolderScope::~CurrentFolderScope() {
  if (!changed_) return;
  std::error_code ec;
  std::filesystem::current_path(previous_, ec);
  if (ec) {
    std::fprintf(stderr, "%s: cannot return to this folder: %s\n", previous_.c_str(),
                 ec.message().c_str());
  }
}

bool loadModelFile(ModelData& model, const std::filesystem::path& path,
                   const std::function<void()>& inFolder) {
  return loadModelFileAs(model, path, modelFormatOf(path), inFolder);
}

bool loadModelFileAs(ModelData& model, const std::filesystem::path& path, ModelFormat format,
                     const std::function<void()>& inFolder) {
  if (format == ModelFormat::kUnknown) {
    printLoadError("%s: not a model file (the name must end in .mdl or .dae)", path.c_str());
    return false;
  }
  if (std::string why = unreadableBecause(path); !why.empty()) {
    printLoadError("%s: cannot open: %s", path.c_str(), why.c_str());
    return false;
  }
  CurrentFolderScope folder(path.parent_path());
  if (!folder.ok()) {
    printLoadError("%s: cannot enter the model's folder: %s", path.c_str(), folder.error().c_str());
    return false;
  }
  const std::filesystem::path fileName = path.filename();
  const bool read = format == ModelFormat::kMdl ? readMdl(model, fileName)
                                                : importCollada(model, fileName);
  if (read && inFolder) inFolder();
  return read;
}
