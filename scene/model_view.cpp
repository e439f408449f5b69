#include "scene/model_view.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "model/ani_reader.h"
#include "model/load_error.h"
#include "model/matrix_math.h"
#include "model/model_loader.h"
#include "platform/text.h"
#include "scene/camera.h"
#include "scene/instance_mesh.h"
#include "scene/scene.h"
#include "scene/skeletal_animation.h"
#include "scene/vertex_skinning.h"

namespace fs = std::filesystem;

namespace {

constexpr float kPi = 3.14159265f;
float radians(float degrees) { return degrees * kPi / 180.0f; }

// Scan codes of the keys the view answers besides the arrows.
constexpr uint8_t kKey1 = 0x02;  // "1" to "9" are 0x02 to 0x0A
constexpr uint8_t kKeySpace = 0x39;
constexpr uint8_t kKeyHome = 0xC7;
constexpr uint8_t kKeyLeftShift = 0x2A, kKeyRightShift = 0x36;

// Animation time runs at 50 units a second of clock steps x speed; the scene steps 60 times a
// second. A COLLADA document's key times are seconds.
constexpr float kSecondsSpeed = 50.0f / 60.0f;
// Sets of the viewer's own format play at the walk's pace.
constexpr float kOwnFormatSpeed = 10.0f;

// A drawn instance count past which the view leaves the rest out: every instance is a draw.
constexpr std::size_t kMaxDrawnInstances = 20000;

bool down(const uint8_t* keys, uint8_t code) { return (keys[code] & 0x80) != 0; }

int64_t countTriangles(const ModelData& model) {
  int64_t n = 0;
  if (model.scene == nullptr) return 0;
  for (const SceneGeometry& g : model.scene->geometries) {
    for (const ScenePrimitive& p : g.primitives) n += static_cast<int64_t>(p.triangles->vertexIndices.size() / 3);
  }
  return n;
}

bool hasWeights(const Geometry& geometry) {
  for (const BoneWeight& w : geometry.weights.stored) {
    if (w.weight > 1e-7f) return true;
  }
  return false;
}

// A square of ground, kCells x kCells quads: lit per vertex, so it needs vertices near the model.
std::unique_ptr<MeshSet> groundMesh(float z) {
  constexpr int kCells = 40;
  constexpr float kHalf = 1200.0f;  // past the fog's far end seen from any allowed distance
  auto set = std::make_unique<MeshSet>();
  set->name = u"Ground";
  set->animated = 0;
  GpuGeometry& g = *set->newGeometry();
  for (int j = 0; j <= kCells; ++j) {
    for (int i = 0; i <= kCells; ++i) {
      ModelVertex v{};
      // Cells shrink towards the middle, where the model and its shadow are.
      auto at = [](int k) {
        float u = static_cast<float>(k) / kCells * 2.0f - 1.0f;
        return kHalf * u * std::fabs(u);
      };
      v.position[0] = at(i);
      v.position[1] = at(j);
      v.position[2] = z;
      v.normal[2] = 1;
      v.color[0] = v.color[1] = v.color[2] = v.color[3] = 1;
      g.vertices.push_back(v);
    }
  }
  std::vector<uint32_t> indices;
  for (int j = 0; j < kCells; ++j) {
    for (int i = 0; i < kCells; ++i) {
      uint32_t a = static_cast<uint32_t>(j * (kCells + 1) + i), b = a + 1, c = a + kCells + 1, d = c + 1;
      indices.insert(indices.end(), {a, b, d, a, d, c});
    }
  }
  GpuMaterial material;
  const float diffuse[4] = {0.78f, 0.76f, 0.72f, 1}, ambient[4] = {0.55f, 0.55f, 0.55f, 1};
  std::copy(diffuse, diffuse + 4, material.diffuse);
  std::copy(ambient, ambient + 4, material.ambient);
  g.materials.push_back(material);
  g.indexCounts.push_back(static_cast<int32_t>(indices.size()));
  g.indexLists.push_back(std::move(indices));
  set->geometries.append(&g);
  return set;
}

}  // namespace

void boxCentre(const SceneBounds& box, float centre[3]) {
  for (int k = 0; k < 3; ++k) centre[k] = (box.min[k] + box.max[k]) / 2;
}

void OrbitCamera::frame(const SceneBounds& box, float fieldOfView, float aspect) {
  float radius = 0;
  for (int k = 0; k < 3; ++k) radius += (box.max[k] - box.min[k]) * (box.max[k] - box.min[k]) / 4;
  // A single point still gets a view that shows something around it.
  radius = std::max(std::sqrt(radius), kViewRadius * 0.01f);
  float centre[3];
  boxCentre(box, centre);
  float halfHeight = radians(fieldOfView) / 2;
  float halfWidth = std::atan(std::tan(halfHeight) * aspect);
  float half = std::min(halfHeight, halfWidth);
  yaw = kHomeYaw;
  pitch = kHomePitch;
  homeDistance = distance = radius / std::sin(half) * 1.12f;
  for (int k = 0; k < 3; ++k) target[k] = centre[k];
}

