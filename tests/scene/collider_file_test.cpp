#include "scene/collider_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

const char kMeshCollider[] =
    "<MODEL_ID>\nField1_1\n"
    "<GEOMETRY_BEGIN>\n"
    "<GEOMETRY_ID> ground\n"
    "<VERTEX_COUNT> 4\n"
    "<COLLIDER_TYPE> COLLIDER_TYPE_MESH\n"
    "<BIND_SHAPE_MATRIX>\n2 0 0 0 0 2 0 0 0 0 2 0 0 0 0 1\n"
    "<FLOAT_ARRAY_BEGIN>\n<FLOAT_ARRAY_ID> pos\n<FLOAT_ARRAY_FLOAT_COUNT> 3\n"
    "<FLOAT_ARRAY_COUNT> 4\n<FLOAT_ARRAY>\n0 0 0 1 0 0 1 1 0 0 1 0\n<FLOAT_ARRAY_END>\n"
    "<POLYGON_DATA_BEGIN>\n<VERTEX_ID> pos\n<NORMAL_ID> nrm\n"
    "<VERTEX_INDEX_COUNT> 6\n0 1 2 0 2 3\n<NORMAL_INDEX_COUNT> 6\n0 0 0 0 0 0\n"
    "<POLYGON_DATA_END>\n"
    "<WEIGHTS_BEGIN>\n<WEIGHTS_SIZE> 1\n<APPLY_BONE_NUM> 8\n4 1\n<WEIGHTS_END>\n"
    "<GEOMETRY_END>\n";

ColliderSet read(const std::string& text, std::string* warning = nullptr) {
  ColliderSet set;
  readColliderText(set, text, warning);
  return set;
}

std::string collider(const std::string& body) {
  return "<GEOMETRY_BEGIN>\n" + body + "<GEOMETRY_END>\n";
}

TEST(ColliderFile, MeshColliderWithTwoTriangles) {
  std::string warning = "x";
  ColliderSet set = read(kMeshCollider, &warning);
  EXPECT_EQ(warning, "");
  EXPECT_EQ(set.modelId, u"Field1_1");
  ASSERT_EQ(set.colliders.size(), 1u);
  const Collider& c = *set.colliders[0];
  EXPECT_EQ(c.id, u"ground");
  EXPECT_EQ(c.vertexCount, 4);
  EXPECT_EQ(c.colliderType, kColliderMesh);
  EXPECT_EQ(c.cornerCount, 6);
  EXPECT_EQ(c.bindShapeMatrix[0], 2.0f);
  EXPECT_EQ(c.bindShapeMatrix[15], 1.0f);
  ASSERT_EQ(c.floatArrays.size(), 1u);
  EXPECT_EQ(c.floatArrays[0]->count(), 4);
  ASSERT_EQ(c.polygonLists.size(), 1u);
  EXPECT_EQ(c.polygonLists[0]->vertexIndices, (std::vector<int32_t>{0, 1, 2, 0, 2, 3}));
  EXPECT_EQ(c.polygonLists[0]->normalId, u"nrm");
  EXPECT_EQ(c.polygonLists[0]->normalIndices.size(), 6u);
  EXPECT_EQ(c.weightCount, 1);
  EXPECT_EQ(c.weights.at(0, 0).boneIndex, static_cast<float>(4 + 0.00001));
  EXPECT_EQ(c.weights.at(0, 0).weight, 1.0f);
}

TEST(ColliderFile, TypesAreWholeCaseSensitiveTokens) {
  ColliderSet set = read(collider("<COLLIDER_TYPE> COLLIDER_TYPE_SPHERE\n<R> 0.5\n") +
                         collider("<COLLIDER_TYPE> COLLIDER_TYPE_BOX\n") +
                         collider("[COLLIDER_TYPE] COLLIDER_TYPE_CAPSULE\n") +
                         collider("<COLLIDER_TYPE> COLLIDER_TYPE_RECT\n") +
                         collider("<COLLIDER_TYPE> COLLIDER_TYPE_Mesh\n") +
                         collider("<COLLIDER_TYPE> COLLIDER_TYPE_MESHES\n") + collider(""));
  ASSERT_EQ(set.colliders.size(), 7u);
  const int32_t expected[] = {1, 2, 3, 4, 0, 0, 0};
  for (std::size_t i = 0; i < 7; ++i) EXPECT_EQ(set.colliders[i]->colliderType, expected[i]) << i;
  EXPECT_EQ(set.colliders[0]->radius, 0.5f);
}

