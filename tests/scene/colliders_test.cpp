#include "scene/colliders.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "scene/mesh_set.h"
#include "scene/skeletal_animation.h"

namespace {

FloatArray* addArray(Collider& c, const char16_t* id, std::vector<float> values) {
  c.floatArrays.push_back(std::make_unique<FloatArray>());
  FloatArray& a = *c.floatArrays.back();
  a.id = id;
  a.tupleSize = 3;
  a.hasValues = true;
  a.values = std::move(values);
  return &a;
}

// A unit tile rising along x (z = 0.1 x), two triangles sharing the diagonal (0,0)-(1,1).
Collider& addTile(ColliderSet& set) {
  set.colliders.push_back(std::make_unique<Collider>());
  Collider& c = *set.colliders.back();
  c.colliderType = kColliderMesh;
  addArray(c, u"pos", {0, 0, 0, 1, 0, 0.1f, 1, 1, 0.1f, 0, 1, 0});
  c.polygonLists.push_back(std::make_unique<ColliderPolygon>());
  c.polygonLists[0]->vertexId = u"pos";
  c.polygonLists[0]->vertexIndices = {0, 1, 2, 0, 2, 3};
  c.cornerCount = 6;
  return c;
}

Collider& addSphere(ColliderSet& set, std::vector<float> points, float radius) {
  set.colliders.push_back(std::make_unique<Collider>());
  Collider& c = *set.colliders.back();
  c.colliderType = kColliderSphere;
  c.radius = radius;
  addArray(c, u"centre", std::move(points));
  return c;
}

TEST(GroundQuery, FindsEitherTriangleButNotTheSharedEdge) {
  MeshSet mesh;
  mesh.animated = 0;
  ColliderSet set;
  addTile(set);
  ASSERT_TRUE(BuildColliders(set, &mesh));
  ASSERT_TRUE(TransformColliders(set));
  float g[4];
  ASSERT_TRUE(FindGround(set, 0.7f, 0.2f, g));  // first triangle
  EXPECT_EQ(g[0], 0.7f);
  EXPECT_EQ(g[1], 0.2f);
  EXPECT_NEAR(g[2], 0.07f, 1e-6f);
  EXPECT_EQ(g[3], 0);
  ASSERT_TRUE(FindGround(set, 0.2f, 0.7f, g));  // second triangle
  EXPECT_NEAR(g[2], 0.02f, 1e-6f);
  EXPECT_FALSE(FindGround(set, 1.5f, 0.5f, g));  // outside the bounds

  // On a level tile the crossing point lies exactly on the shared edge: neither triangle.
  set.colliders[0]->floatArrays[0]->values = {0, 0, 0.25f, 1, 0, 0.25f, 1, 1, 0.25f, 0, 1, 0.25f};
  set.transformed = false;
  BuildColliders(set, &mesh);
  TransformColliders(set);
  ASSERT_TRUE(FindGround(set, 0.7f, 0.2f, g));
  EXPECT_EQ(g[2], 0.25f);
  EXPECT_FALSE(FindGround(set, 0.5f, 0.5f, g));
  EXPECT_FALSE(FindGround(set, 0.0f, 0.5f, g));  // on an outer edge
}

TEST(GroundQuery, SegmentSpansOneUnitAroundZero) {
  const float p0[3] = {0.25f, 0.25f, 1};
  const float p1[3] = {0.25f, 0.25f, -1};
  const float v0[3] = {0, 0, 2}, v1[3] = {1, 0, 2}, v2[3] = {0, 1, 2};
  float hit[4];
  EXPECT_FALSE(SegmentHitsTriangle(p0, p1, v0, v1, v2, hit));  // above the segment
  const float w0[3] = {0, 0, -0.5f}, w1[3] = {1, 0, -0.5f}, w2[3] = {0, 1, -0.5f};
  ASSERT_TRUE(SegmentHitsTriangle(p0, p1, w0, w1, w2, hit));
  EXPECT_FLOAT_EQ(hit[2], -0.5f);
  const float flat[3] = {2, 0, -0.5f};  // no area
  EXPECT_FALSE(SegmentHitsTriangle(p0, p1, w0, w1, flat, hit));
  EXPECT_FLOAT_EQ(PlaneDistance(p0, w0, w1, w2), 1.5f);
}

TEST(TransformColliders, StaticSetsAreTransformedOnce) {
  MeshSet mesh;
  mesh.animated = 0;
  mesh.position[2] = 5;
  UpdatePose(mesh);
  ColliderSet set;
  addTile(set);
  BuildColliders(set, &mesh);
  EXPECT_TRUE(TransformColliders(set));
  EXPECT_TRUE(set.transformed);
  EXPECT_EQ(set.colliders[0]->worldVertices[2].position[2], 5.1f);
  EXPECT_EQ(set.boundsMax[0], 1);
  mesh.scale[0] = 2000;
  UpdatePose(mesh);
  EXPECT_FALSE(TransformColliders(set));
  EXPECT_EQ(set.colliders[0]->worldVertices[2].position[0], 1);

  // An animated mesh's colliders follow it every time.
  mesh.animated = 1;
  EXPECT_TRUE(TransformColliders(set));
  EXPECT_EQ(set.colliders[0]->worldVertices[2].position[0], 2000);
}

TEST(TransformColliders, ShapeRadiiScaleWithTheFourthScaleValue) {
  MeshSet mesh;
  for (float& s : mesh.scale) s = 0.4f;
  UpdatePose(mesh);
  ColliderSet set;
  addSphere(set, {10, 0, 0}, 1);
  BuildColliders(set, &mesh);
  TransformColliders(set);
  const float* c = set.colliders[0]->worldReferencePoints[0].position;
  EXPECT_FLOAT_EQ(c[0], 4);
  EXPECT_FLOAT_EQ(set.boundsMin[0], 4 - 0.4f);
  EXPECT_FLOAT_EQ(set.boundsMax[0], 4 + 0.4f);
  EXPECT_FLOAT_EQ(set.boundsMax[1], 0.4f);
  EXPECT_FLOAT_EQ(set.boundsCenter[0], 4);
  EXPECT_NEAR(set.boundsRadius, 0.4f * std::sqrt(3.0f), 1e-6f);
}

TEST(TransformColliderVertex, BlendsBonesFromIndexOneUp) {
  ModelData model;
  for (int i = 0; i < 3; ++i) {
    Bone* b = model.newBone();
    b->id = std::u16string(1, static_cast<char16_t>(u'a' + i));
    model.bones.push_back(b);
  }
  MeshSet mesh;
  ASSERT_TRUE(BuildMeshSet(mesh, &model, 1, nullptr));
  (*mesh.bones.at(0))->skinMatrix[12] = 100;  // bone 0 is never used
  (*mesh.bones.at(1))->skinMatrix[12] = 10;
  (*mesh.bones.at(2))->skinMatrix[13] = 10;
  ColliderSet set;
  set.meshSet = &mesh;
  ColliderVertex v;
  v.position[0] = 1;
  v.influences[0] = {0.00001f, 1};
  v.influences[1] = {1.00001f, 0.5f};
  v.influences[2] = {2.00001f, 0.5f};
  v.influences[3] = {3.00001f, 1};  // no such bone
  v.influences[4] = {2.00001f, 0.00000001f};  // too light
  ColliderVertex out = TransformColliderVertex(set, v, kIdentityMatrix);
  EXPECT_FLOAT_EQ(out.position[0], 0.5f * 11 + 0.5f * 1);
  EXPECT_FLOAT_EQ(out.position[1], 5);
  EXPECT_EQ(out.influences[1].boneIndex, 1.00001f);
  // Without a usable influence the vertex is only bound and placed.
  v.influences[1].weight = v.influences[2].weight = 0;
  out = TransformColliderVertex(set, v, kIdentityMatrix);
  EXPECT_FLOAT_EQ(out.position[0], 1);
}

TEST(BuildColliders, StaysInsideItsArrays) {
  ColliderSet set;
  EXPECT_FALSE(BuildColliders(set, nullptr));
  Collider& tile = addTile(set);
  tile.cornerCount = 4;                        // fewer corners than indices
  tile.polygonLists[0]->vertexIndices[1] = 9;  // beyond the positions
  tile.polygonLists[0]->normalIndices = {7};   // no normal array at all
  tile.weights.created = true;
  tile.weights.rows = 1;
  tile.weights.stored.assign(8, BoneWeight{1.00001f, 1});
  Collider& shape = addSphere(set, {1, 2, 3, 4, 5, 6, 7, 8, 9}, 1);  // three tuples
  MeshSet mesh;
  ASSERT_TRUE(BuildColliders(set, &mesh));
  EXPECT_EQ(set.meshSet, &mesh);
  ASSERT_EQ(tile.sourceVertices.size(), 4u);
  EXPECT_EQ(tile.polygonLists[0]->cornerCounter, 4);
  EXPECT_EQ(tile.sourceVertices[1].position[0], 0);
  EXPECT_EQ(tile.sourceVertices[2].position[0], 1);
  EXPECT_EQ(tile.sourceVertices[0].influences[0].weight, 1);  // row 0
  EXPECT_EQ(tile.sourceVertices[2].influences[0].weight, 0);  // row 2 is past the table
  EXPECT_EQ(shape.referencePoints[1].position[0], 4);
  EXPECT_TRUE(shape.sourceVertices.empty());
}

}  // namespace
