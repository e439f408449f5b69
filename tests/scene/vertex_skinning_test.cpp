#include "scene/vertex_skinning.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

Matrix4 translation(float x, float y, float z) {
  Matrix4 m = kIdentityMatrix;
  m[12] = x;
  m[13] = y;
  m[14] = z;
  return m;
}

// A quarter turn about z for row vectors: (1, 0, 0) becomes (0, 1, 0).
Matrix4 quarterTurn() { return {0, 1, 0, 0, -1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}; }

ModelVertex vertexAt(float x, float y, float z, std::initializer_list<BoneWeight> bones) {
  ModelVertex v{};
  v.position[0] = x;
  v.position[1] = y;
  v.position[2] = z;
  v.normal[0] = 1;
  v.color[3] = 0.5f;
  v.texCoord[0] = 0.25f;
  int i = 0;
  for (const BoneWeight& b : bones) v.bones[i++] = b;
  return v;
}

TEST(VertexSkinning, BindShapeThenWeightedBonesAsTheShadersDid) {
  SkinMatrices skin;
  skin.fill(kIdentityMatrix);
  skin[1] = translation(0, 0, 10);
  skin[2] = quarterTurn();
  GpuGeometry geometry;
  geometry.bindShapeMatrix = translation(1, 0, 0);
  struct Case {
    const char* what;
    ModelVertex in;
    float position[3], normal[3];
  } cases[] = {
      {"no weights: bind shape only, normals not translated", vertexAt(1, 2, 3, {}), {2, 2, 3}, {1, 0, 0}},
      {"one bone", vertexAt(0, 0, 0, {{1, 1}}), {1, 0, 10}, {1, 0, 0}},
      {"two bones blended by weight", vertexAt(0, 0, 0, {{1, 0.5f}, {2, 0.5f}}), {0.5f, 0.5f, 5}, {0.5f, 0.5f, 0}},
      {"bone 32 and tiny weights name nothing", vertexAt(0, 0, 0, {{32, 1}, {1, 1e-8f}}), {1, 0, 0}, {1, 0, 0}},
      {"index truncated like the shaders' int()", vertexAt(0, 0, 0, {{1.9f, 1}}), {1, 0, 10}, {1, 0, 0}},
  };
  for (const Case& c : cases) geometry.vertices.push_back(c.in);
  std::vector<ModelVertex> out(geometry.vertices.size());
  SkinVertices(geometry, skin, out.data());
  for (std::size_t i = 0; i < out.size(); ++i) {
    SCOPED_TRACE(cases[i].what);
    for (int k = 0; k < 3; ++k) {
      EXPECT_FLOAT_EQ(out[i].position[k], cases[i].position[k]) << k;
      EXPECT_NEAR(out[i].normal[k], cases[i].normal[k], 1e-6f) << k;
    }
    EXPECT_EQ(out[i].color[3], 0.5f);
    EXPECT_EQ(out[i].texCoord[0], 0.25f);
    EXPECT_EQ(out[i].bones[0].weight, cases[i].in.bones[0].weight);
  }
  EXPECT_TRUE(HasBoneWeights(geometry));
  geometry.vertices.resize(1);
  EXPECT_FALSE(HasBoneWeights(geometry));
}

TEST(VertexSkinning, FirstThirtyTwoBonesGiveTheMatricesTheRestIdentity) {
  MeshSet set;
  for (int b = 0; b < 34; ++b) {
    MeshBone* bone = set.newBone();
    bone->skinMatrix = translation(static_cast<float>(b), 0, 0);
    set.bones.append(bone);
  }
  SkinMatrices skin;
  GatherSkinMatrices(set, skin);
  EXPECT_EQ(skin[31], translation(31, 0, 0));
  MeshSet few;
  MeshBone* bone = few.newBone();
  bone->skinMatrix = translation(5, 0, 0);
  few.bones.append(bone);
  GatherSkinMatrices(few, skin);
  EXPECT_EQ(skin[0], translation(5, 0, 0));
  EXPECT_EQ(skin[1], kIdentityMatrix);
}

}  // namespace
