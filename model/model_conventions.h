// How a file format writes what a ModelAsset fixes (model/model_asset.h): its winding, its
// texture origin, its time unit, its up axis and its unit. Each entry of the table of formats
// (model/model_format.h) gives them.
#pragma once

#include "model/model_asset.h"

// How a format writes what the asset fixes (model/model_asset.h): the asset's readers apply
// them; those of ModelData formats are applied when the model becomes an asset.
struct ModelConventions {
  bool clockwiseFronts = false;   // front faces wind clockwise
  bool textureOriginAtBottom = false;  // v = 0 is the image's bottom row
  double secondsPerTimeUnit = 1;  // key times
  UpAxis upAxis = UpAxis::kY;     // unless the file says otherwise
  double metresPerUnit = 0;       // unless the file says otherwise; 0: unknown
};
