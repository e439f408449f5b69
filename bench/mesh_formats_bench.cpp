// The STL, PLY and OBJ readers against Assimp (ReadFile without post-processing), in the same
// run, on generated files of 2 million triangles (a 1000 x 1000 grid bent into a wavy sheet,
// 1 million vertices) written to a temporary folder, and on the OBJ, STL and PLY files Debian
// ships with Assimp.
//
// Besides the timings, for each of our reads the peak resident memory (VmHWM) of a fresh child
// process (this executable again, "--peak-rss read FILE") that reads the file once, over the
// size of the vertex and index data the asset holds, after the baseline of a child that reads
// nothing ("--peak-rss none"). At the end a table gives, per file, our median time, Assimp's,
// their ratio, our throughput and the memory ratio.
//
//   build/release/bench/mesh_formats_bench [--benchmark_filter=...]
//   build/release/bench/mesh_formats_bench --write-files FOLDER   (only writes the files)
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <assimp/Importer.hpp>
#include <assimp/scene.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "model/mesh_formats/obj_reader.h"
#include "model/mesh_formats/ply_reader.h"
#include "model/mesh_formats/stl_reader.h"

namespace {

namespace fs = std::filesystem;

constexpr int kGrid = 1000;  // cells a side, two triangles each
constexpr int kSide = kGrid + 1;

float heightAt(int r, int c) { return 0.05f * std::sin(c * 0.0731f) + 0.04f * std::cos(r * 0.117f); }

// A buffered writer with a fast number format.
class Out {
 public:
  explicit Out(const fs::path& path) : file_(std::fopen(path.c_str(), "wb")) {
    if (file_ == nullptr) {
      std::perror(path.c_str());
      std::exit(1);
    }
  }
  ~Out() {
    flush();
    std::fclose(file_);
  }
  void text(std::string_view s) {
    if (buffer_.size() + s.size() > kFlush) flush();
    buffer_.append(s);
  }
  void number(float v) {
    char digits[32];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, v, std::chars_format::fixed, 6);
    (void)ec;
    text(std::string_view(digits, static_cast<std::size_t>(end - digits)));
  }
  void integer(long v) {
    char digits[24];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, v);
    (void)ec;
    text(std::string_view(digits, static_cast<std::size_t>(end - digits)));
  }
  template <class T>
  void raw(const T& v) {
    text(std::string_view(reinterpret_cast<const char*>(&v), sizeof v));
  }

 private:
  static constexpr std::size_t kFlush = 1u << 20;
  void flush() {
    std::fwrite(buffer_.data(), 1, buffer_.size(), file_);
    buffer_.clear();
  }
  std::FILE* file_;
  std::string buffer_;
};

void position(int r, int c, float p[3]) {
  p[0] = c * 0.01f;
  p[1] = r * 0.01f;
  p[2] = heightAt(r, c);
}

// The corners (vertex numbers) of triangle t.
void corners(long t, long v[3]) {
  const long cell = t / 2, r = cell / kGrid, c = cell % kGrid, a = r * kSide + c;
  if (t % 2 == 0) {
    v[0] = a, v[1] = a + 1, v[2] = a + kSide;
  } else {
    v[0] = a + 1, v[1] = a + kSide + 1, v[2] = a + kSide;
  }
}

constexpr long kTriangles = 2L * kGrid * kGrid;
constexpr long kVertices = long{kSide} * kSide;

void writeStl(const fs::path& path, bool binary) {
  Out out(path);
  if (binary) {
    char header[80] = "mesh_formats_bench grid";
    out.text(std::string_view(header, 80));
    out.raw(static_cast<uint32_t>(kTriangles));
  } else {
    out.text("solid grid\n");
  }
  for (long t = 0; t < kTriangles; ++t) {
    long v[3];
    corners(t, v);
    float p[3][3];
    for (int k = 0; k < 3; ++k) position(static_cast<int>(v[k] / kSide), static_cast<int>(v[k] % kSide), p[k]);
    if (binary) {
      const float n[3] = {0, 0, 1};
      for (float x : n) out.raw(x);
      for (auto& q : p) {
        for (float x : q) out.raw(x);
      }
      out.raw(uint16_t{0});
      continue;
    }
    out.text("  facet normal 0 0 1\n    outer loop\n");
    for (auto& q : p) {
      out.text("      vertex ");
      out.number(q[0]);
      out.text(" ");
      out.number(q[1]);
      out.text(" ");
      out.number(q[2]);
      out.text("\n");
    }
    out.text("    endloop\n  endfacet\n");
  }
  if (!binary) out.text("endsolid grid\n");
}

