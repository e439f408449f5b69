#include "model/mdl_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <clocale>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>

#include "model/block_reader.h"
#include "model/model_data.h"

namespace {

// The worked example: keywords between "<" and ">", value and number lines plain.
const char kWalker[] =
    "<MODEL_ID>\n"
    "Walker\n"
    "<COLLIDER_FILE_PATH>\n"
    "walker.cdr\n"
    "<MATERIAL_BEGIN>\n"
    "<MATERIAL_NAME> Skin\n"
    "<TEXTURE_NAME> tex0\n"
    "<DIFFUSE>\n"
    "1 1 1 1\n"
    "<MATERIAL_END>\n"
    "<TEXTURE_BEGIN>\n"
    "<TEXTURE_ID> tex0\n"
    "<TEXTURE_NAME> skin.png\n"
    "<TEXTURE_END>\n"
    "<GEOMETRY_BEGIN>\n"
    "<GEOMETRY_ID> Body\n"
    "<VERTEX_COUNT> 3\n"
    "<FLOAT_ARRAY_BEGIN>\n"
    "<FLOAT_ARRAY_ID> pos\n"
    "<FLOAT_ARRAY_FLOAT_COUNT> 3\n"
    "<FLOAT_ARRAY_COUNT> 3\n"
    "<FLOAT_ARRAY>\n"
    "0 0 0 1 0 0 0 1 0\n"
    "<FLOAT_ARRAY_END>\n"
    "<POLYGON_DATA_BEGIN>\n"
    "<MATERIAL_ID> Skin\n"
    "<VERTEX_ID> pos\n"
    "<VERTEX_INDEX_COUNT> 3\n"
    "0 1 2\n"
    "<POLYGON_DATA_END>\n"
    "<GEOMETRY_END>\n"
    "<BONE_ARRAY>\n"
    "Root Arm\n"
    "<BONE>\n"
    "<BONE_NAME> Root\n"
    "<BONE_ID> root_id\n"
    "<BONE_TYPE> 0\n"
    "<CHILD_COUNT> 1\n"
    "<BONE>\n"
    "<BONE_NAME> Arm\n"
    "<BONE_ID> arm_id\n"
    "<CHILD_COUNT> 0\n";

std::unique_ptr<ModelData> read(const std::string& text, std::string* warning = nullptr) {
  auto model = std::make_unique<ModelData>();
  readMdlText(*model, text, warning);
  return model;
}

// A geometry block around `body`.
std::string geometry(const std::string& body) {
  return "<GEOMETRY_BEGIN>\n<GEOMETRY_ID> G\n" + body + "<GEOMETRY_END>\n";
}

std::string floatArray(const std::string& header, const std::string& line) {
  return geometry("<FLOAT_ARRAY_BEGIN>\n<FLOAT_ARRAY_ID> a\n" + header + "<FLOAT_ARRAY>\n" + line +
                  "<FLOAT_ARRAY_END>\n");
}

TEST(MdlWorkedExample, ReadsExactlyTheRecordsItDescribes) {
  std::string warning = "x";
  auto model = read(kWalker, &warning);
  EXPECT_EQ(warning, "");
  EXPECT_EQ(model->modelId, u"Walker");
  EXPECT_EQ(model->colliderFilePath, u"walker.cdr");

  ASSERT_EQ(model->materials.size(), 1u);
  const Material& skin = *model->materials[0];
  EXPECT_EQ(skin.name, u"Skin");
  EXPECT_EQ(skin.textureName, u"tex0");
  EXPECT_EQ(skin.diffuse[0], 1.0f);
  EXPECT_EQ(skin.diffuse[3], 1.0f);
  EXPECT_EQ(skin.ambient[0], 0.0f);

  ASSERT_EQ(model->textures.size(), 1u);
  EXPECT_EQ(model->textures[0]->id, u"tex0");
  EXPECT_EQ(model->textures[0]->fileName, u"skin.png");
  EXPECT_EQ(model->findTexture(u"tex0"), model->textures[0].get());

  ASSERT_EQ(model->geometries.size(), 1u);
  const Geometry& body = *model->geometries[0];
  EXPECT_EQ(body.id, u"Body");
  EXPECT_EQ(body.vertexCount, 3);
  EXPECT_EQ(body.bindShapeMatrix, kIdentityMatrix);
  EXPECT_FALSE(body.weights.created);
  ASSERT_EQ(body.floatArrays.size(), 1u);
  const FloatArray& pos = *body.floatArrays[0];
  EXPECT_EQ(pos.id, u"pos");
  EXPECT_TRUE(pos.hasValues);
  EXPECT_EQ(pos.tupleSize, 3);
  EXPECT_EQ(pos.values, (std::vector<float>{0, 0, 0, 1, 0, 0, 0, 1, 0}));
  ASSERT_EQ(body.polygonLists.size(), 1u);
  const PolygonData& tris = *body.polygonLists[0];
  EXPECT_EQ(tris.materialId, u"Skin");
  EXPECT_EQ(tris.vertexId, u"pos");
  EXPECT_EQ(tris.vertexIndices, (std::vector<int32_t>{0, 1, 2}));
  EXPECT_TRUE(tris.normalIndices.empty());

  ASSERT_EQ(model->bones.size(), 2u);
  Bone* root = model->bones[0];
  Bone* arm = model->bones[1];
  EXPECT_EQ(root->name, u"Root");
  EXPECT_EQ(root->id, u"root_id");
  EXPECT_EQ(arm->id, u"arm_id");
  EXPECT_EQ(model->rootBones, std::vector<Bone*>{root});
  EXPECT_EQ(root->children, std::vector<Bone*>{arm});
  EXPECT_EQ(arm->parent, root);
  EXPECT_EQ(root->parent, nullptr);
  EXPECT_EQ(model->findBoneById(u"arm_id"), arm);
}

TEST(MdlWorkedExample, EveryPrefixReadsCleanly) {
  // A file cut anywhere must neither fail nor keep a block that was cut off.
  const std::string full = kWalker;
  for (std::size_t n = 0; n <= full.size(); ++n) {
    auto model = read(full.substr(0, n));
    // Up to "<GEOMETRY_EN" the block is open ("<GEOMETRY_END" already closes it).
    if (n < full.find("<GEOMETRY_END>") + 13) {
      EXPECT_TRUE(model->geometries.empty()) << n;
    }
    if (n < full.find("<MATERIAL_END>") + 13) {
      EXPECT_TRUE(model->materials.empty()) << n;
    }
  }
}

TEST(MdlFile, UnopenableFileFailsAndLeavesTheModelAlone) {
  ModelData model;
  model.modelId = u"kept";
  testing::internal::CaptureStderr();
  EXPECT_FALSE(readMdl(model, "/nonexistent/walker.mdl"));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("/nonexistent/walker.mdl: cannot open"), std::string::npos) << err;
  EXPECT_EQ(model.modelId, u"kept");
}

