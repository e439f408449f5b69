#include "model/collada_import.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "model/model_data.h"

namespace {

// A document with the default namespace, as exporters write it, around `body`.
std::string dae(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
         "<COLLADA xmlns=\"http://www.collada.org/2005/11/COLLADASchema\" version=\"1.4.1\">" +
         body + "</COLLADA>";
}

struct Imported {
  bool ok = false;
  std::string messages;
};

// Imports `xml` as "test.dae", collecting the warning lines.
Imported import(ModelData& model, const std::string& xml, const char* fileName = "test.dae") {
  std::FILE* sink = std::tmpfile();
  Imported result;
  result.ok = importColladaText(model, xml, fileName, sink);
  std::rewind(sink);
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, sink) != nullptr) result.messages += buffer;
  std::fclose(sink);
  return result;
}

std::vector<int32_t> ints(std::initializer_list<int32_t> values) { return values; }

// A geometry "g" with positions "pos" (4 points), normals "nrm", texture coordinates "uv1" and
// "uv2", and `lists` as its polygon lists.
std::string meshGeometry(const std::string& lists) {
  return "<library_geometries><geometry id='g'><mesh>"
         "<source id='pos'><float_array count='12'>0 0 0 1 0 0 1 1 0 0 1 0</float_array>"
         "<technique_common><accessor stride='3'/></technique_common></source>"
         "<source id='nrm'><float_array count='3'>0 0 1</float_array>"
         "<technique_common><accessor stride='3'/></technique_common></source>"
         "<source id='uv1'><float_array count='4'>0 0 1 1</float_array>"
         "<technique_common><accessor stride='2'/></technique_common></source>"
         "<source id='uv2'><float_array count='4'>0.5 0.5 1 1</float_array>"
         "<technique_common><accessor stride='2'/></technique_common></source>"
         "<vertices id='verts'><input semantic='POSITION' source='#pos'/></vertices>" +
         lists + "</mesh></geometry></library_geometries>";
}

const PolygonData& onlyList(const ModelData& model) {
  EXPECT_EQ(model.geometries.size(), 1u);
  EXPECT_EQ(model.geometries[0]->polygonLists.size(), 1u);
  return *model.geometries[0]->polygonLists[0];
}

// ---- document and model id ----

TEST(ColladaDocument, ModelIdIsTheBaseNameWithoutLowerCaseSuffix) {
  struct Case {
    const char* fileName;
    const char16_t* id;
  } cases[] = {{"walker.dae", u"walker"},
               {"walker.DAE", u"walker.DAE"},
               {"models\\walker.dae", u"walker"},
               {"models/sub/walker.dae", u"walker"}};
  for (const Case& c : cases) {
    ModelData model;
    ASSERT_TRUE(import(model, dae(""), c.fileName).ok) << c.fileName;
    EXPECT_EQ(model.modelId, c.id) << c.fileName;
  }
}

TEST(ColladaDocument, UnreadableDocumentsFailWithOneLineAndLeaveTheModelEmpty) {
  for (const char* bad : {"", "<COLLADA><library_images></COLLADA>", "not xml at all",
                          "<COLLADA attr='1></COLLADA>"}) {
    ModelData model;
    Imported result = import(model, bad);
    EXPECT_FALSE(result.ok) << bad;
    EXPECT_TRUE(model.modelId.empty());
    EXPECT_TRUE(model.animations.empty());
    EXPECT_EQ(std::count(result.messages.begin(), result.messages.end(), '\n'), 1) << bad;
    EXPECT_EQ(result.messages.rfind("test.dae: ", 0), 0u) << result.messages;
  }
  ModelData model;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(importCollada(model, "no/such/file.dae"));
  EXPECT_NE(testing::internal::GetCapturedStderr().find("no/such/file.dae"), std::string::npos);
}

TEST(ColladaDocument, EmptyDocumentStillGetsTheAnimationSet) {
  ModelData model;
  Imported result = import(model, dae("<asset/>"));
  ASSERT_TRUE(result.ok);
  EXPECT_TRUE(result.messages.empty()) << result.messages;
  ASSERT_EQ(model.animations.size(), 1u);
  EXPECT_EQ(model.animations[0]->id, u"ColladaAnim_001");
  EXPECT_TRUE(model.animations[0]->tracks.empty());
}

