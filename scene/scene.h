// Scene: the world the frame thread advances. It lists the characters in three lists (the
// skeleton first, an unused second list, the field tiles third), runs the four per-frame steps
// over them, hands the keyboard state to every character, answers the ground query over the
// tiles, and sets up the skeleton's animations at start-up. It does not own the characters.
// The lists are filled before the worker threads start; afterwards they change only between
// frames, on the frame thread, under the lock the input thread's dispatch also takes. Both
// threads walk them in position order without moving the cursors.
#pragma once

#include <cstdint>
#include <string_view>

#include "model/cursor_list.h"
#include "scene/character.h"
#include "scene/ground_query.h"

class Scene : public GroundQuery {
 public:
  // The character that the start-up operations act on.
  static constexpr std::u16string_view skeletonName = u"SKELTON";

  uint8_t overlayFlag = 0;
  CursorList<CCharacterBase> firstList;
  CursorList<CCharacterBase> secondList;
  CursorList<CCharacterBase> thirdList;  // the field tiles; the ground query searches these

  // The per-frame steps, in this order; each always returns true.
  bool UpdateObjects();
  bool AdvanceAnimationClocks(int32_t tick);
  bool UpdatePoses();
  bool LateUpdateObjects();

  // Empties the three lists (their characters are left alone), for new contents to take
  // their place between frames.
  void RemoveAll();

  // Input thread: OnKeyboard of every character with the 256-byte state. Always true.
  bool DispatchKeyboard(const uint8_t* keys);

  // The ground under (x, y), in field-tile model units: the first mesh-collider triangle of
  // the third list crossed by a vertical segment from z = 1 to z = -1. `ground` receives
  // (x, y, ground z, 0); false when no triangle lies under the point.
  bool QueryGroundHeight(float x, float y, float ground[4]) const override;

  // Reads the animation file `path` (relative to the process's current directory) into every
  // model of every skeleton and registers `name` for it, also when the file cannot be read.
  // Always true.
  bool LoadAnimation(std::u16string_view path, std::u16string_view name);
  // Binds the animations loaded so far into every skeleton's MeshSets. Always true.
  bool BindAnimations();
  // Scale and position of every MeshSet of the first skeleton; false when there is none.
  bool SetSkeletonScale(float x, float y, float z, float w);
  bool SetSkeletonPosition(float x, float y, float z);

 private:
  template <class F>
  void forEachObject(F f) const;
  CCharacterBase* firstSkeleton() const;
};
