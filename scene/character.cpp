#include "scene/character.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>

#include "model/matrix_math.h"
#include "model/model_loader.h"
#include "platform/text.h"
#include "scene/camera.h"
#include "scene/colliders.h"
#include "scene/ground_query.h"
#include "scene/skeletal_animation.h"

namespace fs = std::filesystem;

namespace {

bool keyDown(const uint8_t* keys, uint8_t code) { return (keys[code] & 0x80) != 0; }

float wrapHeading(float h) {
  if (h > 360) h -= 360;
  if (h < 0) h += 360;
  return h;
}

// (cos h, sin h) for heading `h` degrees, normalised; a zero length stays as it is.
void headingDirection(float h, float d[2]) {
  ScalarSinCos(&d[1], &d[0], DegreesToRadians(h));
  float length = std::sqrt(d[0] * d[0] + d[1] * d[1]);
  if (length != 0) {
    d[0] = d[0] / length;
    d[1] = d[1] / length;
  }
}

bool hasTriangles(const ModelData& model) {
  for (const auto& geometry : model.geometries) {
    for (const auto& list : geometry->polygonLists) {
      if (!list->vertexIndices.empty()) return true;
    }
  }
  return false;
}

}  // namespace

CCharacterBase::CCharacterBase(GroundQuery* scene, Camera* camera) : scene(scene), camera(camera) {}

CCharacterBase::~CCharacterBase() {
  for (int32_t i = 1; i <= models.count(); ++i) delete models.at(i)->item;
  for (int32_t i = 1; i <= meshSets.count(); ++i) delete meshSets.at(i)->item;
  for (int32_t i = 1; i <= colliderSets.count(); ++i) delete colliderSets.at(i)->item;
}

bool CCharacterBase::Load(std::u16string_view path, std::u16string_view name, const void*,
                          uint8_t animated, const TextureLoader& loadTexture) {
  if (path.size() <= 4) return false;
  std::u16string_view suffix = path.substr(path.size() - 4);
  if (suffix != u".dae" && suffix != u".mdl") return false;

  // Either separator ends the folder part.
  const fs::path file(text::toUtf8(text::portablePath(path)));

  auto data = std::make_unique<ModelData>();
  auto mesh = std::make_unique<MeshSet>();
  auto shapes = std::make_unique<ColliderSet>();
  std::string error;
  bool built = false;
  // With the model's folder still current: textures and the collider file are named relative
  // to it.
  auto build = [&](bool inFolder) {
    if (!BuildMeshSet(*mesh, data.get(), animated, &error, loadTexture)) return;
    built = true;
    UpdatePose(*mesh);
    if (inFolder && !data->colliderFilePath.empty()) {
      ReadColliderFile(*shapes, fs::path(text::toUtf8(text::portablePath(data->colliderFilePath))));
    }
    BuildColliders(*shapes, mesh.get());
    TransformColliders(*shapes);
  };
  // A model that cannot be read (it said why on stderr) still loads, empty.
  if (!loadModelFile(*data, file, [&] { build(true); }) && !built && error.empty()) build(false);
  if (!built) {
    std::fprintf(stderr, "%s: %s\n", file.c_str(), error.c_str());
    return false;
  }
  // It loads all the same, but without a word the object would simply be missing.
  if (!hasTriangles(*data)) std::fprintf(stderr, "%s: no geometry to draw\n", file.c_str());
  Adopt(name, std::move(data), std::move(mesh), std::move(shapes));
  return true;
}

void CCharacterBase::Adopt(std::u16string_view name, std::unique_ptr<ModelData> data,
                           std::unique_ptr<MeshSet> mesh, std::unique_ptr<ColliderSet> shapes) {
  this->name = text::boundedName(name);
  model = data.release();
  meshSet = mesh.release();
  colliders = shapes.release();
  models.append(model);
  meshSets.append(meshSet);
  colliderSets.append(colliders);
  nameStore_.push_back(std::make_unique<AnimationNameList>());
  animationNames.append(nameStore_.back().get());
}

template <class F>
bool CCharacterBase::forEachMeshSet(F f) {
  if (meshSet == nullptr) return false;
  for (int32_t i = 1; i <= meshSets.count(); ++i) f(*meshSets.at(i)->item);
  return true;
}

bool CCharacterBase::SetScale(float x, float y, float z, float w) {
  return forEachMeshSet([&](MeshSet& m) {
    m.scale[0] = x;
    m.scale[1] = y;
    m.scale[2] = z;
    m.scale[3] = w;
  });
}

bool CCharacterBase::SetRotation(float x, float y, float z) {
  return forEachMeshSet([&](MeshSet& m) {
    m.rotation[0] = x;
    m.rotation[1] = y;
    m.rotation[2] = z;
  });
}

bool CCharacterBase::SetPosition(float x, float y, float z) {
  return forEachMeshSet([&](MeshSet& m) {
    m.position[0] = x;
    m.position[1] = y;
    m.position[2] = z;
  });
}