// Every prefix of a document that uses every step must fail or import cleanly (under the
// sanitizers: without reading out of bounds).
TEST(ColladaDocument, TruncatedDocumentsNeverCrash) {
  std::string full = dae(
      "<library_images><image id='i'><init_from>a.png</init_from></image></library_images>" +
      meshGeometry("<polylist count='1'><input semantic='VERTEX' source='#verts' offset='0'/>"
                   "<input semantic='NORMAL' source='#nrm' offset='1'/><vcount>4</vcount>"
                   "<p>0 0 1 0 2 0 3 0</p></polylist>") +
      "<library_controllers><controller><skin source='#g'>"
      "<source id='j'><Name_array count='1'>B</Name_array></source>"
      "<source id='w'><float_array count='1'>1</float_array></source>"
      "<joints><input semantic='JOINT' source='#j'/></joints>"
      "<vertex_weights count='1'><input semantic='WEIGHT' source='#w'/><vcount>1</vcount>"
      "<v>0 0</v></vertex_weights></skin></controller></library_controllers>"
      "<library_visual_scenes><visual_scene><node id='b' sid='B' type='JOINT'>"
      "<matrix sid='transform'>1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1</matrix></node>"
      "</visual_scene></library_visual_scenes>");
  for (std::size_t n = 0; n <= full.size(); ++n) {
    ModelData model;
    importColladaText(model, std::string_view(full).substr(0, n), "cut.dae", nullptr);
  }
}

// ---- images and materials ----

// The sampler and surface parameters of an effect with id `id` and `diffuse` in `shading`.
std::string effect(const std::string& id, const std::string& shading, const std::string& diffuse) {
  return "<effect id='" + id +
         "'><profile_COMMON>"
         "<newparam sid='skin-surface'><surface type='2D'><init_from>skin-image</init_from>"
         "</surface></newparam>"
         "<newparam sid='skin-sampler'><sampler2D><source>skin-surface</source></sampler2D>"
         "</newparam><technique sid='common'><" +
         shading + "><diffuse>" + diffuse + "</diffuse></" + shading +
         "></technique></profile_COMMON></effect>";
}

std::string materialUsing(const std::string& effects) {
  return dae("<library_materials><material id='Skin-material'>"
             "<instance_effect url='#Skin-effect'/></material></library_materials>"
             "<library_effects>" +
             effects + "</library_effects>");
}

TEST(ColladaMaterials, TextureResolvesThroughSamplerAndSurfaceToTheImage) {
  ModelData model;
  Imported result = import(
      model, materialUsing(effect("Skin-effect", "phong", "<texture texture='skin-sampler'/>")) +
                 "");
  ASSERT_TRUE(result.ok);
  ASSERT_EQ(model.materials.size(), 1u);
  EXPECT_EQ(model.materials[0]->name, u"Skin-material");
  EXPECT_EQ(model.materials[0]->textureName, u"skin-image");
  EXPECT_EQ(model.materials[0]->diffuse[3], 0.0f);
  EXPECT_TRUE(result.messages.empty()) << result.messages;
}

TEST(ColladaMaterials, ImagesBecomeTexturesAndIncompleteOnesAreSkippedWithAWarning) {
  ModelData model;
  Imported result = import(model, dae("<library_images>"
                                      "<image id='skin-image'><init_from>skin.png</init_from></image>"
                                      "<image id='bare'/>"
                                      "<image><init_from>x.png</init_from></image>"
                                      "</library_images>"));
  ASSERT_EQ(model.textures.size(), 1u);
  EXPECT_EQ(model.textures[0]->id, u"skin-image");
  EXPECT_EQ(model.textures[0]->fileName, u"skin.png");
  EXPECT_NE(result.messages.find("test.dae: warning: image \"bare\" without \"init_from\""),
            std::string::npos);
  EXPECT_NE(result.messages.find("image without \"id\""), std::string::npos);
}

TEST(ColladaMaterials, DiffuseSearchGoesPhongLambertBlinn) {
  // Lambert and blinn only when the earlier shadings have no diffuse of that kind.
  std::string lambertAndBlinn =
      "<effect id='Skin-effect'><profile_COMMON><technique>"
      "<blinn><diffuse><color>0.1 0.2 0.3 1</color></diffuse></blinn>"
      "<lambert><diffuse><color>0.4 0.5 0.6</color></diffuse></lambert>"
      "</technique></profile_COMMON></effect>";
  ModelData model;
  import(model, materialUsing(lambertAndBlinn));
  ASSERT_EQ(model.materials.size(), 1u);
  const float* d = model.materials[0]->diffuse;
  EXPECT_FLOAT_EQ(d[0], 0.4f);
  EXPECT_FLOAT_EQ(d[2], 0.6f);
  EXPECT_EQ(d[3], 0.0f);  // three numbers leave alpha 0

  ModelData blinnOnly;
  import(blinnOnly, materialUsing(effect("Skin-effect", "blinn", "<texture texture='skin-sampler'/>")));
  EXPECT_EQ(blinnOnly.materials[0]->textureName, u"skin-image");
}