void OrbitCamera::orbit(float yawDegrees, float pitchDegrees) {
  yaw = std::fmod(yaw + yawDegrees, 360.0f);
  pitch = std::clamp(pitch + pitchDegrees, -kMaxPitch, kMaxPitch);
}

void OrbitCamera::zoom(float factor) {
  if (!(factor > 0)) return;
  distance = std::clamp(distance * factor, homeDistance * 0.4f, homeDistance * 8.0f);
}

void OrbitCamera::pan(float right, float up) {
  float y = radians(yaw), p = radians(pitch);
  // The view's right and up directions for an eye at (yaw, pitch) looking at the target.
  const float r[3] = {-std::sin(y), std::cos(y), 0};
  const float u[3] = {-std::sin(p) * std::cos(y), -std::sin(p) * std::sin(y), std::cos(p)};
  for (int i = 0; i < 3; ++i) {
    target[i] += (r[i] * right + u[i] * up) * distance;
    // The model stays within reach of the view.
    target[i] = std::clamp(target[i], -4 * kViewRadius, 4 * kViewRadius);
  }
}

void OrbitCamera::eye(float out[3]) const {
  float y = radians(yaw), p = radians(pitch);
  out[0] = target[0] + distance * std::cos(p) * std::cos(y);
  out[1] = target[1] + distance * std::cos(p) * std::sin(y);
  out[2] = target[2] + distance * std::sin(p);
}

ModelView::ModelView(Camera* camera) : CCharacterBase(nullptr, camera) { name = u"ModelView"; }

ModelView::~ModelView() = default;

float ModelView::fieldOfView() const { return camera != nullptr ? camera->fieldOfView : 45.0f; }

bool ModelView::Load(const fs::path& model, const std::vector<fs::path>& animations,
                     const TextureLoader& loadTexture) {
  data_ = std::make_unique<ModelData>();
  const ModelFormat format = modelFormatOfAnyCase(model);
  LoadedTextures textures;
  // Texture paths are relative to the model's folder.
  if (!loadModelFileAs(*data_, model, format, [&] {
        if (format == ModelFormat::kMdl) data_->scene = identityScene(*data_);
        textures = LoadModelTextures(*data_, loadTexture);
        for (void* resource : textures.resources) {
          if (resource != nullptr) loadedTextures_.push_back(resource);
        }
      })) {
    return false;
  }
  const bool fromMdl = format == ModelFormat::kMdl;
  if (fromMdl) {
    // A .mdl model has no scene: each geometry once, at identity, skinned when weighted.
    for (SceneInstance& instance : data_->scene->instances) {
      const Geometry& geometry = *data_->geometries[static_cast<std::size_t>(instance.geometry)];
      instance.skinned = !data_->bones.empty() && hasWeights(geometry);
    }
  }
  const std::size_t ownAnimations = data_->animations.size();
  for (const fs::path& file : animations) {
    const std::size_t before = data_->animations.size();
    if (!readAni(*data_, file) || data_->animations.size() == before) {
      std::fprintf(stderr, "Warning: %s: no animation read; it is left out\n", file.c_str());
    }
  }
  if (countTriangles(*data_) == 0) {
    printLoadError("%s: no geometry to draw", model.c_str());
    return false;
  }
  return build(textures, fromMdl, ownAnimations);
}

