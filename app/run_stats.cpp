#include "app/run_stats.h"

#include <cinttypes>

#include "platform/text.h"
#include "scene/character.h"
#include "scene/mesh_set.h"

namespace {

void jsonNumber(std::FILE* out, double v) { std::fprintf(out, "%.9g", v); }

}  // namespace

void PrintRunStats(std::FILE* out, const RunStats& stats) {
  std::fprintf(out, "{\"frames\": %" PRId64 ", \"steps\": %" PRId64 ", \"seconds\": ", stats.frames, stats.steps);
  jsonNumber(out, stats.seconds);
  std::fprintf(out, ", \"fps\": ");
  jsonNumber(out, stats.seconds > 0 ? static_cast<double>(stats.frames) / stats.seconds : 0.0);
  std::fprintf(out, ", \"device\": \"%s\"", stats.device.c_str());
  if (stats.skeleton != nullptr && stats.skeleton->meshSet != nullptr) {
    const CSkelton& s = *stats.skeleton;
    std::fprintf(out, ", \"skeleton\": {\"position\": [");
    for (int i = 0; i < 3; ++i) {
      if (i) std::fprintf(out, ", ");
      jsonNumber(out, s.meshSet->position[i]);
    }
    std::fprintf(out, "], \"heading\": ");
    jsonNumber(out, s.heading.load());
    std::fprintf(out, ", \"walking\": %s, \"animation\": \"%s\"}", s.walking.load() ? "true" : "false",
                 text::toUtf8(s.currentAnimation()).c_str());
  } else {
    std::fprintf(out, ", \"skeleton\": null");
  }
  std::fprintf(out, "}\n");
}