TEST(MdlFile, ReadsAFileWithCarriageReturnsAndWarnsOnceAboutACutBlock) {
  auto path = std::filesystem::temp_directory_path() /
              ("mdl_reader_test_cut_" + std::to_string(::getpid()) + ".mdl");
  {
    std::ofstream out(path, std::ios::binary);
    out << "<MODEL_ID>\r\nWalker x\r\n<GEOMETRY_BEGIN>\r\n<GEOMETRY_ID> Body\r\n";
  }
  ModelData model;
  testing::internal::CaptureStderr();
  EXPECT_TRUE(readMdl(model, path));
  std::string err = testing::internal::GetCapturedStderr();
  std::filesystem::remove(path);
  EXPECT_EQ(model.modelId, u"Walker");  // only the first token of the value line
  EXPECT_TRUE(model.geometries.empty());
  EXPECT_NE(err.find("ends inside a GEOMETRY block"), std::string::npos) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
}

TEST(MdlKeywords, SeparatorsDependOnTheBlock) {
  // Tab is no separator at the top level, so "\tMODEL_ID" is no keyword; brackets are.
  auto model = read("\t<MODEL_ID>\nA\n[COLLIDER_FILE_PATH]\nc.cdr\n");
  EXPECT_EQ(model->modelId, u"");
  EXPECT_EQ(model->colliderFilePath, u"c.cdr");
  // Bone blocks allow leading tabs.
  model = read("<BONE_ARRAY>\nRoot\n<BONE>\n\t<BONE_NAME> Root\n\t\t<BONE_ID>\tr\n\t<CHILD_COUNT> 0\n");
  ASSERT_EQ(model->bones.size(), 1u);
  EXPECT_EQ(model->bones[0]->id, u"r");
  // "[" is a separator in a geometry block but not in a float array block.
  model = read(geometry("<FLOAT_ARRAY_BEGIN>\n[FLOAT_ARRAY_ID] a\n<FLOAT_ARRAY_END>\n"));
  ASSERT_EQ(model->geometries.size(), 1u);
  EXPECT_EQ(model->geometries[0]->floatArrays[0]->id, u"");
}

