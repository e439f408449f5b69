// Collision shapes bound to a MeshSet: building the corners and reference points from the
// collider file's data, transforming them with the mesh's matrices and bones, bounding them,
// and the segment-triangle test behind the ground query. CPU only: the render device uploads
// the built corners when it wants to draw them.
#pragma once

#include "model/matrix4.h"
#include "scene/collider_set.h"

class MeshSet;

// Binds `set` to `meshSet` and builds each collider: the corners of a mesh collider (positions,
// normals and influences looked up through its polygon lists) or the reference points of a
// shape collider. False, with nothing built, when `meshSet` is null. Indices outside their
// arrays read as zeros; corners beyond the collider's corner count and tuples beyond the two
// reference points are left out.
bool BuildColliders(ColliderSet& set, const MeshSet* meshSet);

// `vertex` through the bind-shape matrix `bindShape`, blended over the skinning matrices of the
// bones it is weighted to (bone indices 1 and up that name a bone, weights above 0.0000001),
// then through the mesh's world matrix (position) and normal matrix (normal).
ColliderVertex TransformColliderVertex(const ColliderSet& set, const ColliderVertex& vertex,
                                       const Matrix4& bindShape);

// Transforms every collider and recomputes the bounds. A set on an unanimated mesh is
// transformed once only: later calls return false and change nothing. False also for a set
// that was never bound to a mesh.
bool TransformColliders(ColliderSet& set);

// Whether the segment p0-p1 crosses the triangle v0 v1 v2 strictly inside its edges; `hit`
// receives the crossing point (fourth value 0). A degenerate triangle is never hit.
bool SegmentHitsTriangle(const float p0[3], const float p1[3], const float v0[3],
                         const float v1[3], const float v2[3], float hit[4]);

// Distance of `p` from the plane of the triangle v0 v1 v2 (the normal's length taken in double
// precision).
float PlaneDistance(const float p[3], const float v0[3], const float v1[3], const float v2[3]);

// The first mesh-collider triangle of `set` under the point (x, y) (a vertical segment from
// z = 1 to z = -1); false when the point lies outside the set's x/y bounds or no triangle is
// hit. `ground` receives (x, y, ground z, 0).
bool FindGround(const ColliderSet& set, float x, float y, float ground[4]);