TEST(ColladaMaterials, LaterEffectWithTheSameIdOverridesAndBrokenChainsWarn) {
  ModelData model;
  Imported result = import(
      model, materialUsing(effect("Skin-effect", "phong", "<color>1 1 1 1</color>") +
                           effect("Skin-effect", "phong", "<color>0 0.5 0 1</color>") +
                           effect("Skin-effect", "phong", "<texture texture='nowhere'/>")));
  ASSERT_EQ(model.materials.size(), 1u);
  EXPECT_FLOAT_EQ(model.materials[0]->diffuse[0], 0.0f);
  EXPECT_FLOAT_EQ(model.materials[0]->diffuse[1], 0.5f);
  EXPECT_TRUE(model.materials[0]->textureName.empty());
  EXPECT_NE(result.messages.find("texture \"nowhere\" leads to no image"), std::string::npos);
}

TEST(ColladaMaterials, QuotesInIdsAreCompared) {
  // Ids go into comparisons, never into a query: a quote in an id must not break anything.
  ModelData model;
  Imported result = import(model, dae("<library_materials><material id=\"m'\">"
                                      "<instance_effect url=\"#e']\"/></material></library_materials>"
                                      "<library_effects><effect id=\"e']\"><profile_COMMON><technique>"
                                      "<phong><diffuse><color>1 0 0 1</color></diffuse></phong>"
                                      "</technique></profile_COMMON></effect></library_effects>"));
  ASSERT_TRUE(result.ok);
  ASSERT_EQ(model.materials.size(), 1u);
  EXPECT_EQ(model.materials[0]->diffuse[0], 1.0f);
}

// ---- geometry ----

TEST(ColladaGeometry, SourcesBecomeFloatArraysWithPositionsUnderTheVerticesId) {
  ModelData model;
  Imported result = import(model, dae(meshGeometry("")));
  ASSERT_EQ(model.geometries.size(), 1u);
  const Geometry& g = *model.geometries[0];
  EXPECT_EQ(g.id, u"g");
  EXPECT_EQ(g.vertexCount, 4);
  ASSERT_EQ(g.floatArrays.size(), 4u);
  EXPECT_EQ(g.floatArrays[0]->id, u"verts");
  EXPECT_EQ(g.floatArrays[0]->count(), 4);
  EXPECT_EQ(g.floatArrays[0]->at(2)[1], 1.0f);
  EXPECT_EQ(g.floatArrays[2]->id, u"uv1");
  EXPECT_EQ(g.floatArrays[2]->tupleSize, 2);
  EXPECT_EQ(g.floatArrays[2]->count(), 2);
  EXPECT_TRUE(g.polygonLists.empty());
  EXPECT_TRUE(result.messages.empty()) << result.messages;
}

TEST(ColladaGeometry, InputsAreDeinterleavedByOffset) {
  ModelData model;
  import(model, dae(meshGeometry(
                    "<triangles count='1' material='Skin'>"
                    "<input semantic='VERTEX' source='#verts' offset='0'/>"
                    "<input semantic='NORMAL' source='#nrm' offset='1'/>"
                    "<input semantic='TEXCOORD' source='#uv1' offset='2'/>"
                    "<p>0 0 0 1 1 1 2 2 2</p></triangles>")));
  const PolygonData& list = onlyList(model);
  EXPECT_EQ(list.materialId, u"Skin");
  EXPECT_EQ(list.vertexId, u"verts");
  EXPECT_EQ(list.normalId, u"nrm");
  EXPECT_EQ(list.vertexIndices, ints({0, 1, 2}));
  EXPECT_EQ(list.normalIndices, ints({0, 1, 2}));
  EXPECT_EQ(list.texIndices, ints({0, 1, 2}));
  EXPECT_TRUE(list.colorIndices.empty());

  ModelData shared;
  import(shared, dae(meshGeometry("<triangles count='1'>"
                                  "<input semantic='VERTEX' source='#verts' offset='0'/>"
                                  "<input semantic='NORMAL' source='#nrm' offset='0'/>"
                                  "<p>5 6 7</p></triangles>")));
  EXPECT_EQ(onlyList(shared).vertexIndices, ints({5, 6, 7}));
  EXPECT_EQ(onlyList(shared).normalIndices, ints({5, 6, 7}));
  EXPECT_TRUE(onlyList(shared).materialId.empty());
}

