// Queries over a model's scene (ModelScene, held by ModelData): the identity scene of a model
// that has none of its own, and the box its instances fill. Depends on model/ only.
#pragma once

#include <memory>

#include "model/model_data.h"

struct SceneBounds {
  bool empty = true;
  float min[3] = {};
  float max[3] = {};

  void add(const float point[3]) {
    for (int k = 0; k < 3; ++k) {
      if (empty || point[k] < min[k]) min[k] = point[k];
      if (empty || point[k] > max[k]) max[k] = point[k];
    }
    empty = false;
  }
};

// One instance of each geometry at identity, every list with its own material id: the scene
// of a model that has none of its own (a .mdl model).
std::unique_ptr<ModelScene> identityScene(const ModelData& model);

// The box of every vertex the scene's instances draw, each at its instance's world matrix (a
// skinned geometry at its bind shape first). Empty when nothing is drawn.
SceneBounds sceneBounds(const ModelData& model, const ModelScene& scene);
