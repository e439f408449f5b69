#include "scene/model_view.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "model/matrix_math.h"
#include "scene/character.h"
#include "scene/model_picking.h"

namespace {

constexpr float kPi = 3.14159265f;
float radians(float degrees) { return degrees * kPi / 180.0f; }

// Scan codes of the keys the view answers besides the arrows.
constexpr uint8_t kKey1 = 0x02;  // "1" to "9" are 0x02 to 0x0A
constexpr uint8_t kKeySpace = 0x39;
constexpr uint8_t kKeyHome = 0xC7;
constexpr uint8_t kKeyF5 = 0x3F;  // F5 to F8 are 0x3F to 0x42: the camera presets
constexpr uint8_t kKeyLeftShift = 0x2A, kKeyRightShift = 0x36;
constexpr uint8_t kKeyM = 0x32, kKeyEscape = 0x01, kKeyG = 0x22;
// A click this near (pixels) to a corner of the triangle it hits takes the corner.
constexpr float kSnapPixels = 8;

bool down(const uint8_t* keys, uint8_t code) { return (keys[code] & 0x80) != 0; }

SceneBounds transformed(const SceneBounds& box, const Matrix4& m) {
  SceneBounds out;
  if (box.empty) return out;
  for (int c = 0; c < 8; ++c) {
    const float corner[3] = {c & 1 ? box.max[0] : box.min[0], c & 2 ? box.max[1] : box.min[1],
                             c & 4 ? box.max[2] : box.min[2]};
    float w[3];
    TransformPoint(m, corner, w);
    out.add(w);
  }
  return out;
}

}  // namespace

ModelView::ModelView(std::shared_ptr<const DrawableModel> model) : model_(std::move(model)), animator_(*model_) {
  const SceneBounds& box = model_->bounds;
  float centre[3] = {}, radius = 0;
  for (int k = 0; k < 3; ++k) {
    centre[k] = (box.min[k] + box.max[k]) / 2;
    const float half = (box.max[k] - box.min[k]) / 2;
    radius += half * half;
  }
  radius = std::sqrt(radius);
  scale_ = radius > 0 && std::isfinite(radius) && std::isfinite(kViewRadius / radius) ? kViewRadius / radius : 1.0f;
  toView_ = {scale_, 0, 0, 0,  //
             0, scale_, 0, 0,  //
             0, 0, scale_, 0,  //
             -scale_ * centre[0], -scale_ * centre[1], -scale_ * centre[2], 1};
  // What the first frame shows: the first clip's start may lie away from the rest pose.
  animator_.advance(0, pose_);
  framedBox_ = transformed(PosedBounds(*model_, pose_), toView_);
  if (framedBox_.empty) framedBox_ = transformed(box, toView_);
  stage_ = StageFor(framedBox_);
  placeInstances();
  // The grid: about ten lines across the model, a power of ten of its units apart, through
  // its origin.
  const float size = box.empty ? 1.0f : std::max({box.max[0] - box.min[0], box.max[1] - box.min[1], 1e-6f});
  frame_.gridSpacing = std::pow(10.0f, std::round(std::log10(size / 10.0f))) * scale_;
  frame_.gridOrigin[0] = toView_[12], frame_.gridOrigin[1] = toView_[13];
  Home();
}

double ModelView::distanceLocked() const {
  if (measured_.size() < 2) return -1;
  double d = 0;
  for (int k = 0; k < 3; ++k) d += double(measured_[1][k] - measured_[0][k]) * (measured_[1][k] - measured_[0][k]);
  return std::sqrt(d);
}

std::string ModelView::StatusText() const {
  std::string text = animator_.statusText();
  std::lock_guard<std::mutex> lock(mutex_);
  if (!measuring_) return text;
  if (!text.empty()) text += "  ";
  const double d = distanceLocked();
  if (d < 0) return text + "Measuring: click two points on the model";
  char line[128];
  if (model_->metresPerUnit > 0) {
    std::snprintf(line, sizeof line, "Distance %.6g units, %.6g m", d, d * model_->metresPerUnit);
  } else {
    std::snprintf(line, sizeof line, "Distance %.6g units", d);
  }
  return text + line;
}

bool ModelView::measuring() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return measuring_;
}

