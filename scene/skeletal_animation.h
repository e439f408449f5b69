// Skeletal animation of a MeshSet: its world and normal matrices from scale, rotation and
// position; the selected animation sampled at the MeshSet's clock; cross-fades between
// animations; and the skinning matrices of its bones. No allocation per frame.
//
// UpdatePose runs on the frame thread and SelectAnimation on either thread; both hold the
// MeshSet's poseMutex, so a switch never lands in the middle of a pose.
#pragma once

#include <cstdint>

#include "model/matrix4.h"
#include "scene/mesh_set.h"

// Steps of the cross-fade that an animation switch starts.
inline constexpr int32_t kBlendSteps = 5;

// Recomputes worldMatrix and normalMatrix and, for an animated MeshSet with a valid selected
// animation and a bone tree, every bone's localPose and skinMatrix.
void UpdatePose(MeshSet& set);

// Selects animation `index` at playback `speed` and starts a cross-fade from the pose of the
// old animation at the current clock. False, with nothing changed, for an index outside the
// animation list.
bool SelectAnimation(MeshSet& set, int32_t index, float speed);

// The pose of `track` at time `t` (seconds of animation time). Past the last key it returns the
// last pose, sets the MeshSet's clock back to 0 and reports `passedEnd`; otherwise the time
// wraps at the last key (resolution 0.0001) and neighbouring poses are blended linearly. A
// track without poses gives the identity.
Matrix4 SampleTrack(MeshSet& set, const MeshBoneTrack& track, float t, bool* passedEnd = nullptr);