TEST(MdlKeywords, UnknownAndMisplacedKeywordsAreSkipped) {
  std::string warning;
  auto model = read("<DIFFUSE>\n<MODEL_ID_X> y\nmodel_id\n<MATERIAL_BEGIN>\n<GEOMETRY_ID> g\n"
                    "<MATERIAL_NAME>\n<MATERIAL_END>\n",
                    &warning);
  EXPECT_EQ(warning, "");
  EXPECT_EQ(model->modelId, u"");
  ASSERT_EQ(model->materials.size(), 1u);
  EXPECT_EQ(model->materials[0]->name, u"");  // a keyword without a value stores ""
}

TEST(MdlKeywords, NamesAreCp932Text) {
  // "肌" and "ゼ" (whose second byte is "[", a separator, but only between characters).
  auto model = read("<MATERIAL_BEGIN>\n<MATERIAL_NAME> \x94\xa7\n<TEXTURE_NAME> \x83\x5b\n"
                    "<MATERIAL_END>\n<BONE_ARRAY>\n\x83\x5b \x94\xa7\n");
  EXPECT_EQ(model->materials[0]->name, u"肌");
  EXPECT_EQ(model->materials[0]->textureName, u"ゼ");
  ASSERT_EQ(model->bones.size(), 2u);
  EXPECT_EQ(model->findBoneByName(u"肌"), model->bones[1]);
}

TEST(MdlKeywords, LongKeywordLinesContinueInTheNextRead) {
  // 1023 characters per read: the rest of a long line is read as a line of its own.
  std::string line(1023, 'x');
  auto model = read(line + "<MODEL_ID>\nA\n");
  EXPECT_EQ(model->modelId, u"A");
}

TEST(MdlNumbers, ShortLinesAreCompletedWithZerosAndLongOnesCut) {
  auto model = read(
      "<MATERIAL_BEGIN>\n<DIFFUSE>\n0.5 0.25\n<AMBIENT>\n1 2 3 4 5 6\n<MATERIAL_END>\n" +
      geometry("<BIND_SHAPE_MATRIX>\n2 0 0 0 0 2\n"));
  const Material& m = *model->materials[0];
  EXPECT_EQ(m.diffuse[0], 0.5f);
  EXPECT_EQ(m.diffuse[1], 0.25f);
  EXPECT_EQ(m.diffuse[2], 0.0f);
  EXPECT_EQ(m.diffuse[3], 0.0f);
  EXPECT_EQ(m.ambient[3], 4.0f);
  Matrix4 expected{};
  expected[0] = 2;
  expected[5] = 2;
  EXPECT_EQ(model->geometries[0]->bindShapeMatrix, expected);
}