void ModelView::SetMeasuring(bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  measuring_ = on;
  if (!on) measured_.clear(), pickPending_ = false;
  // The hierarchy is built on a thread of its own the first time measuring starts, while the
  // user aims: a model that is only looked at never pays for it.
  if (on && !picker_.valid()) {
    std::shared_ptr<const DrawableModel> shared = model_;
    picker_ = std::async(std::launch::async, [shared] {
                return std::shared_ptr<const ModelPicker>(std::make_shared<ModelPicker>(*shared));
              }).share();
  }
}

void ModelView::ClearMeasure() {
  std::lock_guard<std::mutex> lock(mutex_);
  measured_.clear();
  pickPending_ = false;
}

void ModelView::Pick(int32_t x, int32_t y) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!measuring_) return;
  pickPending_ = true;
  pickX_ = x, pickY_ = y;
}

void ModelView::ToggleGrid() {
  std::lock_guard<std::mutex> lock(mutex_);
  grid_ = !grid_;
}

double ModelView::measuredDistance() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return distanceLocked();
}

// Frame thread, with this frame's matrices: a pending click cast on the model, and the
// measured points placed in the picture.
void ModelView::pickAndMark(const float eye[3]) {
  bool pick = false;
  int32_t x = 0, y = 0, width = 1, height = 1;
  std::shared_future<std::shared_ptr<const ModelPicker>> picker;
  bool marked = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    picker = picker_;
    pick = pickPending_ && picker.valid();
    pickPending_ = false;
    marked = !measured_.empty();
    x = pickX_, y = pickY_, width = viewWidth_, height = viewHeight_;
  }
  frame_.markCount = 0;
  if (!pick && !marked) return;  // most frames: nothing to cast, nothing to mark
  Matrix4 viewProjection;
  MatrixMultiply(viewProjection, frame_.view, frame_.projection);
  auto toPixels = [&](const float world[3], float out[2]) {
    const float p[4] = {world[0], world[1], world[2], 1};
    float clip[4];
    TransformRow(clip, p, viewProjection);
    if (!(clip[3] > 0)) return false;
    out[0] = (clip[0] / clip[3] * 0.5f + 0.5f) * static_cast<float>(width);
    out[1] = (clip[1] / clip[3] * 0.5f + 0.5f) * static_cast<float>(height);
    return true;
  };
  if (pick) {
    Matrix4 unproject, fromView;
    float determinant[4];  // the inverse stores it four times
    MatrixInverse(unproject, determinant, viewProjection);
    MatrixInverse(fromView, determinant, toView_);
    // The ray from the eye through the pixel's centre (any depth in front of the eye will do).
    const float ndc[4] = {(static_cast<float>(x) + 0.5f) / static_cast<float>(width) * 2 - 1,
                          (static_cast<float>(y) + 0.5f) / static_cast<float>(height) * 2 - 1, 0.5f, 1};
    float far[4];
    TransformRow(far, ndc, unproject);
    const float direction[3] = {far[0] / far[3] - eye[0], far[1] / far[3] - eye[1], far[2] / far[3] - eye[2]};
    const ModelPicker::Hit hit =
        picker.get()->cast(eye, direction, *model_, frame_.instanceWorlds, frame_.jointOffsets, frame_.joints);
    if (hit.found) {
      float cornerPixels[2];
      const bool snap = toPixels(hit.corner, cornerPixels) &&
                        std::hypot(cornerPixels[0] - (static_cast<float>(x) + 0.5f),
                                   cornerPixels[1] - (static_cast<float>(y) + 0.5f)) <= kSnapPixels;
      std::array<float, 3> point;
      TransformPoint(fromView, snap ? hit.corner : hit.point, point.data());
      std::lock_guard<std::mutex> lock(mutex_);
      if (measuring_) {
        if (measured_.size() >= 2) measured_.clear();
        measured_.push_back(point);
      }
    }
  }
  std::vector<std::array<float, 3>> points;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    points = measured_;
  }
  for (const std::array<float, 3>& p : points) {
    float world[3];
    TransformPoint(toView_, p.data(), world);
    if (toPixels(world, frame_.marks[frame_.markCount])) ++frame_.markCount;
  }
}

float ModelView::aspect() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<float>(viewWidth_) / static_cast<float>(viewHeight_);
}

