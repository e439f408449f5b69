// Cost of the image-based light's maps at the viewer's default sizes, on all cores: the studio
// (what every start without a cached light pays), each stage alone, a large equirectangular
// image (an .hdr file after decoding), and the cache's read that replaces all of it.
#include <benchmark/benchmark.h>

#include <cmath>
#include <filesystem>
#include <numbers>
#include <unistd.h>

#include "scene/environment_light.h"

namespace {

void BM_StudioMaps(benchmark::State& state) {
  const EnvironmentSource studio = EnvironmentSource::studio();
  for (auto _ : state) {
    EnvironmentMaps maps;
    computeEnvironmentMaps(studio, {}, maps, nullptr);
    benchmark::DoNotOptimize(maps.specular.data());
  }
}
BENCHMARK(BM_StudioMaps)->Unit(benchmark::kMillisecond)->UseRealTime();

// The specular levels alone: the maps with a 1 x 1 BRDF table.
void BM_StudioCubeOnly(benchmark::State& state) {
  const EnvironmentSource studio = EnvironmentSource::studio();
  EnvironmentMapSizes sizes;
  sizes.brdfSize = 1;
  sizes.brdfSamples = 1;
  for (auto _ : state) {
    EnvironmentMaps maps;
    computeEnvironmentMaps(studio, sizes, maps, nullptr);
    benchmark::DoNotOptimize(maps.specular.data());
  }
}
BENCHMARK(BM_StudioCubeOnly)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_BrdfTable(benchmark::State& state) {
  const EnvironmentMapSizes sizes;
  for (auto _ : state) benchmark::DoNotOptimize(computeBrdfTable(sizes.brdfSize, sizes.brdfSamples).data());
}
BENCHMARK(BM_BrdfTable)->Unit(benchmark::kMillisecond)->UseRealTime();

// A 4096 x 2048 sky: halved twice before the cube is made from it.
void BM_LargeImageMaps(benchmark::State& state) {
  EquirectImage image{4096, 2048, {}};
  image.rgb.resize(std::size_t{4096} * 2048 * 3);
  for (std::size_t i = 0; i < image.rgb.size(); ++i) image.rgb[i] = 0.5f + 0.5f * std::sin(0.001f * static_cast<float>(i));
  const EnvironmentSource source = EnvironmentSource::image(std::move(image));
  for (auto _ : state) {
    EnvironmentMaps maps;
    computeEnvironmentMaps(source, {}, maps, nullptr);
    benchmark::DoNotOptimize(maps.specular.data());
  }
}
BENCHMARK(BM_LargeImageMaps)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CacheLoad(benchmark::State& state) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("environment_light_bench_" + std::to_string(::getpid()));
  const EnvironmentSource studio = EnvironmentSource::studio();
  const std::string key = environmentCacheKey(studio, {});
  EnvironmentMaps maps;
  computeEnvironmentMaps(studio, {}, maps, nullptr);
  if (!saveCachedMaps(dir, key, maps, nullptr)) state.SkipWithError("cannot write the cache");
  for (auto _ : state) {
    EnvironmentMaps loaded;
    benchmark::DoNotOptimize(loadCachedMaps(dir, key, loaded));
  }
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_CacheLoad)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