bool ModelView::build(const LoadedTextures& textures, bool fromMdl, std::size_t ownAnimations) {
  const ModelScene& scene = *data_->scene;
  bounds_ = sceneBounds(*data_, scene);
  float centre[3] = {}, radius = 0;
  for (int k = 0; k < 3; ++k) {
    centre[k] = (bounds_.min[k] + bounds_.max[k]) / 2;
    float half = (bounds_.max[k] - bounds_.min[k]) / 2;
    radius += half * half;
  }
  radius = std::sqrt(radius);
  scale_ = radius > 0 && std::isfinite(radius) ? kViewRadius / radius : 1.0f;
  // Model units to the view's: about the centre of the bounds, to kViewRadius.
  const Matrix4 toView = {scale_, 0, 0, 0,  //
                          0, scale_, 0, 0,  //
                          0, 0, scale_, 0,  //
                          -scale_ * centre[0], -scale_ * centre[1], -scale_ * centre[2], 1};

  // The animation sets to play: a document's clips (or its animated nodes), then the .ani files;
  // a .mdl model's own sets and .ani files. Sets without tracks have nothing to play.
  std::vector<std::pair<const AnimationSet*, float>> sets;
  if (!fromMdl) {
    for (const auto& a : scene.animations) {
      if (!a->tracks.empty()) sets.emplace_back(a.get(), kSecondsSpeed);
    }
  }
  for (std::size_t i = fromMdl ? 0 : ownAnimations; i < data_->animations.size(); ++i) {
    if (!data_->animations[i]->tracks.empty()) sets.emplace_back(data_->animations[i].get(), kOwnFormatSpeed);
  }

  std::size_t drawn = 0;
  for (const SceneInstance& instance : scene.instances) {
    if (drawn == kMaxDrawnInstances) {
      std::fprintf(stderr, "Warning: %s: only the first %zu of %zu instances are shown\n",
                   text::toUtf8(data_->modelId).c_str(), kMaxDrawnInstances, scene.instances.size());
      break;
    }
    auto set = std::make_unique<MeshSet>();
    set->name = data_->modelId;
    if (instance.skinned) CopyBones(*set, *data_);
    if (AddInstanceGeometry(*set, *data_, scene, instance, textures, fromMdl, !fromMdl) == 0) continue;
    set->animated = instance.skinned && !sets.empty() ? 1 : 0;
    if (set->animated) {
      for (const auto& [animationSet, speed] : sets) AppendAnimation(*set, *animationSet);
      animatedSets_.push_back(set.get());
    }
    Matrix4 placement;
    MatrixMultiply(placement, TransposeMatrix(instance.world), toView);
    SetPlacement(*set, placement);
    UpdatePose(*set);
    auto object = std::make_unique<CCharacterBase>(nullptr, nullptr);
    object->Adopt(scene.nodeIdOf(instance), nullptr, std::move(set), nullptr);
    (instance.skinned ? skinned_ : rigid_).push_back(object.get());
    objects_.push_back(std::move(object));
    ++drawn;
  }
  if (objects_.empty()) {
    printLoadError("%s: no geometry to draw", text::toUtf8(data_->modelId).c_str());
    return false;
  }
  if (!animatedSets_.empty()) {
    for (const auto& [animationSet, speed] : sets) {
      animationNames_.push_back(animationSet->id);
      animationSpeeds_.push_back(speed);
    }
    requested_ = 0;
    applySelection();
  }

  // What the first frame shows: the instances in their first pose (an animation may start
  // away from the bind pose the bounds measure).
  float low[3] = {INFINITY, INFINITY, INFINITY}, high[3] = {-INFINITY, -INFINITY, -INFINITY};
  std::vector<ModelVertex> posed;
  for (const auto& object : objects_) {
    const MeshSet& set = *object->meshSet;
    SkinMatrices skin;
    GatherSkinMatrices(set, skin);
    for (int64_t gi = 0; gi < set.geometries.count(); ++gi) {
      const GpuGeometry& geometry = **set.geometries.at(gi);
      posed.resize(geometry.vertices.size());
      SkinVertices(geometry, skin, posed.data());
      for (const ModelVertex& v : posed) {
        const float p[4] = {v.position[0], v.position[1], v.position[2], 1};
        float w[4];
        TransformRow(w, p, set.worldMatrix);
        for (int k = 0; k < 3; ++k) {
          low[k] = std::min(low[k], w[k]);
          high[k] = std::max(high[k], w[k]);
        }
      }
    }
  }
  for (int k = 0; k < 3; ++k) {
    if (!(low[k] <= high[k])) low[k] = high[k] = 0;  // nothing finite drawn
  }
  framedBox_.empty = false;
  std::copy(low, low + 3, framedBox_.min);
  std::copy(high, high + 3, framedBox_.max);

  // Just under the lowest point, so that a flat base does not fight the ground for pixels.
  const float groundZ = low[2] - kViewRadius * 0.002f;
  auto ground = std::make_unique<CCharacterBase>(nullptr, nullptr);
  ground->Adopt(u"Ground", nullptr, groundMesh(groundZ), nullptr);
  UpdatePose(*ground->meshSet);
  ground_ = ground.get();
  objects_.push_back(std::move(ground));

  Home();
  return true;
}

void ModelView::AddTo(Scene& scene) {
  scene.secondList.append(this);
  for (CCharacterBase* object : skinned_) scene.firstList.append(object);
  scene.thirdList.append(ground_);
  for (CCharacterBase* object : rigid_) scene.thirdList.append(object);
}

std::vector<const MeshSet*> ModelView::drawnMeshSets() const {
  std::vector<const MeshSet*> sets;
  for (const auto& object : objects_) sets.push_back(object->meshSet);
  return sets;
}

