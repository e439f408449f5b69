#include "scene/skeletal_animation.h"

#include <cmath>
#include <cstddef>
#include <mutex>

#include "model/matrix_math.h"

namespace {

// Truncation toward zero that stays defined for any float: NaN gives 0 and the range is
// clamped well inside int64 so that the remainder below cannot overflow either.
int64_t truncate(float v) {
  if (std::isnan(v)) return 0;
  constexpr float kLimit = 4.0e18f;
  if (v >= kLimit) return static_cast<int64_t>(kLimit);
  if (v <= -kLimit) return -static_cast<int64_t>(kLimit);
  return static_cast<int64_t>(v);
}

Matrix4 lerp(const Matrix4& a, const Matrix4& b, float f) {
  Matrix4 r;
  for (int i = 0; i < 16; ++i) r[i] = a[i] + (b[i] - a[i]) * f;
  return r;
}

void rotations(const MeshSet& set, Matrix4& rx, Matrix4& ry, Matrix4& rz) {
  float s, c;
  ScalarSinCos(&s, &c, DegreesToRadians(set.rotation[0]));
  rx = {1, 0, 0, 0, 0, c, s, 0, 0, -s, c, 0, 0, 0, 0, 1};
  ScalarSinCos(&s, &c, DegreesToRadians(set.rotation[1]));
  ry = {c, 0, -s, 0, 0, 1, 0, 0, s, 0, c, 0, 0, 0, 0, 1};
  ScalarSinCos(&s, &c, DegreesToRadians(set.rotation[2]));
  rz = {c, s, 0, 0, -s, c, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
}

float animationTime(const MeshSet& set, float speed) {
  return static_cast<float>(set.clock.load(std::memory_order_relaxed)) * speed / 50.0f;
}

// Samples every track of `animation` at `t` into the blend start of the bone it animates.
void sampleBlendStart(MeshSet& set, const MeshAnimation& animation, float t) {
  for (int64_t i = 0; i < animation.tracks.count(); ++i) {
    const MeshBoneTrack& track = **animation.tracks.at(i);
    Matrix4 m = SampleTrack(set, track, t);
    if (track.bone == nullptr) continue;
    track.bone->blendStart = m;
    track.bone->blending = 1;
    track.bone->blendLength = kBlendSteps;
    track.bone->blendFrame = 0;
  }
}

}  // namespace

Matrix4 SampleTrack(MeshSet& set, const MeshBoneTrack& track, float t, bool* passedEnd) {
  if (passedEnd != nullptr) *passedEnd = false;
  // Readers give as many poses as key times; should they differ, only the pairs are used.
  std::size_t n = track.keyTimes.size() < track.poses.size() ? track.keyTimes.size()
                                                              : track.poses.size();
  if (n == 0) return kIdentityMatrix;
  float last = track.keyTimes[n - 1];
  if (t > last) {
    // The animation loops: the clock restarts on the next frame.
    set.clock.store(0, std::memory_order_relaxed);
    if (passedEnd != nullptr) *passedEnd = true;
    return track.poses[n - 1];
  }
  int64_t tt = truncate(t * 10000.0f);
  int64_t period = truncate(last * 10000.0f);
  // A last key below 0.0001 gives no period to wrap at; the time is then used as it is.
  int64_t wrapped = period != 0 ? tt % period : tt;
  float u = static_cast<float>(wrapped) / 10000.0f;

  for (std::size_t i = 0; i < n; ++i) {
    if (!(u <= track.keyTimes[i])) continue;
    if (i == 0) return track.poses[0];
    float f = (u - track.keyTimes[i - 1]) / (track.keyTimes[i] - track.keyTimes[i - 1]);
    return lerp(track.poses[i - 1], track.poses[i], f);
  }
  return kIdentityMatrix;
}

void UpdatePose(MeshSet& set) {
  std::lock_guard<std::mutex> lock(set.poseMutex);

  Matrix4 s = {set.scale[0], 0, 0, 0, 0, set.scale[1], 0, 0, 0, 0, set.scale[2], 0, 0, 0, 0, 1};
  Matrix4 rx, ry, rz;
  rotations(set, rx, ry, rz);
  Matrix4 t = kIdentityMatrix;
  t[12] = set.position[0];
  t[13] = set.position[1];
  t[14] = set.position[2];
  Matrix4 a, b;
  MatrixMultiply(a, s, rx);
  MatrixMultiply(b, a, ry);
  MatrixMultiply(a, b, rz);
  MatrixMultiply(set.worldMatrix, a, t);
  MatrixMultiply(a, rx, ry);
  MatrixMultiply(set.normalMatrix, a, rz);
  if (set.placement != kIdentityMatrix) {
    // A placed object: its scene transform after its own.
    MatrixMultiply(a, set.worldMatrix, set.placement);
    set.worldMatrix = a;
    MatrixMultiply(a, set.normalMatrix, set.placementNormal);
    set.normalMatrix = a;
  }

  if (set.animated == 0) return;
  int32_t index = set.animationIndex;
  if (index < 0 || index >= set.animations.count()) return;
  if (set.rootBones.count() == 0 || set.animations.count() == 0) return;
  const MeshAnimation& animation = **set.animations.at(index);
  float time = animationTime(set, set.speed);

  // Reset the tree: identity skins, and non-root bones back to the rest pose.
  for (MeshBone* bone : set.treeOrder) {
    bone->skinMatrix = kIdentityMatrix;
    if (bone->parent != nullptr) bone->localPose = bone->jointMatrix;
  }

  for (int64_t i = 0; i < set.bones.count(); ++i) {
    MeshBone& bone = **set.bones.at(i);
    Matrix4 local = bone.jointMatrix;
    // When several tracks name the bone, the last one wins.
    for (int64_t k = 0; k < animation.tracks.count(); ++k) {
      const MeshBoneTrack& track = **animation.tracks.at(k);
      if (track.bone == &bone) local = SampleTrack(set, track, time);
    }
    if (bone.blending == 1) {
      ++bone.blendFrame;
      if (bone.blendFrame >= bone.blendLength) {
        bone.blendFrame = 0;
        bone.blendLength = 0;
        bone.blending = 0;
      } else {
        float f = static_cast<float>(bone.blendFrame) / static_cast<float>(bone.blendLength);
        local = lerp(bone.blendStart, local, f);
      }
    }
    bone.localPose = local;
  }

  // Compose the skinning matrices, parents before children.
  for (MeshBone* bone : set.treeOrder) {
    Matrix4 restPose, pose, restInverse, skin;
    MatrixMultiply(restPose, bone->invBindMatrix, bone->jointMatrix);
    MatrixMultiply(pose, bone->invBindMatrix, bone->localPose);
    MatrixInverse(restInverse, nullptr, restPose);
    MatrixMultiply(skin, pose, restInverse);
    if (bone->parent == nullptr) {
      bone->skinMatrix = skin;
    } else {
      MatrixMultiply(bone->skinMatrix, skin, bone->parent->skinMatrix);
    }
  }
}

bool SelectAnimation(MeshSet& set, int32_t index, float speed) {
  std::lock_guard<std::mutex> lock(set.poseMutex);
  if (index < 0 || index >= set.animations.count()) return false;
  int32_t old = set.animationIndex;
  set.speed = speed;
  // The clock is not reset by a switch.
  float time = animationTime(set, speed);
  for (int64_t i = 0; i < set.bones.count(); ++i) {
    MeshBone& bone = **set.bones.at(i);
    bone.blending = 0;
    bone.blendLength = 0;
    bone.blendFrame = 0;
  }
  // The old animation's samples overwrite the new one's: the fade starts from the old pose.
  sampleBlendStart(set, **set.animations.at(index), time);
  if (old >= 0 && old < set.animations.count()) {
    sampleBlendStart(set, **set.animations.at(old), time);
  }
  set.animationIndex = index;
  return true;
}
