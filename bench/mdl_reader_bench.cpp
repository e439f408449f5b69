// .mdl reading throughput on a large generated model (float arrays, index lists and weights,
// tens of MB), against the bare cost of converting the same numbers with std::from_chars.
// All report bytes/s over the whole file and CPU time; the reader's "vs_from_chars" counter is
// its CPU time per read divided by the double baseline's, measured earlier in the same run.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <charconv>
#include <ctime>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "model/mdl_reader.h"
#include "model/model_data.h"

namespace {

constexpr int kVertices = 250000;
constexpr int kCorners = 3 * kVertices;

enum class Kind { kFloats, kInts };

struct NumberLine {
  std::size_t begin;
  std::size_t end;
  Kind kind;
};

struct Generated {
  std::string text;
  std::vector<NumberLine> numberLines;
  std::filesystem::path path;
};

class Builder {
 public:
  explicit Builder(Generated& g) : g_(g) {}
  void line(const std::string& s) { g_.text += s + "\n"; }
  template <class F>
  void numbers(Kind kind, int count, F&& next) {
    std::size_t begin = g_.text.size();
    char buf[64];
    for (int i = 0; i < count; ++i) {
      if (i) g_.text += ' ';
      g_.text += next(buf);
    }
    g_.numberLines.push_back({begin, g_.text.size(), kind});
    g_.text += '\n';
  }

 private:
  Generated& g_;
};

const Generated& model() {
  static Generated g = [] {
    Generated out;
    Builder b(out);
    std::mt19937 rng(42);
    std::uniform_real_distribution<float> coord(-100.0f, 100.0f);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    std::uniform_int_distribution<int> index(0, kVertices - 1);
    auto fixed = [](char* buf, float v) { return std::string(buf, std::snprintf(buf, 64, "%.6f", v)); };
    b.line("<MODEL_ID>\nBench\n<GEOMETRY_BEGIN>\n<GEOMETRY_ID> Body\n<VERTEX_COUNT> " +
           std::to_string(kVertices));
    auto array = [&](const char* id, int k, auto value) {
      b.line(std::string("<FLOAT_ARRAY_BEGIN>\n<FLOAT_ARRAY_ID> ") + id +
             "\n<FLOAT_ARRAY_FLOAT_COUNT> " + std::to_string(k) + "\n<FLOAT_ARRAY_COUNT> " +
             std::to_string(kVertices) + "\n<FLOAT_ARRAY>");
      b.numbers(Kind::kFloats, kVertices * k, [&](char* buf) { return fixed(buf, value()); });
      b.line("<FLOAT_ARRAY_END>");
    };
    array("pos", 3, [&] { return coord(rng); });
    array("nrm", 3, [&] { return unit(rng); });
    array("uv", 2, [&] { return (unit(rng) + 1.0f) / 2.0f; });
    b.line("<POLYGON_DATA_BEGIN>\n<MATERIAL_ID> Skin\n<VERTEX_ID> pos\n<NORMAL_ID> nrm");
    for (const char* list : {"VERTEX", "NORMAL", "TEX"}) {
      b.line(std::string("<") + list + "_INDEX_COUNT> " + std::to_string(kCorners));
      b.numbers(Kind::kInts, kCorners, [&](char*) { return std::to_string(index(rng)); });
    }
    b.line("<TEX_ID_COUNT> 1\nuv\n<POLYGON_DATA_END>");
    // Four influences per vertex, the other four empty, as an exporter writes them.
    b.line("<WEIGHTS_BEGIN>\n<WEIGHTS_SIZE> " + std::to_string(kVertices) + "\n<APPLY_BONE_NUM> 8");
    int n = 0;
    b.numbers(Kind::kFloats, kVertices * 16, [&](char* buf) {
      int slot = n++ % 16;
      if (slot >= 8) return std::string("0");
      if (slot % 2 == 0) return std::to_string(index(rng) % 60);
      return fixed(buf, (unit(rng) + 1.0f) / 8.0f);
    });
    b.line("<WEIGHTS_END>\n<GEOMETRY_END>");
    out.path = std::filesystem::temp_directory_path() /
               ("mdl_reader_bench_" + std::to_string(::getpid()) + ".mdl");
    std::ofstream(out.path, std::ios::binary) << out.text;
    return out;
  }();
  static const struct Remover {
    ~Remover() { std::filesystem::remove(g.path); }
  } remover;
  return g;
}

// Thread CPU time: the machine may be shared, and wall time would count other processes.
double cpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double baselineSecondsPerRead = 0;

// The bare conversion: every number of every number line through std::from_chars, floats to
// `Real` (double, as the text-to-double rule of the files requires, or float), integers to int.
template <class Real>
void fromCharsBaseline(benchmark::State& state, bool reference) {
  const Generated& g = model();
  double total = 0;
  int64_t reads = 0;
  for (auto _ : state) {
    double start = cpuSeconds();
    double sum = 0;
    for (const NumberLine& line : g.numberLines) {
      const char* p = g.text.data() + line.begin;
      const char* end = g.text.data() + line.end;
      while (p < end) {
        while (p < end && *p == ' ') ++p;
        if (p == end) break;
        if (line.kind == Kind::kFloats) {
          Real v = 0;
          p = std::from_chars(p, end, v).ptr;
          sum += static_cast<double>(static_cast<float>(v));
        } else {
          int v = 0;
          p = std::from_chars(p, end, v).ptr;
          sum += v;
        }
      }
    }
    benchmark::DoNotOptimize(sum);
    total += cpuSeconds() - start;
    ++reads;
  }
  if (reference) baselineSecondsPerRead = total / static_cast<double>(reads);
  state.SetBytesProcessed(reads * static_cast<int64_t>(g.text.size()));
}

void BM_FromCharsBaseline(benchmark::State& state) { fromCharsBaseline<double>(state, true); }
BENCHMARK(BM_FromCharsBaseline)->Unit(benchmark::kMillisecond);

void BM_FromCharsToFloat(benchmark::State& state) { fromCharsBaseline<float>(state, false); }
BENCHMARK(BM_FromCharsToFloat)->Unit(benchmark::kMillisecond);

// The whole reader on the file: open, read, tokenise, convert, build the records.
void BM_ReadMdl(benchmark::State& state) {
  const Generated& g = model();
  double total = 0;
  int64_t reads = 0;
  for (auto _ : state) {
    double start = cpuSeconds();
    ModelData m;
    if (!readMdl(m, g.path) || m.geometries.size() != 1) state.SkipWithError("read failed");
    benchmark::DoNotOptimize(m.geometries.data());
    total += cpuSeconds() - start;
    ++reads;
  }
  state.SetBytesProcessed(reads * static_cast<int64_t>(g.text.size()));
  state.counters["MB"] = static_cast<double>(g.text.size()) / 1e6;
  if (baselineSecondsPerRead > 0) {
    state.counters["vs_from_chars"] = total / static_cast<double>(reads) / baselineSecondsPerRead;
  }
}
BENCHMARK(BM_ReadMdl)->Unit(benchmark::kMillisecond);

}  // namespace
