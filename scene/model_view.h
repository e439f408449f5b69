// The model view: any .mdl or .dae model shown on its own, framed, under an orbiting camera,
// with its animations. The model is read with its scene (every instance placed, materials
// bound), then scaled about the centre of its bounds to a fixed size, kViewRadius: the shaders'
// fixed distances (the fog, the shadow area, the near and far planes) then suit a 1 mm part and
// a 1 km terrain alike. Skinned instances go to the Scene's first list (drawn as the character
// is), rigid ones and a flat ground under the model's lowest point to the third (drawn as the
// field is); the view itself sits in the unused second list, where the frame thread's Update
// turns its orbit into the camera and the input thread's OnKeyboard reaches it.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "model/model_scene.h"
#include "scene/character.h"

class Scene;
struct LoadedTextures;

// The radius, in world units, of the sphere the model is scaled to fill.
inline constexpr float kViewRadius = 12.0f;

// Yaw and pitch (degrees) and distance of the eye around a target, in world units.
struct OrbitCamera {
  static constexpr float kHomeYaw = -60.0f;  // from the front (-y) and a little to the right
  static constexpr float kHomePitch = 25.0f;
  static constexpr float kMaxPitch = 85.0f;  // short of the poles, where "up" is undefined

  float yaw = kHomeYaw, pitch = kHomePitch;
  float distance = 1, homeDistance = 1;
  float target[3] = {};

  // Frames the sphere around `box`: the home view, at the distance where the sphere fills the
  // smaller of the picture's two fields of view with a margin.
  void frame(const SceneBounds& box, float fieldOfView, float aspect);
  void orbit(float yawDegrees, float pitchDegrees);
  // Multiplies the distance, kept between 0.4 and 8 times the home distance.
  void zoom(float factor);
  // Moves the target across the view: `right` and `up` in fractions of the distance.
  void pan(float right, float up);
  void eye(float out[3]) const;
};

// The centre of `box`.
void boxCentre(const SceneBounds& box, float centre[3]);

// How a drag in the display window moves the view.
enum class DragMode { kOrbit, kPan };

class ModelView : public CCharacterBase {
 public:
  explicit ModelView(Camera* camera);
  ~ModelView() override;

  // Reads `model` (".mdl" or ".dae" in any letter case, relative to the current directory)
  // with its scene and textures, then each `.ani` file of `animations` into it, and builds
  // what the view draws. False, after one line on stderr naming the file and the reason, when
  // the model cannot be read or holds nothing to draw; an animation file that cannot be read
  // is skipped with a warning.
  bool Load(const std::filesystem::path& model, const std::vector<std::filesystem::path>& animations,
            const TextureLoader& loadTexture);

  // Puts the view and its objects into the Scene's lists. Once, before the threads run.
  void AddTo(Scene& scene);
  // The MeshSets to upload.
  std::vector<const MeshSet*> drawnMeshSets() const;
  // Every texture Load got from its loader, drawn or not, failed Loads included: what the
  // loader's owner gives back once it is done with the view.
  const std::vector<void*>& loadedTextures() const { return loadedTextures_; }

  // Input, from any thread. Pixel movements are scaled by the picture's height.
  void SetViewport(int32_t width, int32_t height);
  void Drag(float dx, float dy, DragMode mode);
  void Wheel(int steps);  // positive: towards the model
  void Home();
  void PlayAnimation(int32_t index);  // 0-based; an index past the list is ignored
  void TogglePause();

  // "WALK 2/3" for the playing set, "" without animations.
  std::string StatusText() const;
  int32_t animationCount() const { return static_cast<int32_t>(animationNames_.size()); }
  OrbitCamera orbitNow() const;
  const SceneBounds& bounds() const { return bounds_; }  // in the model's units, Z-up
  // The box the home view frames: the instances in their first pose, in world units.
  const SceneBounds& framedBox() const { return framedBox_; }
  float viewScale() const { return scale_; }              // world units per model unit

  void OnKeyboard(const uint8_t* keys) override;
  void Update() override;

 private:
  bool build(const LoadedTextures& textures, bool fromMdl, std::size_t ownAnimations);
  void applySelection();
  float fieldOfView() const;

  std::unique_ptr<ModelData> data_;
  std::vector<void*> loadedTextures_;
  std::vector<std::unique_ptr<CCharacterBase>> objects_;  // instances, then the ground
  std::vector<CCharacterBase*> skinned_, rigid_;
  CCharacterBase* ground_ = nullptr;
  std::vector<MeshSet*> animatedSets_;
  std::vector<std::u16string> animationNames_;
  std::vector<float> animationSpeeds_;
  SceneBounds bounds_;
  float scale_ = 1;
  SceneBounds framedBox_;  // what the home view frames

  mutable std::mutex mutex_;  // guards everything below
  OrbitCamera orbit_;
  int32_t viewWidth_ = 1920, viewHeight_ = 1080;
  int32_t playing_ = -1, requested_ = -1;
  bool paused_ = false;
  uint8_t previousKeys_[kKeyboardStateSize] = {};
};