void ModelView::SetViewport(int32_t width, int32_t height) {
  if (width <= 0 || height <= 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  const bool home = orbit_.atHome();
  viewWidth_ = width;
  viewHeight_ = height;
  OrbitCamera framed;
  framed.frame(framedBox_, kFieldOfView, static_cast<float>(width) / static_cast<float>(height));
  // The limits follow the new shape; an untouched view stays framed.
  const float zoom = orbit_.distance / orbit_.homeDistance;
  orbit_.homeDistance = framed.homeDistance;
  orbit_.distance = home ? framed.homeDistance : framed.homeDistance * zoom;
}

void ModelView::Drag(float dx, float dy, DragMode mode) {
  std::lock_guard<std::mutex> lock(mutex_);
  const float perPixel = 1.0f / static_cast<float>(viewHeight_);
  if (mode == DragMode::kOrbit) {
    // Half a turn across the picture's height; a drag to the right turns the model's near side
    // to the right, so the eye goes the other way.
    orbit_.orbit(-dx * perPixel * 180.0f, dy * perPixel * 180.0f);
  } else {
    // The point under the cursor stays under it, near enough, at the target's depth.
    const float scale = 2.0f * std::tan(radians(kFieldOfView) / 2);
    orbit_.pan(-dx * perPixel * scale, dy * perPixel * scale);
  }
}

void ModelView::Wheel(int steps) {
  std::lock_guard<std::mutex> lock(mutex_);
  orbit_.zoom(std::pow(0.85f, static_cast<float>(std::clamp(steps, -20, 20))));
}

void ModelView::Home() {
  std::lock_guard<std::mutex> lock(mutex_);
  orbit_.frame(framedBox_, kFieldOfView, static_cast<float>(viewWidth_) / static_cast<float>(viewHeight_));
}

void ModelView::Turn(float yawDegrees) {
  std::lock_guard<std::mutex> lock(mutex_);
  orbit_.orbit(yawDegrees, 0);
}

void ModelView::Preset(float yawDegrees, float pitchDegrees) {
  std::lock_guard<std::mutex> lock(mutex_);
  orbit_.frame(framedBox_, kFieldOfView, static_cast<float>(viewWidth_) / static_cast<float>(viewHeight_));
  orbit_.yaw = yawDegrees;
  orbit_.pitch = std::clamp(pitchDegrees, -OrbitCamera::kMaxPitch, OrbitCamera::kMaxPitch);
}

void ModelView::KeepCamera(const ModelView& other) {
  const OrbitCamera camera = other.orbitNow();
  std::lock_guard<std::mutex> lock(mutex_);
  orbit_ = camera;
}

OrbitCamera ModelView::orbitNow() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return orbit_;
}

void ModelView::OnKeyboard(const uint8_t keys[kModelViewKeys]) {
  auto pressed = [&](uint8_t code) { return down(keys, code) && !down(previousKeys_, code); };
  for (uint8_t k = 0; k < 9; ++k) {
    if (pressed(static_cast<uint8_t>(kKey1 + k))) PlayAnimation(k);
  }
  if (pressed(kKeySpace)) TogglePause();
  if (pressed(kKeyHome)) Home();
  if (pressed(kKeyM)) SetMeasuring(!measuring());
  if (pressed(kKeyEscape)) ClearMeasure();
  if (pressed(kKeyG)) ToggleGrid();
  // Front (from -y), side (from +x), top, and the home view's three-quarters.
  static constexpr float kPresets[4][2] = {{-90, 0}, {0, 0}, {-90, OrbitCamera::kMaxPitch},
                                           {OrbitCamera::kHomeYaw, OrbitCamera::kHomePitch}};
  for (uint8_t k = 0; k < 4; ++k) {
    if (pressed(static_cast<uint8_t>(kKeyF5 + k))) Preset(kPresets[k][0], kPresets[k][1]);
  }
  const bool shift = down(keys, kKeyLeftShift) || down(keys, kKeyRightShift);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Held arrows: about 120 degrees or a doubling of the distance a second at the poll's rate.
    if (down(keys, kKeyLeft)) orbit_.orbit(2.0f, 0);
    if (down(keys, kKeyRight)) orbit_.orbit(-2.0f, 0);
    if (down(keys, kKeyUp)) shift ? orbit_.orbit(0, 1.5f) : orbit_.zoom(0.98f);
    if (down(keys, kKeyDown)) shift ? orbit_.orbit(0, -1.5f) : orbit_.zoom(1.0f / 0.98f);
  }
  std::copy(keys, keys + kModelViewKeys, previousKeys_);
}