TEST(ColladaGeometry, TwoTexcoordSetsAndOnlyCompleteCorners) {
  ModelData model;
  import(model, dae(meshGeometry("<triangles count='1'>"
                                 "<input semantic='VERTEX' source='#verts' offset='0'/>"
                                 "<input semantic='TEXCOORD' source='#uv1' offset='1'/>"
                                 "<input semantic='TEXCOORD' source='#uv2' offset='2'/>"
                                 "<p>0 10 20 1 11 21 2 12 22 3 13</p></triangles>")));
  const PolygonData& list = onlyList(model);
  EXPECT_EQ(list.texIds, (std::vector<std::u16string>{u"uv1", u"uv2"}));
  EXPECT_EQ(list.texIndices, ints({20, 21, 22}));  // the later input's offset
  EXPECT_EQ(list.vertexIndices, ints({0, 1, 2}));  // "3 13" is no whole corner
}

TEST(ColladaGeometry, PolylistsWinAndQuadsBecomeFans) {
  ModelData model;
  import(model, dae(meshGeometry("<triangles count='1'><input semantic='VERTEX' source='#verts' offset='0'/>"
                                 "<p>9 9 9</p></triangles>"
                                 "<polylist count='3'><input semantic='VERTEX' source='#verts' offset='0'/>"
                                 "<vcount>4 3 5</vcount><p>0 1 2 3 4 5 6 10 11 12 13 14</p></polylist>")));
  EXPECT_EQ(onlyList(model).vertexIndices,
            ints({0, 1, 2, 0, 2, 3, 4, 5, 6, 10, 11, 12, 10, 12, 13, 10, 13, 14}));

  // All triangles: corner after corner, whatever vcount says about the count.
  ModelData triangles;
  import(triangles, dae(meshGeometry("<polylist count='2'><input semantic='VERTEX' source='#verts' offset='0'/>"
                                     "<vcount>3 3</vcount><p>0 1 2 2 3 0</p></polylist>")));
  EXPECT_EQ(onlyList(triangles).vertexIndices, ints({0, 1, 2, 2, 3, 0}));

  // A polygon cut off by the end of "p" is dropped; degenerate polygons make no triangle.
  ModelData cut;
  import(cut, dae(meshGeometry("<polylist count='3'><input semantic='VERTEX' source='#verts' offset='0'/>"
                               "<vcount>2 4 4</vcount><p>7 7 0 1 2 3 0 1</p></polylist>")));
  EXPECT_EQ(onlyList(cut).vertexIndices, ints({0, 1, 2, 0, 2, 3}));

  // Extreme and negative sizes end the list without overflow.
  ModelData extreme;
  import(extreme, dae(meshGeometry("<polylist><input semantic='VERTEX' source='#verts' offset='0'/>"
                                   "<vcount>-2147483647 2147483647</vcount><p>0 1 2 3</p></polylist>")));
  EXPECT_TRUE(onlyList(extreme).vertexIndices.empty());
}

// Index lists of a megabyte or more: the numbers are scanned in windows of the text, and what
// the lists hold in reserve follows the triangle count, not the text's length.
TEST(ColladaGeometry, LargeIndexListsGiveTheSameLists) {
  constexpr int kCorners = 150000;
  std::string p;
  std::vector<int32_t> vertices, normals;
  for (int k = 0; k < kCorners; ++k) {
    vertices.push_back(k % 4);
    normals.push_back(k % 3 == 0 ? 0 : 1000000 + k);
    p += std::to_string(vertices.back()) + " " + std::to_string(normals.back()) + " ";
  }
  ASSERT_GT(p.size(), 1u << 20);
  ModelData model;
  import(model, dae(meshGeometry("<triangles><input semantic='VERTEX' source='#verts' offset='0'/>"
                                 "<input semantic='NORMAL' source='#nrm' offset='1'/><p>" +
                                 p + "</p></triangles>")));
  EXPECT_EQ(onlyList(model).vertexIndices, vertices);
  EXPECT_EQ(onlyList(model).normalIndices, normals);
  EXPECT_EQ(model.geometries[0]->floatArrays.size(), 4u);

  ModelData counted;
  import(counted, dae(meshGeometry("<triangles count='" + std::to_string(kCorners / 3) +
                                   "'><input semantic='VERTEX' source='#verts' offset='0'/>"
                                   "<input semantic='NORMAL' source='#nrm' offset='1'/><p>" +
                                   p + "</p></triangles>")));
  EXPECT_EQ(onlyList(counted).vertexIndices, vertices);
  EXPECT_EQ(onlyList(counted).normalIndices, normals);
  EXPECT_LE(onlyList(counted).vertexIndices.capacity(), static_cast<std::size_t>(kCorners));
}