TEST(MdlNumbers, NonNumbersReadAsZeroAndOverflowAsInfinity) {
  auto model = read(floatArray("<FLOAT_ARRAY_FLOAT_COUNT> 2\n<FLOAT_ARRAY_COUNT> 3\n",
                               "abc 1.5e2x -2 1e999 -1e39 1e-999\n"));
  const auto& v = model->geometries[0]->floatArrays[0]->values;
  ASSERT_EQ(v.size(), 6u);
  EXPECT_EQ(v[0], 0.0f);
  EXPECT_EQ(v[1], 150.0f);
  EXPECT_EQ(v[2], -2.0f);
  EXPECT_EQ(v[3], std::numeric_limits<float>::infinity());
  EXPECT_EQ(v[4], -std::numeric_limits<float>::infinity());
  EXPECT_EQ(v[5], 0.0f);
}

TEST(MdlNumbers, DecimalPointIsTheSameInAnyLocale) {
  // A user whose locale writes "1,5" must still read "1.5" as 1.5. scripts/test generates
  // de_DE.UTF-8 where it can.
  const char* previous = std::setlocale(LC_ALL, nullptr);
  std::string saved = previous ? previous : "C";
  if (std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr) {
    GTEST_SKIP() << "LOCALE de_DE.UTF-8 IS NOT INSTALLED: the comma-locale check did not run";
  }
  ASSERT_STREQ(std::localeconv()->decimal_point, ",");
  auto model = read("<MATERIAL_BEGIN>\n<DIFFUSE>\n1.5 2,5 1e1 -0.25\n<MATERIAL_END>\n");
  std::setlocale(LC_ALL, saved.c_str());
  const Material& m = *model->materials[0];
  EXPECT_EQ(m.diffuse[0], 1.5f);
  EXPECT_EQ(m.diffuse[1], 2.0f);  // the comma ends the number, as in the "C" locale
  EXPECT_EQ(m.diffuse[2], 10.0f);
  EXPECT_EQ(m.diffuse[3], -0.25f);
}

TEST(MdlFloatArrays, CountsMustComeBeforeTheValues) {
  auto model = read(geometry(
      "<FLOAT_ARRAY_BEGIN>\n<FLOAT_ARRAY_FLOAT_COUNT> 3\n<FLOAT_ARRAY>\n1 2 3\n"
      "<FLOAT_ARRAY_COUNT> 1\n<FLOAT_ARRAY_END>\n"));
  const FloatArray& a = *model->geometries[0]->floatArrays[0];
  EXPECT_FALSE(a.hasValues);
  EXPECT_TRUE(a.values.empty());
}

TEST(MdlFloatArrays, TupleSizesAndCounts) {
  // Extra floats beyond n x k are ignored; a short line stores the tuples it begins.
  auto model = read(floatArray("<FLOAT_ARRAY_FLOAT_COUNT> 2\n<FLOAT_ARRAY_COUNT> 2\n", "1 2 3 4 5\n"));
  EXPECT_EQ(model->geometries[0]->floatArrays[0]->values, (std::vector<float>{1, 2, 3, 4}));
  model = read(floatArray("<FLOAT_ARRAY_FLOAT_COUNT> 3\n<FLOAT_ARRAY_COUNT> 4\n", "1 2 3 4\n"));
  EXPECT_EQ(model->geometries[0]->floatArrays[0]->values, (std::vector<float>{1, 2, 3, 4, 0, 0}));
  // Other tuple sizes keep their floats one per element.
  model = read(floatArray("<FLOAT_ARRAY_FLOAT_COUNT> 5\n<FLOAT_ARRAY_COUNT> 1\n", "1 2 3 4 5 6\n"));
  const FloatArray& five = *model->geometries[0]->floatArrays[0];
  EXPECT_EQ(five.values, (std::vector<float>{1, 2, 3, 4, 5}));
  EXPECT_EQ(five.count(), 5);
  // k = 0 gives a buffer that reads nothing: no line is consumed and the list is empty.
  model = read(floatArray("<FLOAT_ARRAY_FLOAT_COUNT> 0\n<FLOAT_ARRAY_COUNT> 7\n", "1 2\n"));
  const FloatArray& none = *model->geometries[0]->floatArrays[0];
  EXPECT_TRUE(none.hasValues);
  EXPECT_TRUE(none.values.empty());
  // A negative count leaves the array without values.
  model = read(floatArray("<FLOAT_ARRAY_FLOAT_COUNT> 3\n<FLOAT_ARRAY_COUNT> -1\n", "1 2 3\n"));
  EXPECT_FALSE(model->geometries[0]->floatArrays[0]->hasValues);
}