void writePly(const fs::path& path, bool binary) {
  Out out(path);
  out.text(binary ? "ply\nformat binary_little_endian 1.0\n" : "ply\nformat ascii 1.0\n");
  out.text("element vertex ");
  out.integer(kVertices);
  out.text("\nproperty float x\nproperty float y\nproperty float z\nelement face ");
  out.integer(kTriangles);
  out.text("\nproperty list uchar int vertex_indices\nend_header\n");
  for (long v = 0; v < kVertices; ++v) {
    float p[3];
    position(static_cast<int>(v / kSide), static_cast<int>(v % kSide), p);
    for (int k = 0; k < 3; ++k) {
      if (binary) {
        out.raw(p[k]);
      } else {
        out.number(p[k]);
        out.text(k < 2 ? " " : "\n");
      }
    }
  }
  for (long t = 0; t < kTriangles; ++t) {
    long v[3];
    corners(t, v);
    if (binary) {
      out.raw(uint8_t{3});
      for (long i : v) out.raw(static_cast<int32_t>(i));
    } else {
      out.text("3");
      for (long i : v) {
        out.text(" ");
        out.integer(i);
      }
      out.text("\n");
    }
  }
}

// v, vn and f v//vn, as exporters of large meshes write them.
void writeObj(const fs::path& path) {
  Out out(path);
  out.text("# mesh_formats_bench grid\no grid\n");
  for (long v = 0; v < kVertices; ++v) {
    float p[3];
    position(static_cast<int>(v / kSide), static_cast<int>(v % kSide), p);
    out.text("v ");
    for (int k = 0; k < 3; ++k) {
      out.number(p[k]);
      out.text(k < 2 ? " " : "\n");
    }
  }
  for (long v = 0; v < kVertices; ++v) {
    const int r = static_cast<int>(v / kSide), c = static_cast<int>(v % kSide);
    float n[3] = {-0.05f * 0.0731f * std::cos(c * 0.0731f) / 0.01f, 0.04f * 0.117f * std::sin(r * 0.117f) / 0.01f, 1};
    const float length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    out.text("vn ");
    for (int k = 0; k < 3; ++k) {
      out.number(n[k] / length);
      out.text(k < 2 ? " " : "\n");
    }
  }
  for (long t = 0; t < kTriangles; ++t) {
    long v[3];
    corners(t, v);
    out.text("f");
    for (long i : v) {
      out.text(" ");
      out.integer(i + 1);
      out.text("//");
      out.integer(i + 1);
    }
    out.text("\n");
  }
}

struct Generated {
  const char* name;
  const char* file;
  void (*write)(const fs::path&);
};

const Generated kGenerated[] = {
    {"stl_binary", "grid_binary.stl", [](const fs::path& p) { writeStl(p, true); }},
    {"stl_ascii", "grid_ascii.stl", [](const fs::path& p) { writeStl(p, false); }},
    {"ply_binary", "grid_binary.ply", [](const fs::path& p) { writePly(p, true); }},
    {"ply_ascii", "grid_ascii.ply", [](const fs::path& p) { writePly(p, false); }},
    {"obj", "grid.obj", writeObj},
};

// The folder of generated files, written the first time it is asked for and removed at exit
// (by the process that wrote it).
const fs::path& generatedFolder() {
  static const fs::path* folder = [] {
    auto* f = new fs::path(fs::temp_directory_path() / ("mesh_formats_bench_" + std::to_string(::getpid())));
    fs::create_directories(*f);
    for (const Generated& g : kGenerated) g.write(*f / g.file);
    std::atexit([] {
      std::error_code ignored;
      fs::remove_all(*folder, ignored);
    });
    return f;
  }();
  return *folder;
}

