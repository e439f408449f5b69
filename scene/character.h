// Characters: scene objects that own their loaded models (model data, MeshSet, collider set per
// file) and move them. CCharacterBase does nothing per frame (the field tiles); CSkelton is the
// walking skeleton steered by the arrow keys, which also places the light and both views.
//
// OnKeyboard runs on the input thread while Update and LateUpdate run on the frame thread. The
// fields both touch are atomic, animation switches are serialised by a lock, and the MeshSet
// guards its own pose state.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "model/cursor_list.h"
#include "model/grow_array.h"
#include "model/model_data.h"
#include "scene/collider_set.h"
#include "scene/mesh_set.h"

class Camera;
class GroundQuery;

// The 256-byte keyboard state, indexed by scan code; a key is down when its high bit is set.
inline constexpr int kKeyboardStateSize = 256;
inline constexpr uint8_t kKeyUp = 0xC8;
inline constexpr uint8_t kKeyLeft = 0xCB;
inline constexpr uint8_t kKeyRight = 0xCD;
inline constexpr uint8_t kKeyDown = 0xD0;

// Animation names of one loaded model: entry j names animation j of its MeshSet.
using AnimationNameList = std::vector<std::u16string>;

class CCharacterBase {
 public:
  // `scene` answers the ground query and `camera` receives the views; either may be null.
  CCharacterBase(GroundQuery* scene, Camera* camera);
  virtual ~CCharacterBase();
  CCharacterBase(const CCharacterBase&) = delete;
  CCharacterBase& operator=(const CCharacterBase&) = delete;

  virtual void Update() {}
  virtual void LateUpdate() {}
  virtual void OnKeyboard(const uint8_t* /*keys*/) {}

  // Loads the model file `path` (".mdl" or ".dae", case-sensitive) with its folder as the
  // current directory, builds its MeshSet (`animated` for a skinned character) and evaluates
  // the pose once, reads, builds and transforms its collider set, and takes `name`. The current
  // directory is the same afterwards. A model file that cannot be read loads as an empty model.
  // False, with nothing changed, for a path of four characters or fewer, an unknown suffix, or
  // a model whose indices fall outside its arrays (one line on stderr).
  bool Load(std::u16string_view path, std::u16string_view name, const void* reserved,
            uint8_t animated, const TextureLoader& loadTexture = {});

  // Takes one built model as Load does at its end: the character takes `name`, owns the three
  // records from now on, makes them its current ones and starts an empty animation name list
  // for them. For models built in code.
  void Adopt(std::u16string_view name, std::unique_ptr<ModelData> data,
             std::unique_ptr<MeshSet> mesh, std::unique_ptr<ColliderSet> shapes);

  // Transform of every loaded MeshSet; false while nothing is loaded.
  bool SetScale(float x, float y, float z, float w);
  bool SetRotation(float x, float y, float z);
  bool SetPosition(float x, float y, float z);
  bool Move(float x, float y, float z);

  // Selects animation `name` on the first model that lists it; false when none does.
  bool SetAnimation(std::u16string_view name, float speed);
  std::u16string currentAnimation() const;

  GroundQuery* scene;
  Camera* camera;
  std::u16string name;
  GrowArray<AnimationNameList*> animationNames;  // one list per loaded model
  std::atomic<float> heading{0};  // degrees, kept within 0 to 360 by the keyboard turns
  float walkFactor = 0;           // 0 to 1, frame thread only
  uint8_t visible = 1;
  std::atomic<uint8_t> clockRunning{1};  // 0: the animation clock stands (a paused view)
  ModelData* model = nullptr;      // of the most recent Load
  MeshSet* meshSet = nullptr;
  ColliderSet* colliders = nullptr;
  CursorList<ModelData> models;
  CursorList<MeshSet> meshSets;
  CursorList<ColliderSet> colliderSets;

 protected:
  float positionOrZero(int axis) const { return meshSet != nullptr ? meshSet->position[axis] : 0; }

 private:
  template <class F>
  bool forEachMeshSet(F f);

  mutable std::mutex animationMutex_;  // SetAnimation runs on both threads
  std::u16string currentAnimation_;
  std::vector<std::unique_ptr<AnimationNameList>> nameStore_;
};

class CSkelton : public CCharacterBase {
 public:
  CSkelton(GroundQuery* scene, Camera* camera);

  // Input thread: turn by one degree per poll with left and right, walk with up, turn about
  // with down; keys are ignored while an about-turn runs.
  void OnKeyboard(const uint8_t* keys) override;
  // Frame thread: the about-turn, walking along the heading, the ground height, the light and
  // the follow view.
  void Update() override;
  // Frame thread: the scene view behind the skeleton, a second pose, and stopping the walk when
  // no arrow key is down.
  void LateUpdate() override;

  std::atomic<uint8_t> walking{0};
  std::atomic<float> turnTarget{0};
  std::atomic<uint8_t> turning{0};
  std::atomic<uint8_t> keyActive{0};
  float heightHistory[10] = {};  // oldest first
};