TEST(ColliderFile, FloatArraysKeepOnlyTuplesOfTwoToFour) {
  auto arrays = [](const std::string& k, const std::string& n) {
    return collider("<FLOAT_ARRAY_BEGIN>\n<FLOAT_ARRAY_FLOAT_COUNT> " + k +
                    "\n<FLOAT_ARRAY_COUNT> " + n + "\n<FLOAT_ARRAY>\n1 2 3 4 5\n<FLOAT_ARRAY_END>\n");
  };
  ColliderSet set = read(arrays("1", "3") + arrays("2", "2") + arrays("0", "3") + arrays("2", "0"));
  ASSERT_EQ(set.colliders.size(), 4u);
  const FloatArray& one = *set.colliders[0]->floatArrays[0];
  EXPECT_TRUE(one.hasValues);
  EXPECT_TRUE(one.values.empty());
  EXPECT_EQ(set.colliders[1]->floatArrays[0]->values, (std::vector<float>{1, 2, 3, 4}));
  // Counts of zero make no value list; the number line is then an ordinary line.
  EXPECT_FALSE(set.colliders[2]->floatArrays[0]->hasValues);
  EXPECT_FALSE(set.colliders[3]->floatArrays[0]->hasValues);
}

TEST(ColliderFile, CornerCountSumsTheCountsGiven) {
  ColliderSet set = read(collider(
      "<POLYGON_DATA_BEGIN>\n<VERTEX_INDEX_COUNT> 3\n0 1 2\n<POLYGON_DATA_END>\n"
      "<POLYGON_DATA_BEGIN>\n<VERTEX_INDEX_COUNT> 0\n<VERTEX_INDEX_COUNT> 2147483647\n5 6 7\n"
      "<VERTEX_INDEX_COUNT> 2147483647\n8\n<POLYGON_DATA_END>\n"));
  const Collider& c = *set.colliders[0];
  EXPECT_EQ(c.cornerCount, 2147483647);  // saturated, never wrapped
  EXPECT_EQ(c.polygonLists[1]->vertexIndices, (std::vector<int32_t>{5, 6, 7, 8}));
}

TEST(ColliderFile, NamesAreCutBetweenCharactersNotBytes) {
  // "ゼ" is 0x83 0x5B in CP932: its second byte is "[", which must not cut the name.
  ColliderSet set = read("<MODEL_ID>\n\x83\x5b\n" + collider("<GEOMETRY_ID> a\x83\x5b\x83\x5d\n"));
  EXPECT_EQ(set.modelId, u"ゼ");
  ASSERT_EQ(set.colliders.size(), 1u);
  EXPECT_EQ(set.colliders[0]->id, u"aゼゾ");
}

TEST(ColliderFile, ACutOffColliderIsLeftOut) {
  const std::string full = kMeshCollider;
  // Up to "<GEOMETRY_EN" the block is open ("<GEOMETRY_END" already closes it).
  const std::size_t closed = full.rfind("<GEOMETRY_END>") + 13;
  for (std::size_t n = 0; n < closed; ++n) {
    std::string warning;
    ColliderSet set = read(full.substr(0, n), &warning);
    EXPECT_TRUE(set.colliders.empty()) << n;
    if (n > full.find("<GEOMETRY_BEGIN>\n") + 16) {
      EXPECT_FALSE(warning.empty()) << n;
    }
  }
}

TEST(ColliderFile, OpensFilesAndNamesThemInErrors) {
  ColliderSet set;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(ReadColliderFile(set, "/nonexistent/field.cdr"));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("/nonexistent/field.cdr: cannot open"), std::string::npos) << err;
  EXPECT_TRUE(set.colliders.empty());

  auto path = std::filesystem::temp_directory_path() /
              ("collider_file_test_" + std::to_string(::getpid()) + ".cdr");
  {
    std::ofstream out(path, std::ios::binary);
    out << kMeshCollider;
  }
  EXPECT_TRUE(ReadColliderFile(set, path));
  std::filesystem::remove(path);
  EXPECT_EQ(set.colliders.size(), 1u);
}

}  // namespace