TEST(MdlFloatArrays, CountsSizeTheLineBufferWithoutAllocatingIt) {
  EXPECT_EQ(blocks::countedLineBytes(3, 3), 9u * 128u);
  EXPECT_EQ(blocks::countedLineBytes(0, 3), 0u);
  EXPECT_EQ(blocks::countedLineBytes(-5, 3), 0u);
  EXPECT_EQ(blocks::countedLineBytes(INT64_MAX, INT64_MAX), SIZE_MAX);
  // A huge count reads the line actually present and invents nothing.
  auto model = read(floatArray("<FLOAT_ARRAY_FLOAT_COUNT> 4\n<FLOAT_ARRAY_COUNT> 2147483647\n",
                               "1 2 3 4 5\n"));
  const FloatArray& a = *model->geometries[0]->floatArrays[0];
  EXPECT_EQ(a.values, (std::vector<float>{1, 2, 3, 4, 5, 0, 0, 0}));
  // The announced tuples after them are there, as zeros, without memory of their own.
  EXPECT_EQ(a.count(), 2147483647);
  EXPECT_LT(a.values.capacity(), 64u);
  ASSERT_NE(a.at(2147483646), nullptr);
  EXPECT_EQ(a.at(2147483646)[3], 0.0f);
  EXPECT_EQ(a.at(2147483647), nullptr);
  // A line longer than the buffer is cut there; the rest is read as keyword lines.
  model = read(floatArray("<FLOAT_ARRAY_FLOAT_COUNT> 2\n<FLOAT_ARRAY_COUNT> 1\n",
                          "1 " + std::string(300, ' ') + "2\n"));
  EXPECT_EQ(model->geometries[0]->floatArrays[0]->values, (std::vector<float>{1, 0}));
}

TEST(MdlPolygons, IndexListsTakeEveryNumberOnTheirLine) {
  auto model = read(geometry(
      "<POLYGON_DATA_BEGIN>\n<VERTEX_ID> p\n<NORMAL_ID> n\n<COLOR_ID> c\n"
      "<VERTEX_INDEX_COUNT> 2\n0 1 2 3\n"
      "<NORMAL_INDEX_COUNT> 0\n<TEX_INDEX_COUNT> 3\n7 x -1\n"
      "<COLOR_INDEX_COUNT> -4\n5 5\n"
      "<TEX_ID_COUNT> 2\nuv0 uv1 uv2\n<POLYGON_DATA_END>\n"));
  const PolygonData& p = *model->geometries[0]->polygonLists[0];
  EXPECT_EQ(p.vertexIndices, (std::vector<int32_t>{0, 1, 2, 3}));
  EXPECT_TRUE(p.normalIndices.empty());  // count 0: the next line is a keyword line again
  EXPECT_EQ(p.texIndices, (std::vector<int32_t>{7, 0, -1}));
  EXPECT_TRUE(p.colorIndices.empty());
  EXPECT_EQ(p.texIds, (std::vector<std::u16string>{u"uv0", u"uv1", u"uv2"}));
  EXPECT_EQ(p.colorId, u"c");
}

