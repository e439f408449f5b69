// The project's dependencies run one way: platform/ at the bottom, then model/, scene/,
// render/, sound/, app/, the content tools, and the benchmarks, fuzz targets and tests on top. This
// reads every source's includes and names each one that points upwards or sideways, and each
// loop of files that include one another.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// A folder may include its own files and those of lower levels only.
const std::map<std::string, int> kLevels = {
    {"platform", 0}, {"model", 1}, {"scene", 2}, {"render", 3}, {"sound", 4},
    {"app", 5},      {"tools", 6}, {"bench", 7}, {"fuzz", 7},   {"tests", 7},
};

struct Include {
  std::string file;  // relative to the source root
  int line = 0;
  std::string target;  // as written
};

std::string topFolder(const std::string& path) { return path.substr(0, path.find('/')); }

// A file and its header are one unit: "scene/scene.cpp" and "scene/scene.h" are "scene/scene".
std::string unitOf(const std::string& path) { return path.substr(0, path.rfind('.')); }

std::vector<Include> projectIncludes(const fs::path& root) {
  static const std::regex include(R"(^\s*#\s*include\s*"([^"]+)\")");
  std::vector<Include> found;
  for (const auto& [folder, level] : kLevels) {
    if (!fs::exists(root / folder)) continue;
    for (const auto& entry : fs::recursive_directory_iterator(root / folder)) {
      const std::string ext = entry.path().extension().string();
      if (ext != ".h" && ext != ".cpp") continue;
      std::ifstream in(entry.path());
      std::string text;
      std::smatch m;
      for (int n = 1; std::getline(in, text); ++n) {
        if (std::regex_search(text, m, include)) {
          found.push_back({fs::relative(entry.path(), root).generic_string(), n, m[1]});
        }
      }
    }
  }
  return found;
}

// "file:line includes target" for every include that climbs, or crosses to a peer folder.
std::vector<std::string> upwardIncludes(const std::vector<Include>& includes) {
  std::vector<std::string> wrong;
  for (const Include& i : includes) {
    const std::string from = topFolder(i.file), to = topFolder(i.target);
    auto target = kLevels.find(to);
    if (target == kLevels.end() || from == to) continue;
    if (target->second >= kLevels.at(from)) {
      wrong.push_back(i.file + ":" + std::to_string(i.line) + " includes " + i.target);
    }
  }
  return wrong;
}

// Each loop of units that include one another, as "a -> b -> a".
std::vector<std::string> includeLoops(const std::vector<Include>& includes) {
  std::map<std::string, std::set<std::string>> edges;
  for (const Include& i : includes) {
    if (kLevels.count(topFolder(i.target)) == 0) continue;
    const std::string from = unitOf(i.file), to = unitOf(i.target);
    if (from != to) edges[from].insert(to);
  }
  // Depth-first search; a unit met again while still on the path closes a loop.
  std::vector<std::string> loops;
  std::map<std::string, int> state;  // 1 on the path, 2 done
  std::vector<std::string> path;
  std::function<void(const std::string&)> visit = [&](const std::string& unit) {
    state[unit] = 1;
    path.push_back(unit);
    for (const std::string& next : edges[unit]) {
      if (state[next] == 1) {
        std::string loop;
        for (auto it = std::find(path.begin(), path.end(), next); it != path.end(); ++it) loop += *it + " -> ";
        loops.push_back(loop + next);
      } else if (state[next] == 0) {
        visit(next);
      }
    }
    path.pop_back();
    state[unit] = 2;
  };
  for (const auto& [unit, targets] : edges) {
    if (state[unit] == 0) visit(unit);
  }
  return loops;
}

std::string lines(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& s : items) out += "  " + s + "\n";
  return out;
}

TEST(Layering, IncludesOnlyGoDownAndNeverLoop) {
  const std::vector<Include> includes = projectIncludes(MV_SOURCE_DIR);
  ASSERT_GT(includes.size(), 100u) << "the sources were not found under " MV_SOURCE_DIR;
  const std::vector<std::string> upward = upwardIncludes(includes);
  EXPECT_TRUE(upward.empty()) << "includes of a higher or peer folder:\n" << lines(upward);
  const std::vector<std::string> loops = includeLoops(includes);
  EXPECT_TRUE(loops.empty()) << "files that include one another:\n" << lines(loops);
}

// The check itself: an upward include and a loop among made-up files are caught.
TEST(Layering, CatchesAnUpwardIncludeAndALoop) {
  const std::vector<Include> includes = {
      {"model/a.cpp", 3, "render/b.h"},  {"render/b.cpp", 1, "model/a.h"},
      {"scene/c.cpp", 2, "scene/d.h"},   {"scene/d.cpp", 2, "scene/c.h"},
      {"app/e.cpp", 1, "sound/f.h"},     {"sound/f.cpp", 1, "render/g.h"},
      {"render/g.cpp", 4, "sound/f.h"},  {"tests/t.cpp", 9, "app/e.h"},
      {"fuzz/u.cpp", 2, "bench/v.h"},
  };
  EXPECT_EQ(upwardIncludes(includes),
            (std::vector<std::string>{"model/a.cpp:3 includes render/b.h", "render/g.cpp:4 includes sound/f.h",
                                      "fuzz/u.cpp:2 includes bench/v.h"}));
  EXPECT_EQ(includeLoops(includes),
            (std::vector<std::string>{"sound/f -> render/g -> sound/f", "model/a -> render/b -> model/a",
                                      "scene/c -> scene/d -> scene/c"}));
}

}  // namespace
