// The model view's stage: the ground under the model and the light over it, both placed from
// the box the view frames. A key light high in front and to the left casts the shadow (its
// shadow map an orthographic view along the light, covering the model and the ground its
// shadow can fall on); a fill from the sky and the ground leaves no face black.
#pragma once

#include "model/matrix4.h"
#include "model/model_scene.h"
#include "scene/orbit_camera.h"

struct ViewStage {
  float groundHeight = 0;        // just under the model's lowest point
  float toLight[3] = {};         // unit vector towards the key light
  float shadowCentre[3] = {};    // where the shadow map looks, and its half extent
  float shadowRadius = kViewRadius;
  Matrix4 lightViewProjection = kIdentityMatrix;  // world to the shadow map's clip space
};

// The stage for a model whose framed box (world units) is `framed`.
ViewStage StageFor(const SceneBounds& framed);
