#include "scene/mesh_set.h"

#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <string>
#include <vector>

namespace {

FloatArray* addArray(Geometry& g, const char16_t* id, int tuple, std::vector<float> values) {
  g.floatArrays.push_back(std::make_unique<FloatArray>());
  FloatArray& a = *g.floatArrays.back();
  a.id = id;
  a.tupleSize = tuple;
  a.hasValues = true;
  a.values = std::move(values);
  return &a;
}

// One geometry of four positions (all away from the origin) drawn as two triangles.
struct Quad {
  ModelData model;
  Geometry* geometry;
  PolygonData* list;

  Quad() {
    model.modelId = u"QUAD";
    model.geometries.push_back(std::make_unique<Geometry>());
    geometry = model.geometries.back().get();
    geometry->vertexCount = 4;
    addArray(*geometry, u"pos", 3, {1, 1, 1, 2, 1, 1, 2, 2, 1, 1, 2, 3});
    addArray(*geometry, u"nrm", 3, {0, 0, 1, 0, 1, 0});
    addArray(*geometry, u"uv0", 2, {0.25f, 0.5f, 1, 1});
    addArray(*geometry, u"uv1", 2, {0.5f, 0.125f});
    addArray(*geometry, u"col", 4, {1, 0, 0, 1});
    geometry->polygonLists.push_back(std::make_unique<PolygonData>());
    list = geometry->polygonLists.back().get();
    list->materialId = u"skin";
    list->vertexId = u"pos";
    list->normalId = u"nrm";
    list->colorId = u"col";
    list->texIds = {u"uv0", u"uv1"};
    list->vertexIndices = {0, 1, 2, 0, 2, 3};
    list->normalIndices = {0, 0, 0, 1, 1, 1};
    list->texIndices = {0, 0, 0, 0, 0, 0};
    list->colorIndices = {0, 0, 0, 0, 0, 0};
  }
};

TEST(ModelVertexBuild, CornersFillTheirPositionSlot) {
  Quad q;
  MeshSet set;
  std::string error;
  ASSERT_TRUE(BuildMeshSet(set, &q.model, 0, &error)) << error;
  EXPECT_EQ(set.name, u"QUAD");
  EXPECT_EQ(set.animated, 0);
  ASSERT_EQ(set.geometries.count(), 1);
  const GpuGeometry& g = **set.geometries.at(0);
  ASSERT_EQ(g.vertices.size(), 4u);
  ASSERT_EQ(g.indexLists.size(), 1u);
  EXPECT_EQ(g.indexLists[0], (std::vector<uint32_t>{0, 1, 2, 0, 2, 3}));
  EXPECT_EQ(g.indexCounts[0], 6);
  const ModelVertex& v1 = g.vertices[1];
  EXPECT_EQ(v1.position[0], 2);
  EXPECT_EQ(v1.position[2], 1);
  EXPECT_EQ(v1.color[0], 1);
  EXPECT_EQ(v1.color[3], 1);
  // Position 0 is written by corners 0 and 3; the last one's normal wins. The two
  // texture-coordinate sets add up.
  const ModelVertex& v0 = g.vertices[0];
  EXPECT_EQ(v0.normal[1], 1);
  EXPECT_EQ(v0.normal[2], 0);
  EXPECT_FLOAT_EQ(v0.texCoord[0], 0.25f + 0.5f);
  EXPECT_FLOAT_EQ(v0.texCoord[1], 0.5f + 0.125f);
  // Without weights every bone pair is zero.
  for (const BoneWeight& w : v0.bones) {
    EXPECT_EQ(w.boneIndex, 0);
    EXPECT_EQ(w.weight, 0);
  }
}

TEST(ModelVertexBuild, BoxStartsAtTheOrigin) {
  Quad q;
  MeshSet set;
  ASSERT_TRUE(BuildMeshSet(set, &q.model, 0, nullptr));
  const GpuGeometry& g = **set.geometries.at(0);
  // min (0, 0, 0), max (2, 2, 3): corner 0 is (min x, min y, max z), corner 6 (max, max, min).
  EXPECT_EQ(g.boxCorners[0][0], 0);
  EXPECT_EQ(g.boxCorners[0][2], 3);
  EXPECT_EQ(g.boxCorners[6][0], 2);
  EXPECT_EQ(g.boxCorners[6][1], 2);
  EXPECT_EQ(g.boxCorners[6][2], 0);
  EXPECT_EQ(g.boxCenter[2], 1.5f);
  EXPECT_FLOAT_EQ(g.boxRadius, 0.5f * std::sqrt(4.0f + 4.0f + 9.0f));
}

TEST(ModelVertexBuild, WeightsAreCopiedAndBonesPastThirtyTwoDropped) {
  Quad q;
  q.geometry->weights.created = true;
  q.geometry->weights.rows = 4;
  q.geometry->weightCount = 4;
  q.geometry->weights.stored.resize(4 * 8);
  q.geometry->weights.stored[8] = {3.00001f, 0.75f};   // vertex 1, slot 0
  q.geometry->weights.stored[9] = {40.00001f, 0.25f};  // beyond the 32 skinning matrices
  MeshSet set;
  ASSERT_TRUE(BuildMeshSet(set, &q.model, 1, nullptr));
  const ModelVertex& v1 = (**set.geometries.at(0)).vertices[1];
  EXPECT_EQ(v1.bones[0].boneIndex, 3.00001f);
  EXPECT_EQ(v1.bones[0].weight, 0.75f);
  EXPECT_EQ(v1.bones[1].boneIndex, 0);
  EXPECT_EQ(v1.bones[1].weight, 0);
}

TEST(MaterialChoice, ColoursAndLoadedTexturesFollowTheNames) {
  Quad q;
  q.model.materials.push_back(std::make_unique<Material>());
  Material& m = *q.model.materials.back();
  m.name = u"skin";
  m.diffuse[0] = 0.5f;
  m.specular[3] = 0.25f;
  m.textureName = u"tex";
  for (const char16_t* id : {u"broken", u"tex"}) {
    q.model.textures.push_back(std::make_unique<Texture>());
    q.model.textures.back()->id = id;
    // Written on another system: a backslash separates the folder.
    q.model.textures.back()->fileName = u"..\\maps\\" + std::u16string(id) + u".png";
  }
  // A second list names a material that does not exist.
  q.geometry->polygonLists.push_back(std::make_unique<PolygonData>());
  q.geometry->polygonLists.back()->materialId = u"nothing";

  int marker = 0;
  std::vector<std::u16string> asked;
  TextureLoader loader = [&](const std::u16string& file, void*& resource, int64_t& slot) {
    asked.push_back(file);
    if (file == u"../maps/broken.png") return false;
    resource = &marker;
    slot = 7;
    return true;
  };
  MeshSet set;
  ASSERT_TRUE(BuildMeshSet(set, &q.model, 0, nullptr, loader));
  EXPECT_EQ(asked, (std::vector<std::u16string>{u"../maps/broken.png", u"../maps/tex.png"}));
  ASSERT_EQ(set.textures.count(), 1);
  EXPECT_EQ(*set.textureSlots.at(0), 7);
  const GpuGeometry& g = **set.geometries.at(0);
  ASSERT_EQ(g.materials.size(), 2u);
  EXPECT_EQ(g.materials[0].diffuse[0], 0.5f);
  EXPECT_EQ(g.materials[0].specular[3], 0.25f);
  EXPECT_EQ(g.materials[0].texture, &marker);
  EXPECT_EQ(g.materials[0].textureSlot, 7);
  EXPECT_EQ(g.materials[1].diffuse[0], 0);
  EXPECT_EQ(g.materials[1].texture, nullptr);
  EXPECT_EQ(g.materials[1].textureSlot, -1);
  EXPECT_EQ(g.indexCounts[1], 0);

  // When the material's texture fails, the material has none.
  m.textureName = u"broken";
  MeshSet again;
  ASSERT_TRUE(BuildMeshSet(again, &q.model, 0, nullptr, loader));
  EXPECT_EQ((**again.geometries.at(0)).materials[0].texture, nullptr);
  EXPECT_EQ((**again.geometries.at(0)).materials[0].textureSlot, -1);
}

TEST(ModelRejection, IndicesOutsideTheArrays) {
  MeshSet none;
  EXPECT_FALSE(BuildMeshSet(none, nullptr, 0, nullptr));

  struct Case {
    const char* name;
    void (*spoil)(Quad&);
    const char* message;
  };
  const Case cases[] = {
      {"position beyond vertexCount", [](Quad& q) { q.geometry->vertexCount = 3; },
       "position index 3 beyond 3 vertices"},
      {"negative position", [](Quad& q) { q.list->vertexIndices[2] = -1; },
       "position index -1"},
      {"position beyond its array", [](Quad& q) { q.geometry->vertexCount = 9; q.list->vertexIndices[5] = 8; },
       "beyond 4 entries of \"pos\""},
      {"position beyond weightCount",
       [](Quad& q) {
         q.geometry->weights.created = true;
         q.geometry->weights.rows = 2;
         q.geometry->weightCount = 2;
       },
       "beyond 2 weights"},
      {"normal past its end", [](Quad& q) { q.list->normalIndices[4] = 2; }, "normal index 2"},
      {"short normal list", [](Quad& q) { q.list->normalIndices.pop_back(); }, "normal index list"},
      {"colour past its end", [](Quad& q) { q.list->colorIndices[0] = 1; }, "colour index 1"},
      {"uv past its end", [](Quad& q) { q.list->texIndices[1] = 2; }, "texture coordinate index 2"},
  };
  for (const Case& c : cases) {
    Quad q;
    c.spoil(q);
    MeshSet set;
    std::string error;
    EXPECT_FALSE(BuildMeshSet(set, &q.model, 0, &error)) << c.name;
    EXPECT_NE(error.find(c.message), std::string::npos) << c.name << ": " << error;
    EXPECT_EQ(set.geometries.count(), 0) << c.name;
  }

  // A texture-coordinate id naming no array contributes nothing and is no error.
  Quad q;
  q.list->texIds.push_back(u"missing");
  MeshSet set;
  ASSERT_TRUE(BuildMeshSet(set, &q.model, 0, nullptr));
  EXPECT_FLOAT_EQ((**set.geometries.at(0)).vertices[0].texCoord[0], 0.75f);
}

Bone* addBone(ModelData& model, const char16_t* id, Bone* parent) {
  Bone* b = model.newBone();
  b->id = id;
  b->name = std::u16string(u"name-") + id;
  b->parent = parent;
  if (parent != nullptr) {
    parent->children.push_back(b);
  } else {
    model.rootBones.push_back(b);
  }
  model.bones.push_back(b);
  return b;
}

TEST(MeshBones, KeepTheModelOrderAndTheTree) {
  ModelData model;
  Bone* root = addBone(model, u"root", nullptr);
  Bone* a = addBone(model, u"a", root);
  addBone(model, u"b", root);
  addBone(model, u"c", a);
  // Listed before its parent in the flat list: the tree still comes out parents first.
  std::swap(model.bones[0], model.bones[3]);
  root->jointMatrix[3] = 5;  // file order: column-vector translation
  root->type = 2;
  MeshSet set;
  ASSERT_TRUE(BuildMeshSet(set, &model, 1, nullptr));
  ASSERT_EQ(set.bones.count(), 4);
  EXPECT_EQ((*set.bones.at(0))->id, u"c");
  EXPECT_EQ((*set.bones.at(3))->id, u"root");
  MeshBone* mr = *set.bones.at(3);
  EXPECT_EQ(mr->name, u"name-root");
  EXPECT_EQ(mr->jointMatrix[12], 5);  // transposed to a row-vector translation
  EXPECT_EQ(mr->type, 2);
  ASSERT_EQ(set.rootBones.count(), 1);
  EXPECT_EQ(*set.rootBones.at(0), mr);
  ASSERT_EQ(mr->children.count(), 2);
  EXPECT_EQ((*mr->children.at(0))->id, u"a");
  EXPECT_EQ((*set.bones.at(0))->parent, *mr->children.at(0));
  std::vector<std::u16string> order;
  for (MeshBone* b : set.treeOrder) order.push_back(b->id);
  EXPECT_EQ(order, (std::vector<std::u16string>{u"root", u"a", u"c", u"b"}));
}

TEST(MeshBones, SharedIdsKeepEveryBoneWithoutALoop) {
  ModelData model;
  Bone* root = addBone(model, u"x", nullptr);
  addBone(model, u"x", root);  // looks up the root itself
  // Nodes without ids all share the empty one; each keeps its subtree.
  Bone* first = addBone(model, u"", root);
  addBone(model, u"", first);
  Bone* second = addBone(model, u"", root);
  addBone(model, u"leaf", second);
  MeshSet set;
  ASSERT_TRUE(BuildMeshSet(set, &model, 1, nullptr));
  ASSERT_EQ(set.treeOrder.size(), 6u);
  MeshBone* mr = *set.rootBones.at(0);
  ASSERT_EQ(mr->children.count(), 3);
  for (int64_t i = 0; i < 3; ++i) {
    const MeshBone* child = *mr->children.at(i);
    EXPECT_NE(child, mr);
    EXPECT_EQ(child->parent, mr);
    EXPECT_EQ(child->children.count(), i == 0 ? 0 : 1) << i;
  }
  EXPECT_EQ((*(*mr->children.at(2))->children.at(0))->id, u"leaf");
  // Each MeshBone sits in the tree once.
  std::set<const MeshBone*> distinct(set.treeOrder.begin(), set.treeOrder.end());
  EXPECT_EQ(distinct.size(), set.treeOrder.size());
}

TEST(ObjectConstants, TransposedMatricesAndAtMostThirtyTwoBones) {
  ModelData model;
  for (int i = 0; i < 40; ++i) {
    const char16_t id[] = {u'b', static_cast<char16_t>(u'A' + i), 0};
    addBone(model, id, nullptr);
  }
  model.geometries.push_back(std::make_unique<Geometry>());
  model.geometries[0]->bindShapeMatrix[1] = 6;  // file order
  MeshSet set;
  ASSERT_TRUE(BuildMeshSet(set, &model, 1, nullptr));
  set.worldMatrix[12] = 9;  // row-vector translation
  set.parameterVector[2] = 4;
  for (int64_t i = 0; i < set.bones.count(); ++i) (*set.bones.at(i))->skinMatrix[1] = static_cast<float>(i);
  // Exactly the block: writing a 33rd matrix would overrun it under the sanitizers.
  std::vector<float> block(kObjectConstantFloats, -1.0f);
  WriteObjectConstants(set, **set.geometries.at(0), block.data());
  EXPECT_EQ(block[2], 4);
  EXPECT_EQ(block[4 + 1], 6);   // the bind-shape matrix arrives in file order
  EXPECT_EQ(block[20 + 3], 9);  // translation in the fourth column
  EXPECT_EQ(block[36], 1);
  EXPECT_EQ(block[52 + 4], 0);
  EXPECT_EQ(block[52 + 31 * 16 + 4], 31);
  EXPECT_EQ(block.back(), 1);  // last float of the 32nd matrix
}

}  // namespace
