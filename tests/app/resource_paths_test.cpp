#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/resource_paths.h"

namespace fs = std::filesystem;

namespace {

// Folder layouts around a start folder and a program in prefix/bin, and where the data files
// and config.ini are taken from in each.
TEST(ResourcePaths, RunFolderThenProgramFolderThenInstalledShare) {
  struct Case {
    const char* name;
    std::vector<const char*> made;  // folders (ending in /) and files under the root
    const char* xdg;                // relative values name folders under the root
    const char* home;
    const char* resources;
    const char* config;
  };
  const Case cases[] = {
      {"run folder", {"start/shader/", "prefix/share/modelviewer/shader/"}, "/xdg", "/home", "start", "start"},
      {"run folder wins over the program's", {"start/shader/", "prefix/bin/shader/"}, "/xdg", "/home", "start", "start"},
      {"config.ini alone makes a run folder", {"start/config.ini", "prefix/share/modelviewer/shader/"}, "/xdg", "/home",
       "prefix/share/modelviewer", "start"},
      {"build's run folder from elsewhere", {"prefix/bin/shader/"}, "/xdg", "/home", "prefix/bin", "prefix/bin"},
      {"installed", {"prefix/share/modelviewer/shader/", "start/model/"}, "/xdg", "/home", "prefix/share/modelviewer",
       "xdg/modelviewer"},
      {"installed, XDG_CONFIG_HOME unset", {"prefix/share/modelviewer/shader/"}, "", "/home", "prefix/share/modelviewer",
       "home/.config/modelviewer"},
      {"installed, XDG_CONFIG_HOME relative", {"prefix/share/modelviewer/shader/"}, "rel", "/home",
       "prefix/share/modelviewer", "home/.config/modelviewer"},
      {"nothing anywhere", {}, "/xdg", "/home", "start", "xdg/modelviewer"},
      {"nothing and no home", {}, "", "", "start", ""},
  };
  fs::path root = fs::temp_directory_path() / ("mv_resource_paths_" + std::to_string(::getpid()));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(root);
    fs::create_directories(root / "start");
    fs::create_directories(root / "prefix" / "bin");
    for (std::string made : c.made) {
      if (made.back() == '/') fs::create_directories(root / made);
      else std::ofstream(root / made) << "BKColorR = 1\n";
    }
    auto rooted = [&](const char* value) { return value[0] == '/' ? (root / (value + 1)).string() : std::string(value); };
    ResourcePaths paths = chooseResourcePaths(root / "start", root / "prefix" / "bin", rooted(c.xdg), rooted(c.home));
    EXPECT_EQ(paths.resourceFolder, root / c.resources);
    EXPECT_EQ(paths.configFolder, c.config[0] ? root / c.config : fs::path());
  }
  fs::remove_all(root);
}

}  // namespace