TEST(MdlWeights, PairsFillEightInfluencesPerVertexWithTheBias) {
  auto model = read(geometry(
      "<WEIGHTS_BEGIN>\n<WEIGHTS_SIZE> 2\n<APPLY_BONE_NUM> 8\n"
      "3 0.75 1 0.25 0 0 0 0 0 0 0 0 0 0 0 0 2 1\n<WEIGHTS_END>\n"));
  const Geometry& g = *model->geometries[0];
  EXPECT_EQ(g.weightCount, 2);
  ASSERT_TRUE(g.weights.created);
  EXPECT_EQ(g.weights.rows, 2);
  EXPECT_EQ(g.weights.at(0, 0).boneIndex, static_cast<float>(3 + 0.00001));
  EXPECT_EQ(g.weights.at(0, 0).weight, 0.75f);
  EXPECT_EQ(g.weights.at(0, 1).boneIndex, static_cast<float>(1 + 0.00001));
  EXPECT_EQ(g.weights.at(1, 0).boneIndex, static_cast<float>(2 + 0.00001));
  EXPECT_EQ(g.weights.at(1, 0).weight, 1.0f);
  EXPECT_EQ(g.weights.at(1, 1).boneIndex, 0.0f);  // not in the file: 0, 0
  EXPECT_EQ(g.weights.at(1, 1).weight, 0.0f);
}

TEST(MdlWeights, OtherInfluenceCountsArePaddedOrCutToEight) {
  auto model = read(geometry(
      "<WEIGHTS_BEGIN>\n<WEIGHTS_SIZE> 2\n<APPLY_BONE_NUM> 1\n4 1 5 1\n<WEIGHTS_END>\n"));
  const WeightTable& two = model->geometries[0]->weights;
  EXPECT_EQ(two.at(1, 0).boneIndex, static_cast<float>(5 + 0.00001));
  EXPECT_EQ(two.at(1, 1).weight, 0.0f);
  std::string line;
  for (int i = 0; i < 20; ++i) line += std::to_string(i) + " 1 ";
  model = read(geometry("<WEIGHTS_BEGIN>\n<WEIGHTS_SIZE> 2\n<APPLY_BONE_NUM> 10\n" + line +
                        "\n<WEIGHTS_END>\n"));
  const WeightTable& ten = model->geometries[0]->weights;
  EXPECT_EQ(ten.at(0, 7).boneIndex, static_cast<float>(7 + 0.00001));
  EXPECT_EQ(ten.at(1, 0).boneIndex, static_cast<float>(10 + 0.00001));  // 8 and 9 dropped
  EXPECT_EQ(ten.at(1, 7).boneIndex, static_cast<float>(17 + 0.00001));
}

TEST(MdlWeights, HugeSizesCostNoMemoryAndBadSizesMakeNoTable) {
  auto model = read(geometry(
      "<WEIGHTS_BEGIN>\n<WEIGHTS_SIZE> 2147483647\n<APPLY_BONE_NUM> 2147483647\n1 1\n"
      "<WEIGHTS_END>\n"));
  const Geometry& g = *model->geometries[0];
  EXPECT_EQ(g.weights.rows, 2147483647);
  EXPECT_LE(g.weights.stored.size(), 8u);
  EXPECT_EQ(g.weights.at(2147483646, 7).weight, 0.0f);
  model = read(geometry("<WEIGHTS_BEGIN>\n<APPLY_BONE_NUM> 8\n1 1\n<WEIGHTS_SIZE> 1\n"
                        "<WEIGHTS_END>\n"));
  EXPECT_FALSE(model->geometries[0]->weights.created);  // the size must come first
  EXPECT_EQ(model->geometries[0]->weightCount, 1);
}

TEST(MdlBlocks, ACutOffBlockIsLeftOutAndEarlierOnesStay) {
  std::string warning;
  auto model = read("<MATERIAL_BEGIN>\n<MATERIAL_NAME> A\n<MATERIAL_END>\n" +
                        geometry("") + "<GEOMETRY_BEGIN>\n<FLOAT_ARRAY_BEGIN>\n<FLOAT_ARRAY_END>\n",
                    &warning);
  EXPECT_EQ(model->materials.size(), 1u);
  EXPECT_EQ(model->geometries.size(), 1u);
  EXPECT_NE(warning.find("GEOMETRY"), std::string::npos);
}

TEST(MdlLookups, FirstMatchWins) {
  auto model = read("<MATERIAL_BEGIN>\n<MATERIAL_NAME> M\n<DIFFUSE>\n1 0 0 1\n<MATERIAL_END>\n"
                    "<MATERIAL_BEGIN>\n<MATERIAL_NAME> M\n<MATERIAL_END>\n");
  ASSERT_EQ(model->materials.size(), 2u);
  EXPECT_EQ(model->findMaterial(u"M"), model->materials[0].get());
  EXPECT_EQ(model->findMaterial(u"m"), nullptr);
}

