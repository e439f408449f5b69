// GroundQuery: the one thing a character asks of the world it stands in, the ground under a
// point. The Scene answers it; characters see the Scene only through this, so that the Scene
// can hold characters without the two depending on each other.
#pragma once

class GroundQuery {
 public:
  // The ground under (x, y), in field-tile model units: `ground` receives (x, y, ground z, 0);
  // false when there is no ground under the point.
  virtual bool QueryGroundHeight(float x, float y, float ground[4]) const = 0;

 protected:
  ~GroundQuery() = default;
};