bool CCharacterBase::Move(float x, float y, float z) {
  return forEachMeshSet([&](MeshSet& m) {
    m.position[0] += x;
    m.position[1] += y;
    m.position[2] += z;
  });
}

bool CCharacterBase::SetAnimation(std::u16string_view name, float speed) {
  std::lock_guard<std::mutex> lock(animationMutex_);
  for (int64_t i = 0; i < animationNames.count() && i < meshSets.count(); ++i) {
    const AnimationNameList& names = **animationNames.at(i);
    for (std::size_t j = 0; j < names.size(); ++j) {
      if (!text::sameName(names[j], name)) continue;
      currentAnimation_ = text::boundedName(name);
      SelectAnimation(*meshSets.at(static_cast<int32_t>(i) + 1)->item, static_cast<int32_t>(j),
                      speed);
      return true;
    }
  }
  return false;
}

std::u16string CCharacterBase::currentAnimation() const {
  std::lock_guard<std::mutex> lock(animationMutex_);
  return currentAnimation_;
}

CSkelton::CSkelton(GroundQuery* scene, Camera* camera) : CCharacterBase(scene, camera) {}

void CSkelton::OnKeyboard(const uint8_t* keys) {
  if (turning.load()) return;
  // Decided for the whole poll and published once, before anything it governs: the frame
  // thread must never see a walk begun while `keyActive` still says no key, which would select
  // "STAND" and restart the cross-fade.
  const bool left = keyDown(keys, kKeyLeft), up = keyDown(keys, kKeyUp);
  const bool right = keyDown(keys, kKeyRight), down = keyDown(keys, kKeyDown);
  keyActive.store(left || up || right || down ? 1 : 0);
  if (left) heading.store(wrapHeading(heading.load() + 1));
  if (up) {
    if (walking.load() == 0) SetAnimation(u"WALK", 10.0f);
    walking.store(1);
  }
  if (right) heading.store(wrapHeading(heading.load() - 1));
  if (down) {
    float h = heading.load();
    turnTarget.store(h > 180 ? h - 180 : h + 180);
    turning.store(1);
  }
}

void CSkelton::Update() {
  if (turning.load()) {
    // The about-turn goes the way the sign says, 2 degrees a frame, and snaps within 20.
    float h = heading.load();
    float target = turnTarget.load();
    h = h - target < 0 ? h + 2 : h - 2;
    bool done = std::fabs(h - target) < 20;
    heading.store(done ? target : h);
    if (done) turning.store(0);
    return;
  }
  if (walking.load()) {
    float h = heading.load();
    SetRotation(0, 0, h + 90);
    walkFactor += 0.02f;
    if (walkFactor > 1) walkFactor = 1;
    float d[2];
    headingDirection(h, d);
    Move(d[0] * walkFactor, d[1] * walkFactor, 0);
  }

  // The ground query works in the field tiles' model units (their scale is 2000).
  const float p[3] = {positionOrZero(0), positionOrZero(1), positionOrZero(2)};
  float ground[4];
  if (scene != nullptr && scene->QueryGroundHeight(p[0] / 2000, p[1] / 2000, ground)) {
    SetPosition(p[0], p[1], ground[2] * 2000);
  }

  if (camera != nullptr) {
    camera->lightPosition[0] = 10000;
    camera->lightPosition[1] = 10000;
    camera->lightPosition[2] = 6000;
    camera->lightStrength = 0.7f;
    camera->lightTarget[0] = camera->lightTarget[1] = camera->lightTarget[2] = 0;
    camera->followViewEye[0] = p[0] + 100;
    camera->followViewEye[1] = p[1] + 100;
    camera->followViewEye[2] = p[2] + 60;
    for (int i = 0; i < 3; ++i) camera->followViewTarget[i] = p[i];
  }
}

void CSkelton::LateUpdate() {
  const float p[3] = {positionOrZero(0), positionOrZero(1), positionOrZero(2)};
  float sum = 0;
  for (int i = 0; i < 9; ++i) {
    heightHistory[i] = heightHistory[i + 1];
    sum += heightHistory[i];
  }
  heightHistory[9] = p[2];
  sum += p[2];
  const float mean = sum / 10;

  if (camera != nullptr) {
    float d[2];
    headingDirection(heading.load(), d);
    float dist = 20 + 20 * walkFactor;
    float rise = 20 - 15 * walkFactor;
    camera->sceneViewTarget[0] = p[0];
    camera->sceneViewTarget[1] = p[1];
    camera->sceneViewTarget[2] = mean;
    camera->sceneViewEye[0] = p[0] - dist * d[0];
    camera->sceneViewEye[1] = p[1] - dist * d[1];
    camera->sceneViewEye[2] = mean + rise;
  }

  if (meshSet != nullptr) UpdatePose(*meshSet);
  if (colliders != nullptr) TransformColliders(*colliders);

  if (keyActive.load() == 0) {
    if (walking.load()) SetAnimation(u"STAND", 3.0f);
    walking.store(0);
    walkFactor -= 0.02f;
    if (walkFactor < 0) walkFactor = 0;
  }
}
