// The model view's camera: an eye orbiting a target at a distance, framed on a box, and the
// view and projection matrices it makes for the renderer. Z is up; angles are degrees.
#pragma once

#include "model/matrix4.h"
#include "model/model_scene.h"

// The radius, in world units, of the sphere a model is scaled to fill in the model view.
inline constexpr float kViewRadius = 12.0f;

// The centre of `box`.
void boxCentre(const SceneBounds& box, float centre[3]);

struct OrbitCamera {
  static constexpr float kHomeYaw = -60.0f;  // from the front (-y) and a little to the right
  static constexpr float kHomePitch = 25.0f;
  static constexpr float kMaxPitch = 85.0f;  // short of the poles, where "up" is undefined

  float yaw = kHomeYaw, pitch = kHomePitch;
  float distance = 1, homeDistance = 1;
  float target[3] = {};

  // Frames the sphere around `box`: the home view, at the distance where the sphere fills the
  // smaller of the picture's two fields of view (`fieldOfView` vertical) with a margin.
  void frame(const SceneBounds& box, float fieldOfView, float aspect);
  void orbit(float yawDegrees, float pitchDegrees);
  // Multiplies the distance, kept between 0.4 and 8 times the home distance.
  void zoom(float factor);
  // Moves the target across the view: `right` and `up` in fractions of the distance.
  void pan(float right, float up);
  void eye(float out[3]) const;
  bool atHome() const { return distance == homeDistance && yaw == kHomeYaw && pitch == kHomePitch; }

  // World to view (right-handed, looking down -z, y up the picture), for row vectors.
  Matrix4 viewMatrix() const;
};

// A perspective projection for Vulkan's clip space (y down the picture, depth 0 to 1) with the
// depth reversed (the near plane at 1, infinitely far at 0) for even precision over the whole
// range: vertical field of view `fieldOfView` degrees, `aspect` width over height, for row
// vectors.
Matrix4 ReversedPerspective(float fieldOfView, float aspect, float nearPlane);

// The view from `eye` towards `target` with z up, as OrbitCamera::viewMatrix makes it.
Matrix4 LookAtMatrix(const float eye[3], const float target[3]);
