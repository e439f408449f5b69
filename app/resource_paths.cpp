#include "app/resource_paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/viewer_config.h"

namespace fs = std::filesystem;

namespace {

bool holdsFolder(const fs::path& folder, const char* name) {
  std::error_code ec;
  return !folder.empty() && fs::is_directory(folder / name, ec);
}

bool isRunFolder(const fs::path& folder) {
  std::error_code ec;
  return holdsFolder(folder, "shader") || (!folder.empty() && fs::exists(folder / kConfigFileName, ec));
}

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

}  // namespace

ResourcePaths chooseResourcePaths(const fs::path& startFolder, const fs::path& programFolder,
                                  std::string_view xdgConfigHome, std::string_view home) {
  ResourcePaths paths;
  fs::path installed = programFolder.empty() ? fs::path() : (programFolder.parent_path() / "share" / "modelviewer");
  if (holdsFolder(startFolder, "shader")) paths.resourceFolder = startFolder;
  else if (holdsFolder(programFolder, "shader")) paths.resourceFolder = programFolder;
  else if (holdsFolder(installed, "shader")) paths.resourceFolder = installed;
  else paths.resourceFolder = startFolder;

  if (isRunFolder(startFolder)) paths.configFolder = startFolder;
  else if (isRunFolder(programFolder)) paths.configFolder = programFolder;
  else if (fs::path(xdgConfigHome).is_absolute()) paths.configFolder = fs::path(xdgConfigHome) / "modelviewer";
  else if (fs::path(home).is_absolute()) paths.configFolder = fs::path(home) / ".config" / "modelviewer";
  return paths;
}

ResourcePaths enterResourceFolder() {
  std::error_code ec;
  fs::path start = fs::current_path(ec);
  fs::path program = fs::read_symlink("/proc/self/exe", ec).parent_path();
  std::string home = environment("HOME");
  if (home.empty()) {
    if (const passwd* entry = ::getpwuid(::getuid())) home = entry->pw_dir;
  }
  ResourcePaths paths = chooseResourcePaths(start, program, environment("XDG_CONFIG_HOME"), home);
  if (paths.resourceFolder != start) {
    fs::current_path(paths.resourceFolder, ec);
    if (ec) {
      std::fprintf(stderr, "%s: cannot enter this folder: %s\n", paths.resourceFolder.c_str(), ec.message().c_str());
      paths.resourceFolder = start;
    }
  }
  return paths;
}