bool readOurs(const fs::path& path, ModelAsset& asset) {
  const std::string ext = path.extension().string();
  if (ext == ".stl") return readStl(path, asset);
  if (ext == ".ply") return readPly(path, asset);
  return readObj(path, asset);
}

bool readAssimp(const fs::path& path) {
  Assimp::Importer importer;
  const aiScene* scene = importer.ReadFile(path.string(), 0);
  benchmark::DoNotOptimize(scene);
  return scene != nullptr && scene->mNumMeshes > 0;
}

// Bytes of vertex and index data the asset holds.
std::size_t assetBytes(const ModelAsset& asset) {
  std::size_t bytes = 0;
  for (const Mesh& mesh : asset.meshes) {
    for (const MeshPrimitive& p : mesh.primitives) {
      bytes += 4 * (p.positions.size() + p.normals.size() + p.tangents.size() + p.texCoords[0].size() +
                    p.texCoords[1].size() + p.colors.size() + p.weights.size() + p.indices.size()) +
               2 * p.joints.size();
    }
  }
  return bytes;
}

// What a fresh child of this program prints on its standard output when run with `args`.
std::string childOutput(std::vector<std::string> args) {
  static const char* self = "/proc/self/exe";
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return {};
  const pid_t child = ::fork();
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

// The peak resident set of this process's own memory (VmHWM, KiB). Not ru_maxrss: a child
// inherits the parent's figure at fork into it, which exec does not reset.
long peakRssKiB() {
  std::FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return -1;
  char line[256];
  long kib = -1;
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::strncmp(line, "VmHWM:", 6) == 0) kib = std::strtol(line + 6, nullptr, 10);
  }
  std::fclose(status);
  return kib;
}

// The child's side: read once (or not, for "none"), print the peak (KiB) and the asset's bytes.
int peakRssChild(const std::string& which, const fs::path& path) {
  ModelAsset asset;
  const bool ok = which == "none" || readOurs(path, asset);
  std::printf("%ld %zu\n", peakRssKiB(), assetBytes(asset));
  return ok ? 0 : 1;
}

struct Memory {
  double peakMiB = 0, assetMiB = 0;
};
std::map<std::string, Memory>& memories() {
  static std::map<std::string, Memory> m;
  return m;
}

Memory measureMemory(const fs::path& path) {
  static const long baseline = [] {
    const std::string out = childOutput({"--peak-rss", "none", "-"});
    return out.empty() ? 0L : std::strtol(out.c_str(), nullptr, 10);
  }();
  const std::string out = childOutput({"--peak-rss", "read", path.string()});
  Memory m;
  if (out.empty()) return m;
  char* end = nullptr;
  const long peak = std::strtol(out.c_str(), &end, 10);
  m.peakMiB = (peak - baseline) / 1024.0;
  m.assetMiB = std::strtod(end, nullptr) / (1024.0 * 1024.0);
  return m;
}

