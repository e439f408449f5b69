// The model view: a drawable model shown on its own, framed, under an orbiting camera, with its
// animations. The model is scaled about the centre of its bounds to a fixed size (kViewRadius),
// so that the view's distances (the ground's reach, the shadow's area, the depth range) suit a
// 1 mm part and a 1 km terrain alike. Its jobs are in parts of their own: the camera
// (orbit_camera.h), the animation choice (model_animator.h), the ground and the light
// (view_stage.h); this class ties them to the input and hands the renderer one frame's worth.
//
// Threads: the UI thread's mouse and the input thread's keys reach it through the input calls;
// the frame thread calls Advance and then reads Frame. Each part guards itself.
#pragma once

#include <array>
#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "scene/drawable_model.h"
#include "scene/model_animator.h"
#include "scene/orbit_camera.h"
#include "scene/view_shading.h"
#include "scene/view_stage.h"

struct EnvironmentMaps;
class ModelPicker;

// The 256-byte keyboard state the input thread polls (scene/character.h's kKeyboardStateSize).
inline constexpr std::size_t kModelViewKeys = 256;

// How a drag in the display window moves the view.
enum class DragMode { kOrbit, kPan };

// A light of the model's own (KHR_lights_punctual) where the frame's pose puts it.
struct FrameLight {
  AssetLight::Type type = AssetLight::Type::kPoint;
  float position[3] = {};
  float direction[3] = {0, 0, -1};  // the way it shines, unit
  float color[3] = {1, 1, 1};       // times its intensity
  float range = 0;                  // world units; 0: unlimited
  float coneScale = 0, coneOffset = 1;
};

// One frame of the view as the renderer draws it, in world units.
struct ModelFrame {
  Matrix4 view = kIdentityMatrix, projection = kIdentityMatrix;
  float eye[3] = {};
  ViewStage stage;
  // Per instance of the model: its world matrix, or for a skinned one the view's scale alone
  // (its joints place it), and the first of its joint matrices in `joints` (-1: rigid).
  std::vector<Matrix4> instanceWorlds;
  std::vector<int32_t> jointOffsets;
  std::vector<Matrix4> joints;
  std::vector<FrameLight> lights;
  float metresPerWorldUnit = 1;  // for the lights' falloff, which is physical
  bool posed = true;  // the instances moved since the last frame
  // The measured points where the picture shows them (pixels from its top-left corner).
  int32_t markCount = 0;
  float marks[2][2] = {};
  // The grid on the ground, its lines a power of ten of the model's units apart, and the axes
  // through the model's origin.
  bool grid = false;
  float gridOrigin[2] = {};
  float gridSpacing = 1;
};

class ModelView {
 public:
  explicit ModelView(std::shared_ptr<const DrawableModel> model);

  const DrawableModel& model() const { return *model_; }
  const std::shared_ptr<const DrawableModel>& sharedModel() const { return model_; }

  // What lights the model and how the picture is shown: set before the view is shown.
  void setLook(std::shared_ptr<const EnvironmentMaps> environment, const ViewShading& shading) {
    environment_ = std::move(environment);
    shading_ = shading;
  }
  const std::shared_ptr<const EnvironmentMaps>& environment() const { return environment_; }
  const ViewShading& shading() const { return shading_; }

  // Input, from any thread. Pixel movements are scaled by the picture's height.
  void SetViewport(int32_t width, int32_t height);
  void Drag(float dx, float dy, DragMode mode);
  void Wheel(int steps);  // positive: towards the model
  void Home();
  void Turn(float yawDegrees);  // about the vertical axis through the target
  // The home view's distance and target, seen from `yawDegrees` about the vertical axis and
  // `pitchDegrees` above the horizon (OrbitCamera's angles).
  void Preset(float yawDegrees, float pitchDegrees);
  // The camera of `other` (a reloaded model keeps where the user was looking from).
  void KeepCamera(const ModelView& other);
  void PlayAnimation(int32_t index) { animator_.play(index); }  // 0-based
  void TogglePause() { animator_.togglePause(); }
  // The keys: 1 to 9 play a clip, space pauses, Home frames again, F5 to F8 frame it from the
  // front, the side, the top and three-quarters, M measures and Esc clears, G shows the grid and
  // the axes, the arrows orbit and zoom (with shift, up and down tilt). Pressed keys act once;
  // held arrows keep acting.
  void OnKeyboard(const uint8_t keys[kModelViewKeys]);

  // The playing clip, and while measuring the distance measured (or what to do).
  std::string StatusText() const;

  // Measuring: two clicks put two points on the model's surface (a click within a few pixels
  // of a corner takes the corner); a third starts again. M (in OnKeyboard) turns it on and off,
  // Esc clears the points.
  bool measuring() const;
  void SetMeasuring(bool on);
  void ClearMeasure();
  // The grid and axes under the model (G in OnKeyboard).
  void ToggleGrid();
  // UI thread: a click at pixel (x, y) of the picture, cast on the model at the next frame.
  void Pick(int32_t x, int32_t y);
  // The distance between the two points in the model's units; negative without two.
  double measuredDistance() const;
  int32_t animationCount() const { return animator_.clipCount(); }
  OrbitCamera orbitNow() const;
  float fieldOfView() const { return kFieldOfView; }
  float aspect() const;
  // The model's bounds in its units, Z up; the box the home view frames (the first frame's
  // pose) in world units; world units per model unit.
  const SceneBounds& bounds() const { return model_->bounds; }
  const SceneBounds& framedBox() const { return framedBox_; }
  float viewScale() const { return scale_; }

  // Frame thread: the animation moved on by `seconds`, then this frame's matrices.
  void Advance(double seconds);
  const ModelFrame& Frame();

 private:
  static constexpr float kFieldOfView = 45.0f;
  void placeInstances();
  void placeLights();
  void pickAndMark(const float eye[3]);
  double distanceLocked() const;  // measuredDistance() with mutex_ held

  std::shared_ptr<const DrawableModel> model_;
  std::shared_ptr<const EnvironmentMaps> environment_;
  ViewShading shading_;
  ModelAnimator animator_;
  float scale_ = 1;
  Matrix4 toView_ = kIdentityMatrix;  // model units about its centre to world units
  SceneBounds framedBox_;
  ViewStage stage_;

  // The frame thread's.
  ModelPose pose_;
  ModelFrame frame_;

  mutable std::mutex mutex_;  // guards what follows
  // The picking hierarchy, made when measuring first starts; the frame thread waits for it
  // only at a pick that comes before it is done.
  std::shared_future<std::shared_ptr<const ModelPicker>> picker_;
  bool measuring_ = false;
  bool grid_ = false;
  bool pickPending_ = false;
  int32_t pickX_ = 0, pickY_ = 0;
  std::vector<std::array<float, 3>> measured_;  // model units, the viewer's frame
  OrbitCamera orbit_;
  int32_t viewWidth_ = 1920, viewHeight_ = 1080;
  uint8_t previousKeys_[kModelViewKeys] = {};
};
