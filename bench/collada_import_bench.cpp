// Import of a large COLLADA document (about 25 MB: 200,000 triangles, a skin with 60 joints,
// 60 animated channels of 100 keys) by importCollada and by Assimp (ReadFile without
// post-processing), in the same run. The document is generated into a temporary file first.
//
// Besides the timings it reports, for each importer, the peak resident memory of a fresh child
// process (this executable again, "--peak-rss=collada|assimp|none FILE") that imports the
// file once: ru_maxrss from getrusage, with the "none" child's figure as the baseline.
// "--write-document FILE" only writes the document.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <assimp/Importer.hpp>
#include <assimp/scene.h>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/generated_documents.h"
#include "bench/spread_reporter.h"
#include "model/collada_import.h"
#include "model/model_data.h"

namespace {

namespace fs = std::filesystem;

const fs::path& documentPath() { return generatedDocument("collada_import_bench_", writeSkinnedGrid); }
const fs::path& sceneDocumentPath() { return generatedDocument("collada_scene_bench_", writeNodeScene); }

bool importWithCollada(const fs::path& path) {
  ModelData model;
  bool ok = importCollada(model, path);
  benchmark::DoNotOptimize(model.geometries.data());
  return ok && !model.geometries.empty();
}

bool importWithAssimp(const fs::path& path) {
  Assimp::Importer importer;
  const aiScene* scene = importer.ReadFile(path.string(), 0);
  benchmark::DoNotOptimize(scene);
  return scene != nullptr && scene->mNumMeshes > 0;
}

// Peak resident set of a fresh process importing with `which` ("none": the baseline), in KiB;
// -1 when the child fails.
// What a fresh child of this program prints on its standard output when run with `args`;
// "" when it fails.
std::string childOutput(std::vector<std::string> args) {
  static const char* self = "/proc/self/exe";
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return {};
  pid_t child = ::fork();
  if (child == 0) {
    ::dup2(pipeFds[1], STDOUT_FILENO);
    ::close(pipeFds[0]);
    std::vector<char*> argv{const_cast<char*>(self)};
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(self, argv.data());
    std::_Exit(127);
  }
  ::close(pipeFds[1]);
  std::string out;
  char buffer[256];
  for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;) out.append(buffer, static_cast<std::size_t>(n));
  ::close(pipeFds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? out : std::string();
}

long childPeakKiB(const char* which) {
  const std::string out = childOutput({"--peak-rss", which, documentPath().string()});
  return out.empty() ? -1 : std::strtol(out.c_str(), nullptr, 10);
}

// The child's side: import once, print ru_maxrss (KiB).
int peakRssChild(const std::string& which, const fs::path& path) {
  bool ok = which == "collada" ? importWithCollada(path)
            : which == "assimp" ? importWithAssimp(path)
                                : true;
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  std::printf("%ld\n", usage.ru_maxrss);
  return ok ? 0 : 1;
}

std::map<std::string, long>& peaks() {
  static std::map<std::string, long> values;
  return values;
}

void BM_ImportCollada(benchmark::State& state) {
  const fs::path& path = documentPath();
  for (auto _ : state) {
    if (!importWithCollada(path)) state.SkipWithError("importCollada failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(fs::file_size(path)));
  state.counters["peak_MiB"] = peaks()["collada"] / 1024.0;
}
// Wall time is what a user waits for; the CPU column counts every thread of the process.
BENCHMARK(BM_ImportCollada)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(0.5)
    ->Repetitions(7)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

void BM_AssimpReadFile(benchmark::State& state) {
  const fs::path& path = documentPath();
  for (auto _ : state) {
    if (!importWithAssimp(path)) state.SkipWithError("Assimp failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(fs::file_size(path)));
  state.counters["peak_MiB"] = peaks()["assimp"] / 1024.0;
}
BENCHMARK(BM_AssimpReadFile)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(0.5)
    ->Repetitions(7)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

using Clock = std::chrono::steady_clock;

// One import of the scene document: its whole time, and the scene reading's inside it.
bool timeSceneImport(Clock::duration& whole, Clock::duration& scene) {
  const Clock::time_point start = Clock::now();
  auto model = std::make_unique<ModelData>();
  ColladaSceneClock sceneClock;
  const bool ok = importCollada(*model, sceneDocumentPath(), &sceneClock);
  whole += Clock::now() - start;
  scene += sceneClock.end - sceneClock.start;
  return ok && model->scene->instances.size() == 99 * 99;
}

// The child's side: one import in a fresh process, as the viewer and the thumbnailer import,
// its heap untouched by earlier imports; prints the scene reading's share.
int sceneShareChild() {
  Clock::duration whole{}, scene{};
  if (!timeSceneImport(whole, scene)) return 1;
  std::printf("%.4f\n", std::chrono::duration<double>(scene) / whole);
  return 0;
}

// Imports over and over in this process. Freeing each model and trimming the heap (glibc gives
// memory back between imports) make each import meet fresh pages again, in a different
// proportion than one import in a fresh process does: both shares are printed.
void BM_ImportColladaSceneNodes(benchmark::State& state) {
  Clock::duration whole{}, scene{};
  for (auto _ : state) {
    if (!timeSceneImport(whole, scene)) {
      state.SkipWithError("import of the scene document failed");
      break;
    }
  }
  state.counters["scene_share"] = std::chrono::duration<double>(scene) / whole;
  state.counters["scene_ms"] = std::chrono::duration<double, std::milli>(scene).count() / static_cast<double>(state.iterations());
}
BENCHMARK(BM_ImportColladaSceneNodes)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--peak-rss") return peakRssChild(argv[2], argv[3]);
  if (argc == 2 && std::string(argv[1]) == "--scene-share") return sceneShareChild();
  if (argc == 3 && std::string(argv[1]) == "--write-document") {
    writeSkinnedGrid(argv[2]);  // for profiling or for trying other importers on it
    return 0;
  }
  if (argc == 3 && std::string(argv[1]) == "--write-large-mesh") {
    writeLargeMesh(argv[2]);  // the 5-million-triangle document whose opening the viewer is held to
    return 0;
  }

  std::vector<char*> args = withInterleavedRepetitions(argc, argv);
  int count = static_cast<int>(args.size()) - 1;
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  const fs::path& path = documentPath();
  std::printf("document: %s, %.1f MB\n", path.c_str(), fs::file_size(path) / 1e6);

  long none = childPeakKiB("none");
  peaks()["collada"] = childPeakKiB("collada");
  peaks()["assimp"] = childPeakKiB("assimp");
  long collada = peaks()["collada"];
  long assimp = peaks()["assimp"];
  std::printf("peak RSS (fresh child, ru_maxrss): baseline %.1f MiB, importCollada %.1f MiB, "
              "Assimp %.1f MiB\n",
              none / 1024.0, collada / 1024.0, assimp / 1024.0);
  if (collada > 0 && assimp > 0) {
    std::printf("memory: ratio %.3f of totals, %.3f above the baseline\n",
                static_cast<double>(collada) / assimp,
                static_cast<double>(collada - none) / static_cast<double>(assimp - none));
  }

  std::vector<double> shares;
  for (int i = 0; i < 9; ++i) {
    const std::string out = childOutput({"--scene-share"});
    if (!out.empty()) shares.push_back(std::strtod(out.c_str(), nullptr));
  }
  std::sort(shares.begin(), shares.end());
  if (!shares.empty()) {
    std::printf("scene reading's share of the 10,000-node document's import, one import per fresh "
                "process: median %.3f, %.3f-%.3f over %zu processes (limit 0.3)\n",
                shares[shares.size() / 2], shares.front(), shares.back(), shares.size());
  }

  SpreadReporter reporter("BM_ImportCollada", "BM_AssimpReadFile");
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