TEST(MdlBones, TreesWithoutTheBoneListBuildNewBones) {
  auto model = read("<BONE>\n<BONE_NAME> A\n<CHILD_COUNT> 2\n<BONE>\n<BONE_NAME> B\n"
                    "<CHILD_COUNT> 0\n<BONE>\n<BONE_NAME> C\n<JOINT_MATRIX>\n"
                    "1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16\n<BONE_TYPE> 2\n<CHILD_COUNT> 0\n");
  EXPECT_TRUE(model->bones.empty());  // so no animation track can find them
  ASSERT_EQ(model->rootBones.size(), 1u);
  Bone* a = model->rootBones[0];
  ASSERT_EQ(a->children.size(), 2u);
  EXPECT_EQ(a->children[0]->name, u"B");
  Bone* c = a->children[1];
  EXPECT_EQ(c->parent, a);
  EXPECT_EQ(c->type, 2);
  EXPECT_EQ(c->jointMatrix[15], 16.0f);
  EXPECT_EQ(c->invBindMatrix, kIdentityMatrix);
}

TEST(MdlBones, EndOfFileEndsEveryOpenBlock) {
  // CHILD_COUNT promises more children than the file holds: the tree read so far stays.
  auto model = read("<BONE_ARRAY>\nA B\n<BONE>\n<BONE_NAME> A\n<CHILD_COUNT> 2000000000\n"
                    "<BONE>\n<BONE_NAME> B\n<BONE_ID> b");
  ASSERT_EQ(model->rootBones.size(), 1u);
  ASSERT_EQ(model->rootBones[0]->children.size(), 1u);
  EXPECT_EQ(model->rootBones[0]->children[0]->id, u"b");
}

TEST(MdlBones, DeepNestingNeedsNoCallStack) {
  std::string text;
  for (int i = 0; i < 200000; ++i) text += "<BONE_NAME> b\n<CHILD_COUNT> 1\n";
  auto model = read("<BONE>\n" + text);
  ASSERT_EQ(model->rootBones.size(), 1u);
  int depth = 0;
  for (Bone* b = model->rootBones[0]; b != nullptr; b = b->children.empty() ? nullptr : b->children[0]) {
    ++depth;
  }
  EXPECT_EQ(depth, 200000);
}

TEST(MdlBones, ARepeatedNameNeverLinksABoneTwice) {
  // Naming Root again inside its own subtree would make it its own ancestor.
  auto model = read("<BONE_ARRAY>\nRoot\n<BONE>\n<BONE_NAME> Root\n<CHILD_COUNT> 1\n"
                    "<BONE>\n<BONE_NAME> Root\n<CHILD_COUNT> 0\n");
  Bone* root = model->bones[0];
  ASSERT_EQ(root->children.size(), 1u);
  Bone* inner = root->children[0];
  EXPECT_NE(inner, root);
  EXPECT_EQ(inner->parent, root);
  EXPECT_EQ(root->parent, nullptr);
  EXPECT_EQ(model->rootBones, std::vector<Bone*>{root});
}

TEST(MdlBones, LinesBeforeTheNameAndOrphanChildrenAreHandled) {
  // A block without BONE_NAME has no bone: its id line is dropped and its children are roots.
  auto model = read("<BONE>\n<BONE_ID> lost\n<INV_BIND_MATRIX>\n9 9\n<CHILD_COUNT> 1\n"
                    "<BONE>\n<BONE_NAME> Kid\n<CHILD_COUNT> 0\n");
  ASSERT_EQ(model->rootBones.size(), 1u);
  EXPECT_EQ(model->rootBones[0]->name, u"Kid");
  EXPECT_EQ(model->rootBones[0]->parent, nullptr);
  EXPECT_EQ(model->rootBones[0]->id, u"");
}

}  // namespace
