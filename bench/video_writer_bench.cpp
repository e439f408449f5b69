// Encoding a 6-second 800 x 600 turntable at 30 frames a second (180 frames) into each video
// format, timed from open() to the file written, as a --video run waits for it.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "app/video_writer.h"

namespace {

constexpr int kWidth = 800, kHeight = 600, kFps = 30, kFrames = 180, kTurn = 36;

// A shaded sphere with stripes that turn with `step`, over a vertical gradient: smooth shading
// for the GIF palette, and motion for the video encoders.
std::vector<uint8_t> turntableFrame(int step) {
  std::vector<uint8_t> rgba(static_cast<std::size_t>(kWidth) * kHeight * 4);
  const double turn = 2 * M_PI * step / kTurn;
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      uint8_t* p = &rgba[(static_cast<std::size_t>(y) * kWidth + x) * 4];
      const double nx = (x - kWidth / 2.0) / 220, ny = (y - kHeight / 2.0) / 220;
      const double r2 = nx * nx + ny * ny;
      double c[3];
      if (r2 < 1) {
        const double nz = std::sqrt(1 - r2);
        const double light = 0.15 + 0.85 * std::max(0.0, 0.4 * nx - 0.5 * ny + 0.77 * nz);
        const double longitude = std::atan2(nx, nz) + turn;
        const bool stripe = std::fmod(longitude + 8 * M_PI, M_PI / 4) < M_PI / 8;
        c[0] = light * (stripe ? 230 : 200), c[1] = light * (stripe ? 120 : 190), c[2] = light * (stripe ? 40 : 210);
      } else {
        const double t = static_cast<double>(y) / kHeight;
        c[0] = 40 + 60 * t, c[1] = 50 + 70 * t, c[2] = 90 + 80 * t;
      }
      for (int i = 0; i < 3; ++i) p[i] = static_cast<uint8_t>(std::lround(c[i]));
      p[3] = 255;
    }
  }
  return rgba;
}

void encodeClip(benchmark::State& state, const char* suffix) {
  std::vector<std::vector<uint8_t>> frames;
  for (int i = 0; i < kTurn; ++i) frames.push_back(turntableFrame(i));
  const std::filesystem::path out =
      std::filesystem::temp_directory_path() / ("video_writer_bench." + std::to_string(::getpid()) + suffix);
  std::string why;
  for (auto _ : state) {
    auto writer = VideoWriter::open(out, {kWidth, kHeight, kFps}, &why);
    if (writer == nullptr) {
      state.SkipWithError(why.c_str());
      break;
    }
    for (int i = 0; i < kFrames; ++i) writer->addFrame(frames[static_cast<std::size_t>(i % kTurn)], &why);
    if (!writer->finish(&why)) {
      state.SkipWithError(why.c_str());
      break;
    }
  }
  std::error_code ec;
  state.counters["MB"] = static_cast<double>(std::filesystem::file_size(out, ec)) / 1e6;
  state.counters["fps"] = benchmark::Counter(kFrames, benchmark::Counter::kIsIterationInvariantRate);
  std::filesystem::remove(out, ec);
}

BENCHMARK_CAPTURE(encodeClip, mp4, ".mp4")->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);
BENCHMARK_CAPTURE(encodeClip, webm, ".webm")->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);
BENCHMARK_CAPTURE(encodeClip, gif, ".gif")->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

}  // namespace
