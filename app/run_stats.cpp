#include "app/run_stats.h"

#include <cinttypes>

#include "platform/text.h"
#include "scene/camera.h"
#include "scene/character.h"
#include "scene/model_view.h"

namespace {

void jsonNumber(std::FILE* out, double v) { std::fprintf(out, "%.9g", v); }

}  // namespace

void PrintRunStats(std::FILE* out, const RunStats& stats) {
  std::fprintf(out, "{\"frames\": %" PRId64 ", \"steps\": %" PRId64 ", \"seconds\": ", stats.frames, stats.steps);
  jsonNumber(out, stats.seconds);
  std::fprintf(out, ", \"fps\": ");
  jsonNumber(out, stats.seconds > 0 ? static_cast<double>(stats.frames) / stats.seconds : 0.0);
  std::fprintf(out, ", \"device\": \"%s\"", stats.device.c_str());
  auto vector3 = [out](const float* v) {
    std::fprintf(out, "[");
    for (int i = 0; i < 3; ++i) {
      if (i) std::fprintf(out, ", ");
      jsonNumber(out, v[i]);
    }
    std::fprintf(out, "]");
  };
  if (stats.modelView != nullptr) {
    const ModelView& m = *stats.modelView;
    const OrbitCamera orbit = m.orbitNow();
    float eye[3];
    orbit.eye(eye);
    std::fprintf(out, ", \"model\": {\"bounds\": {\"min\": ");
    vector3(m.bounds().min);
    std::fprintf(out, ", \"max\": ");
    vector3(m.bounds().max);
    std::fprintf(out, "}, \"framed\": {\"min\": ");
    vector3(m.framedBox().min);
    std::fprintf(out, ", \"max\": ");
    vector3(m.framedBox().max);
    std::fprintf(out, "}, \"viewScale\": ");
    jsonNumber(out, m.viewScale());
    std::fprintf(out, ", \"camera\": {\"eye\": ");
    vector3(eye);
    std::fprintf(out, ", \"target\": ");
    vector3(orbit.target);
    std::fprintf(out, ", \"yaw\": ");
    jsonNumber(out, orbit.yaw);
    std::fprintf(out, ", \"pitch\": ");
    jsonNumber(out, orbit.pitch);
    std::fprintf(out, ", \"distance\": ");
    jsonNumber(out, orbit.distance);
    std::fprintf(out, ", \"fieldOfView\": ");
    jsonNumber(out, m.fieldOfView());
    std::fprintf(out, ", \"aspect\": ");
    jsonNumber(out, m.aspect());
    std::fprintf(out, "}, \"animation\": \"%s\", \"animations\": %d", m.StatusText().c_str(), m.animationCount());
    if (const double measured = m.measuredDistance(); measured >= 0) {
      std::fprintf(out, ", \"measured\": ");
      jsonNumber(out, measured);
    }
    std::fprintf(out, "}");
  } else if (stats.skeleton != nullptr && stats.skeleton->meshSet != nullptr) {
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