void BM_Ours(benchmark::State& state, const fs::path& path, const std::string& label) {
  for (auto _ : state) {
    ModelAsset asset;
    if (!readOurs(path, asset)) state.SkipWithError("read failed");
    benchmark::DoNotOptimize(asset.meshes.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(fs::file_size(path)));
  if (memories().count(label) == 0) memories()[label] = measureMemory(path);
  state.counters["peak_MiB"] = memories()[label].peakMiB;
  state.counters["asset_MiB"] = memories()[label].assetMiB;
}

void BM_Assimp(benchmark::State& state, const fs::path& path) {
  for (auto _ : state) {
    if (!readAssimp(path)) state.SkipWithError("Assimp failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(fs::file_size(path)));
}

// Every OBJ, STL and PLY file of Assimp's test models that both read, once an iteration.
std::vector<fs::path> testFiles() {
  std::vector<fs::path> files;
  const fs::path root = "/usr/share/assimp/models";
  for (const char* folder : {"OBJ", "STL", "PLY"}) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(root / folder, ec)) {
      std::string ext = entry.path().extension().string();
      std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
      if (ext == ".obj" || ext == ".stl" || ext == ".ply") files.push_back(entry.path());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

// Standard error muted while it lives: the test files' warnings would drown the report.
class Muted {
 public:
  Muted() : saved_(::dup(STDERR_FILENO)) {
    std::fflush(stderr);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDERR_FILENO);
    ::close(null);
  }
  ~Muted() {
    std::fflush(stderr);
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
  }

 private:
  int saved_;
};

void BM_OursTestdata(benchmark::State& state, const std::vector<fs::path>& files) {
  std::size_t bytes = 0;
  Muted muted;
  for (auto _ : state) {
    for (const fs::path& f : files) {
      ModelAsset asset;
      readOurs(f, asset);
      bytes += fs::file_size(f);
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

void BM_AssimpTestdata(benchmark::State& state, const std::vector<fs::path>& files) {
  std::size_t bytes = 0;
  Muted muted;
  for (auto _ : state) {
    for (const fs::path& f : files) {
      readAssimp(f);
      bytes += fs::file_size(f);
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

// The console report, then per file: medians, their ratio, throughput and memory.
class TableReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      times_[run.run_name.function_name].push_back(run.GetAdjustedRealTime());
      auto rate = run.counters.find("bytes_per_second");
      if (rate != run.counters.end()) rates_[run.run_name.function_name].push_back(rate->second.value);
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\n%-16s %12s %12s %8s %10s %10s %10s %7s\n", "file", "ours ms", "assimp ms", "ratio", "ours GB/s",
                "peak MiB", "asset MiB", "memory");
    for (const auto& [name, times] : times_) {
      if (name.rfind("ours/", 0) != 0) continue;
      const std::string label = name.substr(5);
      const double ours = median(times), assimp = median(times_["assimp/" + label]);
      const Memory m = memories()[label];
      std::printf("%-16s %12.1f %12.1f %8.3f %10.2f %10.1f %10.1f %7.2f\n", label.c_str(), ours, assimp,
                  assimp > 0 ? ours / assimp : 0.0, median(rates_[name]) / 1e9, m.peakMiB, m.assetMiB,
                  m.assetMiB > 0 ? m.peakMiB / m.assetMiB : 0.0);
    }
  }

 private:
  static double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 == 1 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
  }
  std::map<std::string, std::vector<double>> times_, rates_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--peak-rss") return peakRssChild(argv[2], argv[3]);
  if (argc == 3 && std::string(argv[1]) == "--write-files") {
    fs::create_directories(argv[2]);
    for (const Generated& g : kGenerated) g.write(fs::path(argv[2]) / g.file);
    return 0;
  }
  const fs::path& folder = generatedFolder();
  for (const Generated& g : kGenerated) {
    const fs::path path = folder / g.file;
    const std::string label = g.name;
    benchmark::RegisterBenchmark(("ours/" + label).c_str(), [path, label](benchmark::State& s) { BM_Ours(s, path, label); })
        ->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5)->UseRealTime()->MeasureProcessCPUTime();
    benchmark::RegisterBenchmark(("assimp/" + label).c_str(), [path](benchmark::State& s) { BM_Assimp(s, path); })
        ->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3)->UseRealTime()->MeasureProcessCPUTime();
  }
  static const std::vector<fs::path> files = testFiles();
  benchmark::RegisterBenchmark("ours/testdata", [](benchmark::State& s) { BM_OursTestdata(s, files); })
      ->Unit(benchmark::kMillisecond)->Repetitions(5)->UseRealTime();
  benchmark::RegisterBenchmark("assimp/testdata", [](benchmark::State& s) { BM_AssimpTestdata(s, files); })
      ->Unit(benchmark::kMillisecond)->Repetitions(5)->UseRealTime();
  benchmark::Initialize(&argc, argv);
  TableReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
