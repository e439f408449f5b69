#include "scene/scene.h"

#include <filesystem>

#include "model/ani_reader.h"
#include "platform/text.h"
#include "scene/colliders.h"
#include "scene/skeletal_animation.h"

template <class F>
void Scene::forEachObject(F f) const {
  // Positions 1 to count in order. The lists do not change once the threads run, so following
  // the links visits the same objects as a position lookup per object, without walking from the
  // cursor each time.
  for (const CursorList<CCharacterBase>* list : {&firstList, &secondList, &thirdList}) {
    for (auto* node = list->first(); node != nullptr; node = node->next) f(*node->item);
  }
}

bool Scene::UpdateObjects() {
  forEachObject([](CCharacterBase& c) { c.Update(); });
  return true;
}

bool Scene::AdvanceAnimationClocks(int32_t tick) {
  forEachObject([tick](CCharacterBase& c) {
    if (c.meshSet != nullptr && c.clockRunning.load(std::memory_order_relaxed) != 0) {
      c.meshSet->clock.fetch_add(tick, std::memory_order_relaxed);
    }
  });
  return true;
}

bool Scene::UpdatePoses() {
  forEachObject([](CCharacterBase& c) {
    if (c.meshSet != nullptr) UpdatePose(*c.meshSet);
    if (c.colliders != nullptr) TransformColliders(*c.colliders);
  });
  return true;
}

bool Scene::LateUpdateObjects() {
  forEachObject([](CCharacterBase& c) { c.LateUpdate(); });
  return true;
}

void Scene::RemoveAll() {
  for (CursorList<CCharacterBase>* list : {&firstList, &secondList, &thirdList}) {
    while (list->count() > 0) list->removeCurrent();
  }
}

bool Scene::DispatchKeyboard(const uint8_t* keys) {
  forEachObject([keys](CCharacterBase& c) { c.OnKeyboard(keys); });
  return true;
}

bool Scene::QueryGroundHeight(float x, float y, float ground[4]) const {
  for (auto* node = thirdList.first(); node != nullptr; node = node->next) {
    const CCharacterBase& tile = *node->item;
    if (tile.colliders != nullptr && FindGround(*tile.colliders, x, y, ground)) return true;
  }
  return false;
}

bool Scene::LoadAnimation(std::u16string_view path, std::u16string_view name) {
  const std::filesystem::path file(text::toUtf8(text::boundedName(path)));
  forEachObject([&](CCharacterBase& c) {
    if (!text::sameName(c.name, skeletonName)) return;
    for (int32_t i = 1; i <= c.models.count(); ++i) {
      readAni(*c.models.at(i)->item, file);
      // Registered even when the file failed, as the positions of later names then show.
      if (AnimationNameList** names = c.animationNames.at(i - 1)) {
        (*names)->push_back(text::boundedName(name));
      }
    }
  });
  return true;
}

bool Scene::BindAnimations() {
  forEachObject([](CCharacterBase& c) {
    if (!text::sameName(c.name, skeletonName)) return;
    for (int32_t i = 1; i <= c.models.count() && i <= c.meshSets.count(); ++i) {
      BuildAnimationTracks(*c.meshSets.at(i)->item, *c.models.at(i)->item);
    }
  });
  return true;
}

CCharacterBase* Scene::firstSkeleton() const {
  CCharacterBase* found = nullptr;
  forEachObject([&](CCharacterBase& c) {
    if (found == nullptr && text::sameName(c.name, skeletonName)) found = &c;
  });
  return found;
}

bool Scene::SetSkeletonScale(float x, float y, float z, float w) {
  CCharacterBase* skeleton = firstSkeleton();
  if (skeleton == nullptr) return false;
  if (skeleton->meshSet != nullptr) skeleton->SetScale(x, y, z, w);
  return true;
}

bool Scene::SetSkeletonPosition(float x, float y, float z) {
  CCharacterBase* skeleton = firstSkeleton();
  if (skeleton == nullptr) return false;
  if (skeleton->meshSet != nullptr) skeleton->SetPosition(x, y, z);
  return true;
}
