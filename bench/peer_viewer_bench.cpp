// A picture of a model file, as a user waits for it, against a peer viewer in the same run:
// `modelviewer --headless FILE --size 640x480 --screenshot` (range 0) and f3d's
// `--output --resolution 640,480` (range 1), whole processes, on Debian's glTF test models and a
// generated binary STL of 2 million triangles. f3d draws through an X display: run this under
// xvfb-run (scripts/bench does when there is no display); without f3d or a display its cases
// are skipped and say so.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/process_run.h"

namespace fs = std::filesystem;

namespace {

const fs::path kOut = fs::temp_directory_path() / ("peer_viewer_bench_" + std::to_string(::getpid()));

// A bumpy sphere of at least `triangles` triangles, binary STL.
fs::path generatedStl(uint32_t triangles) {
  const fs::path file = kOut / ("sphere_" + std::to_string(triangles) + ".stl");
  if (fs::exists(file)) return file;
  fs::create_directories(kOut);
  const int rings = static_cast<int>(std::sqrt(triangles / 4.0)) + 1, segments = 2 * rings;
  const uint32_t count = static_cast<uint32_t>(rings * segments * 2);
  std::ofstream out(file, std::ios::binary);
  const std::string header(80, ' ');
  out.write(header.data(), 80);
  out.write(reinterpret_cast<const char*>(&count), 4);
  auto at = [&](int r, int s, float p[3]) {
    const double theta = M_PI * r / rings, phi = 2 * M_PI * (s % segments) / segments;
    const double radius = 1 + 0.03 * std::sin(9 * phi) * std::sin(7 * theta);
    p[0] = static_cast<float>(radius * std::sin(theta) * std::cos(phi));
    p[1] = static_cast<float>(radius * std::sin(theta) * std::sin(phi));
    p[2] = static_cast<float>(radius * std::cos(theta));
  };
  for (int r = 0; r < rings; ++r) {
    for (int s = 0; s < segments; ++s) {
      float a[3], b[3], c[3], d[3];
      at(r, s, a), at(r + 1, s, b), at(r + 1, s + 1, c), at(r, s + 1, d);
      const float normal[3] = {0, 0, 0};
      const uint16_t attribute = 0;
      const float* corners[2][3] = {{a, b, c}, {a, c, d}};
      for (const auto& triangle : corners) {
        out.write(reinterpret_cast<const char*>(normal), 12);
        for (const float* corner : triangle) out.write(reinterpret_cast<const char*>(corner), 12);
        out.write(reinterpret_cast<const char*>(&attribute), 2);
      }
    }
  }
  return file;
}

void picture(benchmark::State& state, const fs::path& file) {
  const bool peer = state.range(0) == 1;
  state.SetLabel(peer ? "f3d" : "modelviewer");
  if (peer && std::system("command -v f3d >/dev/null 2>&1") != 0) return state.SkipWithError("f3d is not installed");
  if (peer && std::getenv("DISPLAY") == nullptr) return state.SkipWithError("f3d needs an X display (xvfb-run)");
  fs::create_directories(kOut);
  const std::string out = (kOut / (peer ? "f3d.png" : "modelviewer.png")).string();
  for (auto _ : state) {
    const bool ok = peer ? runProcess("f3d", {"--output=" + out, "--resolution=640,480", file.string()})
                         : runProcess(MV_RUN_DIR "/modelviewer",
                                      {"--headless", file.string(), "--size", "640x480", "--screenshot", out});
    if (!ok) return state.SkipWithError("it failed");
  }
}

// Debian's glTF test models that are not broken on purpose (as the model view's test lists them).
std::vector<fs::path> gltfModels() {
  const std::vector<std::string> broken = {"techniqueWebGL", "BoxWithInfinites", "IncorrectVertexArrays",
                                           "IndexOutOfRange", "MissingBin", "RecursiveNodes", "SchemaFailures",
                                           "TestNoRootNode", "wrongTypes", "Mesh_PrimitiveMode"};
  std::vector<fs::path> out;
  std::error_code ec;
  for (fs::recursive_directory_iterator it("/usr/share/assimp/models/glTF2", ec), end; !ec && it != end; it.increment(ec)) {
    const std::string path = it->path().string(), ext = it->path().extension().string();
    bool skip = ext != ".gltf" && ext != ".glb";
    for (const std::string& b : broken) skip = skip || path.find(b) != std::string::npos;
    if (!skip) out.push_back(it->path());
  }
  std::sort(out.begin(), out.end());
  return out;
}

const bool kRegistered = [] {
  for (const fs::path& file : gltfModels()) {
    benchmark::RegisterBenchmark(("BM_Picture/" + file.parent_path().filename().string() + "/" + file.filename().string()).c_str(),
                                 [file](benchmark::State& state) { picture(state, file); })
        ->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
  }
  benchmark::RegisterBenchmark("BM_Picture/generated/sphere_2M.stl",
                               [](benchmark::State& state) { picture(state, generatedStl(2000000)); })
      ->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
  return true;
}();

}  // namespace