TEST(ColladaGeometry, NumbersMaySpanLines) {
  ModelData model;
  import(model, dae("<library_geometries><geometry id='g'><mesh>"
                    "<source id='p'><float_array count='6'>1 2 3\n4\t5\r\n6</float_array>"
                    "<technique_common><accessor stride='3'/></technique_common></source>"
                    "<vertices id='v'><input semantic='POSITION' source='#p'/></vertices>"
                    "<triangles><input semantic='VERTEX' source='#v' offset='0'/>"
                    "<p>0\n1\n1</p></triangles></mesh></geometry></library_geometries>"));
  const Geometry& g = *model.geometries[0];
  EXPECT_EQ(g.floatArrays[0]->values, (std::vector<float>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(g.polygonLists[0]->vertexIndices, ints({0, 1, 1}));
}

TEST(ColladaGeometry, UnusableSourcesAndGeometriesAreSkipped) {
  ModelData model;
  Imported result = import(
      model, dae("<library_geometries>"
                 "<geometry id='spline'><spline/></geometry>"
                 "<geometry id='novertices'><mesh/></geometry>"
                 "<geometry id='g'><mesh>"
                 "<source id='rgba'><float_array count='4'>1 0 0 1</float_array>"
                 "<technique_common><accessor stride='4'/></technique_common></source>"
                 "<source id='nostride'><float_array count='3'>1 2 3</float_array>"
                 "<technique_common><accessor/></technique_common></source>"
                 "<source id='empty'><float_array count='0'/></source>"
                 "<source id='short'><float_array count='5'>1 2 3 4 5</float_array>"
                 "<technique_common><accessor stride='3'/></technique_common></source>"
                 "<vertices id='v'><input semantic='POSITION' source='#short'/></vertices>"
                 "</mesh></geometry></library_geometries>"));
  ASSERT_TRUE(result.ok);
  ASSERT_EQ(model.geometries.size(), 1u);
  const Geometry& g = *model.geometries[0];
  ASSERT_EQ(g.floatArrays.size(), 2u);
  EXPECT_EQ(g.floatArrays[0]->id, u"rgba");
  EXPECT_FALSE(g.floatArrays[0]->hasValues);  // four components are not kept
  EXPECT_EQ(g.floatArrays[1]->id, u"v");
  EXPECT_EQ(g.floatArrays[1]->values, (std::vector<float>{1, 2, 3, 4, 5, 0}));
  EXPECT_EQ(g.vertexCount, 1);
  EXPECT_NE(result.messages.find("geometry \"spline\" without \"mesh\""), std::string::npos);
  EXPECT_NE(result.messages.find("geometry \"novertices\" without \"vertices\""), std::string::npos);
  EXPECT_NE(result.messages.find("source \"nostride\" without a positive accessor \"stride\""),
            std::string::npos);
  EXPECT_EQ(std::count(result.messages.begin(), result.messages.end(), '\n'), 3) << result.messages;
}

// ---- skins ----

// A skin of geometry "g" over joints A B C with the given weights, vcount and v.
std::string skinned(const std::string& weights, const std::string& vcount, const std::string& v,
                    int count) {
  return meshGeometry("") +
         "<library_controllers><controller id='c'><skin source='#g'>"
         "<bind_shape_matrix>2 0 0 0 0 2 0 0 0 0 2 0 0 0 0 1</bind_shape_matrix>"
         "<source id='joints'><Name_array count='3'>A B\nC</Name_array></source>"
         "<source id='ibm'><float_array count='48'>" +
         std::string("1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1 ") +
         "1 0 0 0 0 1 0 0 0 0 1 0 5 0 0 1 1 0 0 0 0 1 0 0 0 0 1 0 7 0 0 1</float_array></source>"
         "<source id='weights'><float_array count='20'>" +
         weights +
         "</float_array></source>"
         "<joints><input semantic='JOINT' source='#joints'/>"
         "<input semantic='INV_BIND_MATRIX' source='#ibm'/></joints>"
         "<vertex_weights count='" +
         std::to_string(count) +
         "'><input semantic='JOINT' source='#joints' offset='0'/>"
         "<input semantic='WEIGHT' source='#weights' offset='1'/>"
         "<vcount>" +
         vcount + "</vcount><v>" + v + "</v></vertex_weights></skin></controller></library_controllers>";
}

TEST(ColladaSkins, BonesBindShapeAndInverseBindMatrices) {
  ModelData model;
  Imported result = import(model, dae(skinned("1", "1", "2 0", 1)));
  ASSERT_EQ(model.bones.size(), 3u);
  EXPECT_EQ(model.bones[1]->name, u"B");
  EXPECT_EQ(model.bones[2]->name, u"C");
  EXPECT_EQ(model.bones[1]->invBindMatrix[12], 5.0f);
  EXPECT_EQ(model.bones[2]->invBindMatrix[12], 7.0f);
  EXPECT_TRUE(model.bones[0]->id.empty());
  const Geometry& g = *model.geometries[0];
  EXPECT_EQ(g.bindShapeMatrix[0], 2.0f);
  EXPECT_EQ(g.weightCount, 1);
  EXPECT_EQ(g.weights.at(0, 0).boneIndex, 2.0f);  // the joint's position, no bias
  EXPECT_EQ(g.weights.at(0, 0).weight, 1.0f);
  EXPECT_TRUE(result.messages.empty()) << result.messages;
}

TEST(ColladaSkins, RowsKeepTheEightHeaviestInDescendingOrder) {
  // Vertex 0: 0.5, 0.3 (joint 1), 0.3 (joint 2). Vertex 1: nothing. Vertex 2: nine
  // influences, the lightest (0.01) falls out. Vertex 3: a weight at the threshold.
  ModelData model;
  import(model, dae(skinned("0.5 0.3 0.0 0.01 0.02 0.03 0.04 0.05 0.06 0.07 0.08 0.09 0.000001",
                            "3 0 9 1",
                            "0 0 1 1 2 1 "
                            "0 3 1 4 2 5 0 6 1 7 2 8 0 9 1 10 2 11 "
                            "1 12",
                            5)));
  const WeightTable& w = model.geometries[0]->weights;
  EXPECT_EQ(w.rows, 5);
  EXPECT_EQ(w.at(0, 0).weight, 0.5f);
  EXPECT_EQ(w.at(0, 1).boneIndex, 1.0f);
  EXPECT_EQ(w.at(0, 2).boneIndex, 2.0f);  // the equal weight goes after the first
  EXPECT_EQ(w.at(0, 2).weight, 0.3f);
  EXPECT_EQ(w.at(0, 3).weight, 0.0f);
  for (int s = 0; s < 8; ++s) EXPECT_EQ(w.at(1, s).weight, 0.0f);
  EXPECT_FLOAT_EQ(w.at(2, 0).weight, 0.09f);
  EXPECT_FLOAT_EQ(w.at(2, 7).weight, 0.02f);
  EXPECT_EQ(w.at(3, 0).weight, 0.0f);
  EXPECT_EQ(w.at(4, 0).weight, 0.0f);  // beyond vcount
}

TEST(ColladaSkins, SecondSkinReusesBonesAndBadSkinsAreSkipped) {
  std::string twoSkins = skinned("1", "1", "0 0", 1);
  std::string second =
      "<controller><skin source='#g'><source id='j'><Name_array count='2'>C A</Name_array></source>"
      "<source id='w'><float_array count='1'>0.75</float_array></source>"
      "<vertex_weights count='1'><input semantic='WEIGHT' source='#w'/><vcount>1</vcount>"
      "<v>1 0</v></vertex_weights></skin></controller>"
      "<controller><skin source='#g'/></controller>"
      "<controller><skin source='#unknown'/></controller>";
  twoSkins.insert(twoSkins.find("</library_controllers>"), second);
  ModelData model;
  Imported result = import(model, dae(twoSkins));
  ASSERT_EQ(model.bones.size(), 3u);
  EXPECT_EQ(model.bones[2]->invBindMatrix[12], 7.0f);  // unchanged by the second skin
  EXPECT_EQ(model.geometries[0]->weights.at(0, 0).boneIndex, 1.0f);
  EXPECT_EQ(model.geometries[0]->weights.at(0, 0).weight, 0.75f);
  EXPECT_NE(result.messages.find("skin of \"#g\" without \"vertex_weights\""), std::string::npos);
  EXPECT_EQ(std::count(result.messages.begin(), result.messages.end(), '\n'), 1) << result.messages;
}

TEST(ColladaSkins, OutOfRangeIndicesAndHugeCountsAreHarmless) {
  ModelData model;
  Imported result = import(model, dae(skinned("0.5", "2 1", "0 99 1 -1 2", 2147483647)));
  ASSERT_TRUE(result.ok);
  const WeightTable& w = model.geometries[0]->weights;
  EXPECT_EQ(w.rows, 2147483647);
  EXPECT_LE(w.stored.size(), 16u);
  EXPECT_EQ(w.at(0, 0).weight, 0.0f);
  EXPECT_EQ(w.at(1, 0).weight, 0.0f);  // "2" has no weight index
}

// ---- nodes and animations ----

std::string scene(const std::string& nodes) {
  return "<library_visual_scenes><visual_scene id='s'>" + nodes + "</visual_scene></library_visual_scenes>";
}

TEST(ColladaNodes, SceneBecomesTheBoneTree) {
  ModelData model;
  import(model, dae(skinned("1", "0", "", 0) +
                    scene("<node id='arm' type='NODE'>"
                          "<matrix sid='transform'>1 0 0 0 0 1 0 0 0 0 1 0 3 4 5 1</matrix>"
                          "<node id='a-id' sid='A' type='JOINT'><node id='b-id' sid='B' type='JOINT'/>"
                          "<node id='x-id' sid='X' type='other'/></node></node>"
                          "<node id='mesh'><matrix>9 9 9 9 9 9 9 9 9 9 9 9 9 9 9 9</matrix></node>")));
  ASSERT_EQ(model.rootBones.size(), 2u);
  Bone* arm = model.rootBones[0];
  EXPECT_EQ(arm->id, u"arm");
  EXPECT_EQ(arm->type, 1);
  EXPECT_EQ(arm->jointMatrix[12], 3.0f);
  ASSERT_EQ(arm->children.size(), 1u);
  Bone* a = arm->children[0];
  EXPECT_EQ(a, model.bones[0]);  // found by sid among the skin's bones
  EXPECT_EQ(a->id, u"a-id");
  EXPECT_EQ(a->type, 2);
  EXPECT_EQ(a->parent, arm);
  ASSERT_EQ(a->children.size(), 2u);
  EXPECT_EQ(a->children[0], model.bones[1]);
  EXPECT_EQ(a->children[1]->type, 0);
  EXPECT_EQ(model.findBoneById(u"x-id"), nullptr);  // outside `bones`
  EXPECT_EQ(model.rootBones[1]->jointMatrix, kIdentityMatrix);  // matrix without sid
  EXPECT_EQ(model.bones[2]->parent, nullptr);  // C is in no node
}

TEST(ColladaNodes, RepeatedSidDoesNotMakeACycleAndDeepNestingIsFine) {
  std::string deep;
  for (int i = 0; i < 20000; ++i) deep += "<node sid='A'>";
  for (int i = 0; i < 20000; ++i) deep += "</node>";
  ModelData model;
  ASSERT_TRUE(import(model, dae(skinned("1", "0", "", 0) + scene(deep))).ok);
  ASSERT_EQ(model.rootBones.size(), 1u);
  EXPECT_EQ(model.rootBones[0], model.bones[0]);
  ASSERT_EQ(model.rootBones[0]->children.size(), 1u);
  EXPECT_NE(model.rootBones[0]->children[0], model.bones[0]);
}

std::string animation(const std::string& id, const std::string& target, int keys) {
  std::string times, poses;
  for (int k = 0; k < keys; ++k) {
    times += std::to_string(k) + " ";
    for (int i = 0; i < 16; ++i) poses += std::to_string(k * 100 + i) + " ";
  }
  return "<animation id='" + id + "'><source id='" + id + "-in'><float_array count='" +
         std::to_string(keys) + "'>" + times + "</float_array></source><source id='" + id +
         "-out'><float_array count='" + std::to_string(keys * 16) + "'>" + poses +
         "</float_array></source><sampler id='" + id + "-s'><input semantic='INPUT' source='#" + id +
         "-in'/><input semantic='OUTPUT' source='#" + id + "-out'/></sampler><channel source='#" +
         id + "-s' target='" + target + "'/></animation>";
}

TEST(ColladaAnimations, ChannelsBecomeTracksOfOneSet) {
  ModelData model;
  Imported result = import(
      model, dae(skinned("1", "0", "", 0) + scene("<node id='a-id' sid='A'/>") +
                 "<library_animations>" + animation("one", "a-id/transform", 2) +
                 animation("two", "nobody/transform", 1) +
                 "<animation id='nochannel'/>"
                 "<animation id='unresolved'><channel source='#missing' target='a-id'/></animation>"
                 "</library_animations>"));
  ASSERT_EQ(model.animations.size(), 1u);
  const AnimationSet& set = *model.animations[0];
  EXPECT_EQ(set.id, u"ColladaAnim_001");
  ASSERT_EQ(set.tracks.size(), 2u);
  const BoneTrack& t = *set.tracks[0];
  EXPECT_EQ(t.target, u"a-id");
  EXPECT_EQ(t.bone, model.bones[0]);
  EXPECT_EQ(t.keyTimes, (std::vector<float>{0, 1}));
  ASSERT_EQ(t.poses.size(), 2u);
  EXPECT_EQ(t.poses[1][15], 115.0f);
  EXPECT_EQ(set.tracks[1]->bone, nullptr);
  EXPECT_NE(result.messages.find("animation \"nochannel\" without \"channel\""), std::string::npos);
  EXPECT_EQ(std::count(result.messages.begin(), result.messages.end(), '\n'), 1) << result.messages;
}

TEST(ColladaAnimations, NestedAnimationsAreReadInsteadOfTheirContainers) {
  ModelData model;
  import(model, dae("<library_animations><animation id='outer'>" + animation("inner", "x/t", 3) +
                    "</animation>" + animation("flat", "y", 1) + "</library_animations>"));
  ASSERT_EQ(model.animations[0]->tracks.size(), 1u);
  EXPECT_EQ(model.animations[0]->tracks[0]->target, u"x");
  EXPECT_EQ(model.animations[0]->tracks[0]->keyTimes.size(), 3u);
}

}  // namespace

namespace {

// Numbers and counts a document gets wrong: one warning each naming the element, while the
// values are those the import has always read; numbers with a decimal comma are read as the
// exporter meant them, with one warning for the document.
TEST(ColladaGeometry, BrokenNumbersAndCountsAreNamedOnceEach) {
  auto positions = [](const std::string& count, const std::string& numbers) {
    return "<library_geometries><geometry id='g'><mesh>"
           "<source id='pos'><float_array count='" + count + "'>" + numbers + "</float_array>"
           "<technique_common><accessor stride='3'/></technique_common></source>"
           "<vertices id='verts'><input semantic='POSITION' source='#pos'/></vertices>"
           "<triangles count='1'><input semantic='VERTEX' source='#verts' offset='0'/><p>0 1 2</p></triangles>"
           "</mesh></geometry></library_geometries>";
  };
  struct Case {
    std::string body;
    const char* warning;  // "" for none
    float firstX;         // the first position's x as read
  };
  const Case cases[] = {
      {positions("9", "1 0 0 0 1 0 0 0 1"), "", 1},
      {positions("9", "nan 0 0 0 1 0 0 0 1"), "float_array of source \"pos\": 1 numbers are not finite", NAN},
      {positions("9", "inf 0 0 -inf 1 0 0 0 1"), "2 numbers are not finite", INFINITY},
      {positions("9", "1e39 0 0 0 1 0 0 0 1"), "beyond the float range", INFINITY},
      {positions("9", "abc 0 0 0 1 0 0 0 1"), "1 tokens are no numbers (read as 0)", 0},
      {positions("1000000000", "1 0 0 0 1 0 0 0 1"), "its count says 1000000000 numbers, its text holds 9", 1},
      {positions("9", "21,920870 0 0 0 1 0 0 0 1"), "1 numbers are written with a decimal comma (\"21,920870\")",
       21.92087f},
      {"<library_geometries><geometry id='g'><mesh>"
       "<source id='pos'><float_array count='12'>0 0 0 1 0 0 1 1 0 0 1 0</float_array>"
       "<technique_common><accessor stride='3'/></technique_common></source>"
       "<vertices id='verts'><input semantic='POSITION' source='#pos'/></vertices>"
       "<polylist count='1'><input semantic='VERTEX' source='#verts' offset='0'/><vcount>4</vcount>"
       "<p>0 1 2 3 0 2 3</p></polylist></mesh></geometry></library_geometries>",
       "polylist: its vcount accounts for 4 of the 7 corners of its p", 0},
      {"<library_geometries><geometry id='g'><mesh>"
       "<source id='pos'><float_array count='12'>0 0 0 1 0 0 1 1 0 0 1 0</float_array>"
       "<technique_common><accessor stride='3'/></technique_common></source>"
       "<vertices id='verts'><input semantic='POSITION' source='#pos'/></vertices>"
       "<triangles count='1000000000'><input semantic='VERTEX' source='#verts' offset='0'/><p>0 1 2</p>"
       "</triangles></mesh></geometry></library_geometries>",
       "triangles: its count says 1000000000 triangles, it holds 1", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    ModelData model;
    const Imported imported = import(model, dae(c.body));
    ASSERT_TRUE(imported.ok);
    if (*c.warning == '\0') {
      EXPECT_EQ(imported.messages, "");
    } else {
      EXPECT_EQ(std::count(imported.messages.begin(), imported.messages.end(), '\n'), 1) << imported.messages;
      EXPECT_NE(imported.messages.find(c.warning), std::string::npos) << imported.messages;
    }
    const float x = model.geometries.at(0)->floatArrays.at(0)->values.at(0);
    if (std::isnan(c.firstX)) {
      EXPECT_TRUE(std::isnan(x));
    } else {
      EXPECT_EQ(x, c.firstX);
    }
  }
}

}  // namespace