void ModelView::SetViewport(int32_t width, int32_t height) {
  if (width <= 0 || height <= 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  bool home = orbit_.distance == orbit_.homeDistance && orbit_.yaw == OrbitCamera::kHomeYaw &&
              orbit_.pitch == OrbitCamera::kHomePitch;
  viewWidth_ = width;
  viewHeight_ = height;
  OrbitCamera framed;
  framed.frame(framedBox_, fieldOfView(), static_cast<float>(width) / static_cast<float>(height));
  // The limits follow the new shape; an untouched view stays framed.
  float zoom = orbit_.distance / orbit_.homeDistance;
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
    const float scale = 2.0f * std::tan(radians(fieldOfView()) / 2);
    orbit_.pan(-dx * perPixel * scale, dy * perPixel * scale);
  }
}

void ModelView::Wheel(int steps) {
  std::lock_guard<std::mutex> lock(mutex_);
  orbit_.zoom(std::pow(0.85f, static_cast<float>(std::clamp(steps, -20, 20))));
}

void ModelView::Home() {
  std::lock_guard<std::mutex> lock(mutex_);
  orbit_.frame(framedBox_, fieldOfView(), static_cast<float>(viewWidth_) / static_cast<float>(viewHeight_));
}

void ModelView::PlayAnimation(int32_t index) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (index >= 0 && index < animationCount()) requested_ = index;
}

void ModelView::TogglePause() {
  std::lock_guard<std::mutex> lock(mutex_);
  paused_ = !paused_;
  for (CCharacterBase* object : skinned_) object->clockRunning.store(paused_ ? 0 : 1);
}

std::string ModelView::StatusText() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (playing_ < 0) return {};
  std::string text = text::toUtf8(animationNames_[static_cast<std::size_t>(playing_)]) + " " +
                     std::to_string(playing_ + 1) + "/" + std::to_string(animationCount());
  if (paused_) text += " (paused)";
  return text;
}

OrbitCamera ModelView::orbitNow() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return orbit_;
}

void ModelView::applySelection() {
  // Called with the selection settled: the first time from build, then from Update.
  const int32_t index = requested_;
  requested_ = -1;
  if (index < 0 || index == playing_) return;
  for (MeshSet* set : animatedSets_) SelectAnimation(*set, index, animationSpeeds_[static_cast<std::size_t>(index)]);
  playing_ = index;
}

void ModelView::OnKeyboard(const uint8_t* keys) {
  auto pressed = [&](uint8_t code) { return down(keys, code) && !down(previousKeys_, code); };
  for (uint8_t k = 0; k < 9; ++k) {
    if (pressed(static_cast<uint8_t>(kKey1 + k))) PlayAnimation(k);
  }
  if (pressed(kKeySpace)) TogglePause();
  if (pressed(kKeyHome)) Home();
  const bool shift = down(keys, kKeyLeftShift) || down(keys, kKeyRightShift);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Held arrows: about 120 degrees or a doubling of the distance a second at the poll's rate.
    if (down(keys, kKeyLeft)) orbit_.orbit(2.0f, 0);
    if (down(keys, kKeyRight)) orbit_.orbit(-2.0f, 0);
    if (down(keys, kKeyUp)) shift ? orbit_.orbit(0, 1.5f) : orbit_.zoom(0.98f);
    if (down(keys, kKeyDown)) shift ? orbit_.orbit(0, -1.5f) : orbit_.zoom(1.0f / 0.98f);
  }
  std::copy(keys, keys + kKeyboardStateSize, previousKeys_);
}

void ModelView::Update() {
  OrbitCamera orbit;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    applySelection();
    orbit = orbit_;
  }
  if (camera == nullptr) return;
  float eye[3];
  orbit.eye(eye);
  for (int i = 0; i < 3; ++i) {
    camera->sceneViewEye[i] = eye[i];
    camera->sceneViewTarget[i] = orbit.target[i];
  }
  camera->targetLift = 0;
  // High and from the front left, so that the shadow falls behind the model, inside the
  // shadow map's area around the origin.
  const float light[3] = {-4000, -6000, 10000}, follow[3] = {100, 100, 60};
  float centre[3];
  boxCentre(framedBox_, centre);
  for (int i = 0; i < 3; ++i) {
    camera->lightPosition[i] = centre[i] + light[i];
    camera->lightTarget[i] = centre[i];
    // The shadow map is centred where the follow view looks: the framed model's centre.
    camera->followViewEye[i] = centre[i] + follow[i];
    camera->followViewTarget[i] = centre[i];
  }
  camera->lightStrength = 0.75f;
}