void ModelView::Advance(double seconds) {
  frame_.posed = animator_.advance(seconds, pose_);
  if (frame_.posed) placeInstances();
}

void ModelView::placeInstances() {
  const DrawableModel& model = *model_;
  frame_.instanceWorlds.resize(model.instances.size());
  frame_.jointOffsets.assign(model.instances.size(), -1);
  frame_.joints.clear();
  // Each skin's joints once, however many instances it poses.
  std::vector<int32_t> skinOffsets(model.skins.size(), -1);
  std::vector<Matrix4> joints;
  for (std::size_t i = 0; i < model.instances.size(); ++i) {
    const DrawableInstance& instance = model.instances[i];
    if (instance.skin < 0) {
      MatrixMultiply(frame_.instanceWorlds[i], InstanceWorld(model, pose_, instance), toView_);
      continue;
    }
    frame_.instanceWorlds[i] = toView_;
    int32_t& offset = skinOffsets[static_cast<std::size_t>(instance.skin)];
    if (offset < 0) {
      offset = static_cast<int32_t>(frame_.joints.size());
      JointMatrices(model, pose_, instance.skin, joints);
      frame_.joints.insert(frame_.joints.end(), joints.begin(), joints.end());
    }
    frame_.jointOffsets[i] = offset;
  }
  placeLights();
}

void ModelView::placeLights() {
  const DrawableModel& model = *model_;
  frame_.lights.clear();
  // Without a unit a model unit is taken as a metre, as glTF's are.
  const double metresPerUnit = model.metresPerUnit > 0 ? model.metresPerUnit : 1.0;
  frame_.metresPerWorldUnit = static_cast<float>(metresPerUnit / scale_);
  for (std::size_t n = 0; n < model.nodes.size(); ++n) {
    const int32_t index = model.nodes[n].light;
    if (index < 0 || static_cast<std::size_t>(index) >= model.lights.size()) continue;
    const AssetLight& light = model.lights[static_cast<std::size_t>(index)];
    Matrix4 world;
    MatrixMultiply(world, pose_.worlds[n], toView_);
    FrameLight& out = frame_.lights.emplace_back();
    out.type = light.type;
    const float origin[3] = {0, 0, 0};
    TransformPoint(world, origin, out.position);
    // Lights shine down their node's -Z.
    float length = 0;
    for (int k = 0; k < 3; ++k) {
      out.direction[k] = -world[8 + k];
      length += out.direction[k] * out.direction[k];
    }
    length = std::sqrt(length);
    for (int k = 0; k < 3; ++k) out.direction[k] = length > 0 ? out.direction[k] / length : (k == 2 ? -1.0f : 0.0f);
    for (int k = 0; k < 3; ++k) out.color[k] = light.color[k] * light.intensity;
    out.range = light.range > 0 ? static_cast<float>(light.range / metresPerUnit * scale_) : 0;
    // A spot's smooth edge between its cones, as glTF describes it.
    const float inner = std::cos(light.innerConeAngle), outer = std::cos(light.outerConeAngle);
    out.coneScale = 1.0f / std::max(inner - outer, 1e-3f);
    out.coneOffset = -outer * out.coneScale;
  }
}

const ModelFrame& ModelView::Frame() {
  OrbitCamera orbit;
  float aspect;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    orbit = orbit_;
    aspect = static_cast<float>(viewWidth_) / static_cast<float>(viewHeight_);
  }
  frame_.view = orbit.viewMatrix();
  // The near plane well inside the nearest the eye can come to the model.
  const float nearPlane = std::max(orbit.distance * 0.01f, 0.01f);
  frame_.projection = ReversedPerspective(kFieldOfView, aspect, nearPlane);
  orbit.eye(frame_.eye);
  frame_.stage = stage_;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    frame_.grid = grid_;
  }
  pickAndMark(frame_.eye);
  return frame_;
}
