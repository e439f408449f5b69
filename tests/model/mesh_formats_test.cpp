// The STL, PLY and OBJ readers: against Assimp on the model files Debian ships with it, and on
// small inline files for the rules, the bad inputs and the one-thread / many-thread identity.
#include <gtest/gtest.h>


#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "model/mesh_formats/obj_reader.h"
#include "model/mesh_formats/ply_reader.h"
#include "model/mesh_formats/stl_reader.h"
#include "model/model_format.h"
#include "tests/model/asset_summary.h"

namespace {

namespace fs = std::filesystem;

// ---- against Assimp ----

// Where the two must differ, what we give instead of Assimp's figure:
// - a file without faces is a point cloud here, a point a vertex; Assimp keeps the vertices
//   without faces (points.ply, pond.0.ply, issue623.ply, point_cloud.obj). issue623.ply's
//   vertex element declares a list its lines lack (read as empty, with a warning); pond.0.ply
//   is 69 bytes short of its last vertices, which are left out with a warning (its bounds are
//   those of the garbage both read);
// - box_UTF16BE.obj is UTF-16, which Assimp reads as nothing;
// - malformed.obj has two faces with indices out of range, which Assimp refuses the file for
//   and we leave out, with a warning, keeping the other four (eight triangles).
struct Difference {
  bool read;
  std::size_t triangles, points;
};
const std::map<std::string, Difference> kDifferences = {
    {"PLY/points.ply", {true, 0, 4}},       {"PLY/pond.0.ply", {true, 0, 70048}},
    {"PLY/issue623.ply", {true, 0, 24}},    {"OBJ/point_cloud.obj", {true, 0, 3}},
    {"OBJ/box_UTF16BE.obj", {true, 12, 0}}, {"invalid/malformed.obj", {true, 8, 0}},
};

TEST(MeshFormats, ReadAssimpTestModelsAsAssimpDoes) {
  if (!fs::exists(kAssimpModels)) GTEST_SKIP() << kAssimpModels << " is not installed (assimp-testmodels)";
  std::size_t files = 0;
  for (const char* folder : {"STL", "PLY", "OBJ", "invalid"}) {
    for (const auto& entry : fs::directory_iterator(kAssimpModels / folder)) {
      std::string ext = entry.path().extension().string();
      std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
      const std::string name = std::string(folder) + "/" + entry.path().filename().string();
      const bool stlFolder = std::string(folder) == "STL";
      if (ext != ".stl" && ext != ".ply" && ext != ".obj" && !(stlFolder && ext.empty())) continue;
      SCOPED_TRACE(name);
      ++files;
      // The format table finds the reader (formatDetection has no suffix: its magic decides).
      const ModelFormat* format = formatOfFile(entry.path());
      if (fs::file_size(entry.path()) > 0) {
        ASSERT_NE(format, nullptr);
        EXPECT_EQ(format->name, ext == ".ply" ? "PLY" : ext == ".obj" ? "OBJ" : "STL");
      }
      ModelAsset asset;
      testing::internal::CaptureStderr();
      const bool ok = ext == ".ply" ? readPly(entry.path(), asset) : ext == ".obj" ? readObj(entry.path(), asset)
                                                                                  : readStl(entry.path(), asset);
      const std::string messages = testing::internal::GetCapturedStderr();
      const Summary ours = ok ? summaryOf(asset) : Summary();
      const Summary theirs = assimpSummary(entry.path());
      if (!ok) {
        EXPECT_EQ(lineCount(messages), 1u) << messages;  // one clear line
      }
      auto difference = kDifferences.find(name);
      if (difference != kDifferences.end()) {
        EXPECT_EQ(ours.read, difference->second.read);
        EXPECT_EQ(ours.triangles, difference->second.triangles);
        EXPECT_EQ(ours.points, difference->second.points);
      } else {
        EXPECT_EQ(ours.read, theirs.read) << messages;
        EXPECT_EQ(ours.triangles, theirs.triangles);
        EXPECT_EQ(ours.lines, theirs.lines);
        EXPECT_EQ(ours.points, theirs.points);
      }
      if (ours.read && theirs.read) {
        for (int i = 0; i < 3; ++i) {
          EXPECT_FLOAT_EQ(ours.min[i], theirs.min[i]);
          EXPECT_FLOAT_EQ(ours.max[i], theirs.max[i]);
        }
      }
    }
  }
  EXPECT_GE(files, 40u);
}

// ---- helpers for the inline cases ----

std::span<const uint8_t> bytesOf(const std::string& s) { return {reinterpret_cast<const uint8_t*>(s.data()), s.size()}; }

enum class Format { kStl, kPly, kObj };

struct Read {
  bool ok = false;
  ModelAsset asset;
  std::string messages;
  std::vector<MtlTextures> extras;
};

Read readText(Format format, const std::string& text, MeshReadOptions options = {}) {
  Read r;
  if (options.name == "model") options.name = format == Format::kStl ? "t.stl" : format == Format::kPly ? "t.ply" : "t.obj";
  testing::internal::CaptureStderr();
  r.ok = format == Format::kStl   ? readStlBytes(bytesOf(text), options, r.asset)
         : format == Format::kPly ? readPlyBytes(bytesOf(text), options, r.asset)
                                  : readObjBytes(bytesOf(text), options, r.asset, &r.extras);
  r.messages = testing::internal::GetCapturedStderr();
  return r;
}

// Every truncated prefix must read or fail cleanly (under the sanitizers: never out of bounds).
void readEveryPrefix(Format format, const std::string& text) {
  MeshReadOptions options;
  options.quiet = true;
  options.blockBytes = 64;
  static const std::map<std::string, std::string> kNoFiles;
  options.files = &kNoFiles;
  for (std::size_t n = 0; n <= text.size(); ++n) {
    ModelAsset asset;
    const std::string prefix = text.substr(0, n);
    if (format == Format::kStl) readStlBytes(bytesOf(prefix), options, asset);
    else if (format == Format::kPly) readPlyBytes(bytesOf(prefix), options, asset);
    else readObjBytes(bytesOf(prefix), options, asset);
  }
}

void expectSameAssets(const ModelAsset& a, const ModelAsset& b) {
  ASSERT_EQ(a.meshes.size(), b.meshes.size());
  for (std::size_t m = 0; m < a.meshes.size(); ++m) {
    ASSERT_EQ(a.meshes[m].primitives.size(), b.meshes[m].primitives.size());
    EXPECT_EQ(a.meshes[m].name, b.meshes[m].name);
    for (std::size_t p = 0; p < a.meshes[m].primitives.size(); ++p) {
      const MeshPrimitive& x = a.meshes[m].primitives[p];
      const MeshPrimitive& y = b.meshes[m].primitives[p];
      EXPECT_EQ(x.mode, y.mode);
      EXPECT_EQ(x.material, y.material);
      EXPECT_EQ(x.positions, y.positions);
      EXPECT_EQ(x.normals, y.normals);
      EXPECT_EQ(x.colors, y.colors);
      EXPECT_EQ(x.texCoords[0], y.texCoords[0]);
      EXPECT_EQ(x.indices, y.indices);
    }
  }
}

// A bumpy sphere of `rings` x `segments` quads, as triangles with their three positions.
std::vector<std::array<float, 9>> sphereTriangles(int rings, int segments) {
  auto at = [&](int r, int s) {
    const double theta = 3.14159265358979 * r / rings, phi = 2 * 3.14159265358979 * (s % segments) / segments;
    const double radius = 1 + 0.05 * std::sin(7 * phi) * std::sin(5 * theta);
    return std::array<float, 3>{static_cast<float>(radius * std::sin(theta) * std::cos(phi)),
                                static_cast<float>(radius * std::sin(theta) * std::sin(phi)),
                                static_cast<float>(radius * std::cos(theta))};
  };
  std::vector<std::array<float, 9>> out;
  for (int r = 0; r < rings; ++r) {
    for (int s = 0; s < segments; ++s) {
      const auto a = at(r, s), b = at(r + 1, s), c = at(r + 1, s + 1), d = at(r, s + 1);
      out.push_back({a[0], a[1], a[2], b[0], b[1], b[2], c[0], c[1], c[2]});
      out.push_back({a[0], a[1], a[2], c[0], c[1], c[2], d[0], d[1], d[2]});
    }
  }
  return out;
}

std::string binaryStl(const std::vector<std::array<float, 9>>& triangles, const std::string& header = "test",
                      const std::vector<uint16_t>& attributes = {}) {
  std::string out(80, '\0');
  std::memcpy(out.data(), header.data(), std::min<std::size_t>(header.size(), 80));
  const uint32_t count = static_cast<uint32_t>(triangles.size());
  out.append(reinterpret_cast<const char*>(&count), 4);
  for (std::size_t t = 0; t < triangles.size(); ++t) {
    const float normal[3] = {0, 0, 0};
    out.append(reinterpret_cast<const char*>(normal), 12);
    out.append(reinterpret_cast<const char*>(triangles[t].data()), 36);
    const uint16_t attribute = t < attributes.size() ? attributes[t] : 0;
    out.append(reinterpret_cast<const char*>(&attribute), 2);
  }
  return out;
}

std::string asciiStl(const std::vector<std::array<float, 9>>& triangles, const std::string& name) {
  std::string out = "solid " + name + "\n";
  for (const auto& t : triangles) {
    out += " facet normal 0 0 0\n  outer loop\n";
    for (int k = 0; k < 3; ++k) {
      char line[128];
      std::snprintf(line, sizeof line, "   vertex %.9g %.9g %.9g\n", t[3 * k], t[3 * k + 1], t[3 * k + 2]);
      out += line;
    }
    out += "  endloop\n endfacet\n";
  }
  return out + "endsolid " + name + "\n";
}

const MeshPrimitive& only(const Read& r) {
  static const MeshPrimitive kNone;
  if (r.asset.meshes.size() != 1 || r.asset.meshes[0].primitives.size() != 1) {
    ADD_FAILURE() << "expected one primitive";
    return kNone;
  }
  return r.asset.meshes[0].primitives[0];
}

// ---- STL ----

TEST(StlReader, WeldsSmoothSurfacesAndKeepsCreases) {
  // Two triangles of a square and a third folded along its edge by `degrees`.
  auto folded = [](double degrees) {
    const float c = static_cast<float>(std::cos(degrees * 3.14159265358979 / 180));
    const float s = static_cast<float>(std::sin(degrees * 3.14159265358979 / 180));
    return std::vector<std::array<float, 9>>{{0, 0, 0, 1, 0, 0, 1, 1, 0}, {0, 0, 0, 1, 1, 0, 0, 1, 0},
                                             {1, 0, 0, 1 + c, 0, s, 1, 1, 0}};
  };
  const Read smooth = readText(Format::kStl, binaryStl(folded(20)));
  ASSERT_TRUE(smooth.ok) << smooth.messages;
  EXPECT_EQ(only(smooth).vertexCount(), 5u);  // the fold's two corners are shared
  const Read sharp = readText(Format::kStl, binaryStl(folded(40)));
  EXPECT_EQ(only(sharp).vertexCount(), 7u);  // 40 degrees: past the 30-degree crease angle

  // A cube: three faces at 90 degrees at each corner, so 24 vertices with the faces' normals.
  const float p[8][3] = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {0, 0, 1}, {1, 0, 1}, {1, 1, 1}, {0, 1, 1}};
  const int quads[6][4] = {{0, 3, 2, 1}, {4, 5, 6, 7}, {0, 1, 5, 4}, {1, 2, 6, 5}, {2, 3, 7, 6}, {3, 0, 4, 7}};
  std::vector<std::array<float, 9>> cube;
  for (const auto& q : quads) {
    for (int t = 0; t < 2; ++t) {
      const int c[3] = {q[0], q[1 + t], q[2 + t]};
      cube.push_back({p[c[0]][0], p[c[0]][1], p[c[0]][2], p[c[1]][0], p[c[1]][1], p[c[1]][2], p[c[2]][0], p[c[2]][1], p[c[2]][2]});
    }
  }
  const Read box = readText(Format::kStl, binaryStl(cube));
  const MeshPrimitive& prim = only(box);
  EXPECT_EQ(prim.vertexCount(), 24u);
  EXPECT_EQ(prim.elementCount(), 12u);
  for (std::size_t v = 0; v < prim.vertexCount(); ++v) {
    const float* n = &prim.normals[3 * v];
    EXPECT_FLOAT_EQ(std::fabs(n[0]) + std::fabs(n[1]) + std::fabs(n[2]), 1.0f);  // an axis
  }
  EXPECT_EQ(box.asset.upAxis, UpAxis::kZ);
  EXPECT_EQ(box.asset.metresPerUnit, 0);
  EXPECT_EQ(box.asset.generator, "test");
}

TEST(StlReader, ReadsBothPerFaceColourConventions) {
  const std::vector<std::array<float, 9>> two = {{0, 0, 0, 1, 0, 0, 0, 1, 0}, {1, 0, 0, 1, 1, 0, 0, 1, 0}};
  // VisCAM: bit 15 set is a colour, red in the high bits; the second face has none (white).
  const Read viscam = readText(Format::kStl, binaryStl(two, "plain", {0x8000 | 31 << 10, 0}));
  ASSERT_TRUE(viscam.ok);
  const MeshPrimitive& a = only(viscam);
  ASSERT_EQ(a.colors.size(), 4 * a.vertexCount());
  EXPECT_EQ(a.vertexCount(), 6u);  // different colours do not share corners
  EXPECT_EQ(a.material, 0);
  bool red = false, white = false;
  for (std::size_t v = 0; v < a.vertexCount(); ++v) {
    red = red || (a.colors[4 * v] == 1 && a.colors[4 * v + 1] == 0 && a.colors[4 * v + 2] == 0);
    white = white || (a.colors[4 * v] == 1 && a.colors[4 * v + 1] == 1 && a.colors[4 * v + 2] == 1);
  }
  EXPECT_TRUE(red && white);
  // Materialise: COLOR= in the header is the object's colour; bit 15 clear is the face's own,
  // red in the low bits.
  std::string header = "COLOR=";
  header += std::string("\xFF\x00\x00\xFF", 4);
  const Read materialise = readText(Format::kStl, binaryStl(two, header, {31 << 5, 0x8000}));
  const MeshPrimitive& b = only(materialise);
  ASSERT_EQ(b.colors.size(), 4 * b.vertexCount());
  bool green = false, objectRed = false;
  for (std::size_t v = 0; v < b.vertexCount(); ++v) {
    green = green || (b.colors[4 * v] == 0 && b.colors[4 * v + 1] == 1 && b.colors[4 * v + 2] == 0);
    objectRed = objectRed || (b.colors[4 * v] == 1 && b.colors[4 * v + 1] == 0 && b.colors[4 * v + 2] == 0);
  }
  EXPECT_TRUE(green && objectRed);
}

TEST(StlReader, ReadsSolidsAsMeshesAndBinaryFilesThatStartWithSolid) {
  const std::vector<std::array<float, 9>> one = {{0, 0, 0, 1, 0, 0, 0, 1, 0}};
  const Read two = readText(Format::kStl, asciiStl(one, "first") + "solid empty\nendsolid empty\n" + asciiStl(one, "second"));
  ASSERT_TRUE(two.ok) << two.messages;
  ASSERT_EQ(two.asset.meshes.size(), 2u);
  ASSERT_EQ(two.asset.nodes.size(), 2u);
  EXPECT_EQ(two.asset.meshes[1].name, "second");
  EXPECT_EQ(two.asset.nodes[1].mesh, 1);
  // A binary writer's header that begins with "solid": the size decides.
  const std::string binary = binaryStl(one, "solid part");
  EXPECT_EQ(stlKindOf(bytesOf(binary), binary.size()), StlKind::kBinary);
  EXPECT_TRUE(readText(Format::kStl, binary).ok);
  EXPECT_EQ(stlKindOf(bytesOf(asciiStl(one, "x")), 500), StlKind::kAscii);
}

TEST(StlReader, RefusesCountsThatLieAndKeepsNonFiniteVertices) {
  std::string lying = binaryStl({{0, 0, 0, 1, 0, 0, 0, 1, 0}});
  const uint32_t huge = 200000000;  // 10 GB of triangles in a 134-byte file
  std::memcpy(lying.data() + 80, &huge, 4);
  const Read r = readText(Format::kStl, lying);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(lineCount(r.messages), 1u);
  EXPECT_NE(r.messages.find("counts 200000000 triangles"), std::string::npos) << r.messages;
  EXPECT_EQ(stlKindOf(bytesOf(lying), lying.size()), StlKind::kNone);

  const Read nan = readText(Format::kStl, binaryStl({{NAN, 0, 0, 1, 0, 0, 0, INFINITY, 0}, {0, 0, 0, 1, 0, 0, 0, 1, 0}}));
  ASSERT_TRUE(nan.ok);
  EXPECT_EQ(only(nan).elementCount(), 2u);
  EXPECT_EQ(lineCount(nan.messages), 1u);
  EXPECT_NE(nan.messages.find("Warning: t.stl: 2 vertices with non-finite coordinates"), std::string::npos) << nan.messages;

  readEveryPrefix(Format::kStl, binaryStl({{0, 0, 0, 1, 0, 0, 0, 1, 0}, {1, 0, 0, 1, 1, 0, 0, 1, 0}}));
  readEveryPrefix(Format::kStl, asciiStl({{0, 0, 0, 1, 0, 0, 0, 1, 0}, {1, 0, 0, 1, 1, 0, 0, 1, 0}}, "x"));
}

TEST(StlReader, GivesTheSameMeshOnOneThreadAndOnMany) {
  std::vector<std::array<float, 9>> triangles = sphereTriangles(90, 120);
  const std::size_t first = triangles.size();
  for (std::size_t i = 0; i < first; i += 7) triangles.push_back(triangles[i]);  // shared twice
  for (const std::string& text : {binaryStl(triangles), asciiStl(triangles, "sphere")}) {
    MeshReadOptions one, many;
    one.threads = 1;
    many.threads = 5;
    many.blockBytes = 4000;
    const Read a = readText(Format::kStl, text, one), b = readText(Format::kStl, text, many);
    ASSERT_TRUE(a.ok && b.ok) << a.messages << b.messages;
    expectSameAssets(a.asset, b.asset);
    EXPECT_EQ(only(a).elementCount(), triangles.size());
    EXPECT_LT(only(a).vertexCount(), first / 2 + 200);  // smooth: shared, the seam and poles too
  }
}

// ---- PLY ----

// A quad (fanned), a triangle and a face of two corners, with every property type, an unknown
// element with a list between vertices and faces, in the three encodings.
std::string plyFile(const std::string& format) {
  std::string header = "ply\nformat " + format +
                       " 1.0\ncomment TextureFile tex.png\nelement vertex 5\n"
                       "property float x\nproperty double y\nproperty int z\nproperty char k0\nproperty ushort k1\n"
                       "property uint k2\nproperty short k3\nproperty float nx\nproperty float ny\nproperty float nz\n"
                       "property uchar red\nproperty uchar green\nproperty uchar blue\nproperty float s\nproperty float t\n"
                       "element extra 2\nproperty list uchar int stuff\n"
                       "element face 3\nproperty list uchar uint vertex_indices\nproperty uint8 flags\n"
                       "end_header\n";
  const double v[5][15] = {{0, 0, 0, -1, 2, 3, -4, 0, 0, 1, 255, 0, 0, 0, 0},   {1, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 255, 0, 1, 0},
                           {1, 1, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 255, 1, 1}, {0, 1, 0, 0, 0, 0, 0, 0, 0, 4, 128, 128, 128, 0, 1},
                           {0.5, 0.5, 2, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0.5, 0.5}};
  const int faces[3][5] = {{4, 0, 1, 2, 3}, {3, 0, 1, 4, 0}, {2, 2, 3, 0, 0}};
  if (format == "ascii") {
    std::string body;
    for (const auto& row : v) {
      for (int i = 0; i < 15; ++i) {
        if (i) body += ' ';
        body += std::to_string(row[i]);
      }
      body += "\n";
    }
    body += "2 7 8\n\n0\n";  // with a blank line, skipped
    for (const auto& f : faces) {
      for (int i = 0; i <= f[0]; ++i) body += std::to_string(f[i]) + " ";
      body += "1\n";
    }
    return header + body;
  }
  const bool big = format == "binary_big_endian";
  std::string body;
  auto put = [&](auto value) {
    char b[sizeof value];
    std::memcpy(b, &value, sizeof value);
    if (big) std::reverse(b, b + sizeof value);
    body.append(b, sizeof value);
  };
  for (const auto& r : v) {
    put(static_cast<float>(r[0]));
    put(r[1]);
    put(static_cast<int32_t>(r[2]));
    put(static_cast<int8_t>(r[3]));
    put(static_cast<uint16_t>(r[4]));
    put(static_cast<uint32_t>(r[5]));
    put(static_cast<int16_t>(r[6]));
    for (int i = 7; i < 10; ++i) put(static_cast<float>(r[i]));
    for (int i = 10; i < 13; ++i) put(static_cast<uint8_t>(r[i]));
    for (int i = 13; i < 15; ++i) put(static_cast<float>(r[i]));
  }
  put(uint8_t{2}), put(int32_t{7}), put(int32_t{8}), put(uint8_t{0});
  for (const auto& f : faces) {
    put(static_cast<uint8_t>(f[0]));
    for (int i = 1; i <= f[0]; ++i) put(static_cast<uint32_t>(f[i]));
    put(uint8_t{1});
  }
  return header + body;
}

TEST(PlyReader, ReadsEveryEncodingAlike) {
  const fs::path folder = fs::temp_directory_path() / "mesh_formats_test_ply";
  fs::create_directories(folder);
  { std::FILE* f = std::fopen((folder / "tex.png").c_str(), "wb"); std::fclose(f); }
  MeshReadOptions options;
  options.folder = folder;
  const Read ascii = readText(Format::kPly, plyFile("ascii"), options);
  ASSERT_TRUE(ascii.ok) << ascii.messages;
  const MeshPrimitive& p = only(ascii);
  EXPECT_EQ(p.mode, PrimitiveMode::kTriangles);
  EXPECT_EQ(p.indices, (std::vector<uint32_t>{0, 1, 2, 0, 2, 3, 0, 1, 4}));
  EXPECT_EQ(p.vertexCount(), 5u);
  EXPECT_FLOAT_EQ(p.positions[14], 2);
  EXPECT_FLOAT_EQ(p.normals[2], 1);                 // unit length
  EXPECT_FLOAT_EQ(p.colors[0], 1);                  // 255: linear 1
  EXPECT_NEAR(p.colors[12], 0.2158605f, 1e-6);      // 128: an sRGB display value made linear
  EXPECT_FLOAT_EQ(p.texCoords[0][2 * 2 + 1], 0);    // t 1 at the top: v 0
  EXPECT_FLOAT_EQ(p.texCoords[0][1], 1);
  ASSERT_EQ(ascii.asset.images.size(), 1u);
  EXPECT_EQ(ascii.asset.images[0].path, folder / "tex.png");
  EXPECT_EQ(ascii.asset.materials.at(0).baseColorTexture.image, 0);
  EXPECT_NE(ascii.messages.find("1 faces of fewer than three corners left out"), std::string::npos) << ascii.messages;
  EXPECT_EQ(lineCount(ascii.messages), 1u);
  for (const char* format : {"binary_little_endian", "binary_big_endian"}) {
    const Read binary = readText(Format::kPly, plyFile(format), options);
    ASSERT_TRUE(binary.ok) << format << binary.messages;
    expectSameAssets(ascii.asset, binary.asset);
    readEveryPrefix(Format::kPly, plyFile(format));
  }
  readEveryPrefix(Format::kPly, plyFile("ascii"));
  fs::remove_all(folder);
}

TEST(PlyReader, ReadsStripsPointCloudsAndHeadersThatLie) {
  const std::string strips =
      "ply\nformat ascii 1.0\nelement vertex 5\nproperty float x\nproperty float y\nproperty float z\n"
      "element tristrips 1\nproperty list int int vertex_indices\nend_header\n"
      "0 0 0\n1 0 0\n0 1 0\n1 1 0\n2 2 0\n7 0 1 2 3 -1 3 4\n";
  const Read s = readText(Format::kPly, strips);
  ASSERT_TRUE(s.ok) << s.messages;
  EXPECT_EQ(only(s).indices, (std::vector<uint32_t>{0, 1, 2, 2, 1, 3}));  // every other one turned

  const Read points = readText(Format::kPly, "ply\r\nformat ascii 1.0\r\nelement vertex 2\r\nproperty float x\r\n"
                                             "property float y\r\nproperty float z\r\nend_header\r\n1 2 3\r\n4 5 nan\r\n");
  ASSERT_TRUE(points.ok) << points.messages;
  EXPECT_EQ(only(points).mode, PrimitiveMode::kPoints);
  EXPECT_EQ(only(points).indices, (std::vector<uint32_t>{0, 1}));
  EXPECT_NE(points.messages.find("1 vertices with non-finite coordinates"), std::string::npos);

  // Ten billion vertices in a few bytes: the lists are made for what the file can hold, and
  // the read ends where the file does, with one warning.
  const std::string lie = "ply\nformat binary_little_endian 1.0\nelement vertex 10000000000\nproperty float x\n"
                          "property float y\nproperty float z\nend_header\n" + std::string(24, '\0');
  const Read cut = readText(Format::kPly, lie);
  ASSERT_TRUE(cut.ok) << cut.messages;
  EXPECT_EQ(only(cut).vertexCount(), 2u);
  EXPECT_NE(cut.messages.find("ends after 2 of the 10000000000 \"vertex\" elements"), std::string::npos) << cut.messages;
  const Read badIndex = readText(Format::kPly, "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\n"
                                               "property float z\nelement face 2\nproperty list uchar int vertex_index\n"
                                               "end_header\n0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n3 0 1 9\n");
  ASSERT_TRUE(badIndex.ok);
  EXPECT_EQ(only(badIndex).elementCount(), 1u);
  EXPECT_NE(badIndex.messages.find("1 faces left out: a corner outside the 3 vertices"), std::string::npos);
  EXPECT_FALSE(readText(Format::kPly, "ply\nformat ascii 1.0\nelement vertex 1\nproperty fluffy x\nend_header\n").ok);
  // The body ends in an element before the vertices: none were read.
  const Read none = readText(Format::kPly, "ply\nformat ascii 1.0\nelement extra 3\nproperty float a\nelement vertex 2\n"
                                           "property float x\nproperty float y\nproperty float z\nend_header\n1\n2\n");
  EXPECT_FALSE(none.ok);
  EXPECT_NE(none.messages.find("holds no vertices"), std::string::npos) << none.messages;
  EXPECT_EQ(lineCount(none.messages), 1u);
}

TEST(PlyReader, GivesTheSameMeshOnOneThreadAndOnMany) {
  std::string text = "ply\nformat ascii 1.0\nelement vertex 40000\nproperty float x\nproperty float y\nproperty float z\n"
                     "element face 39601\nproperty list uchar int vertex_indices\nend_header\n";
  for (int r = 0; r < 200; ++r) {
    for (int c = 0; c < 200; ++c) text += std::to_string(c * 0.5) + " " + std::to_string(r * 0.25) + " " + std::to_string((r * c) % 7) + "\n";
  }
  for (int r = 0; r < 199; ++r) {
    for (int c = 0; c < 199; ++c) {
      const int a = r * 200 + c;
      text += "4 " + std::to_string(a) + " " + std::to_string(a + 1) + " " + std::to_string(a + 201) + " " + std::to_string(a + 200) + "\n";
    }
  }
  MeshReadOptions one, many;
  one.threads = 1;
  many.threads = 3;
  many.blockBytes = 5000;
  const Read a = readText(Format::kPly, text, one), b = readText(Format::kPly, text, many);
  ASSERT_TRUE(a.ok && b.ok) << a.messages << b.messages;
  expectSameAssets(a.asset, b.asset);
  EXPECT_EQ(only(a).elementCount(), 2u * 199 * 199);
}

// ---- OBJ ----

const std::map<std::string, std::string> kLibraries = {
    {"a.mtl", "newmtl plain\nKd 0.5 0.5 0.5\nNs 100\nKs 0.5 0.5 0.5\n"
              "newmtl textured\nKd 0.2 0.2 0.2\nmap_Kd -s 2 2 -o 0.25 0.5 -clamp on my texture.png\nd 0.5\n"},
    {"b.mtl", "newmtl pbr\nPr 0.25\nPm 1\nmap_Pr -imfchan g rough.png\nmap_Pm metal.png\nmap_Ke glow.png\n"
              "norm -bm 0.5 normal.png\nillum 0\nnewmtl matte\nKs 0 0 0\nNs 500\n"},
};

TEST(ObjReader, ReadsCornersGroupsMaterialsAndTheMaterialRule) {
  const std::string text =
      "mtllib a.mtl b.mtl\n"
      "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0 0.5 0.5 0.5\n"
      "vt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\nvn 0 0 1\n"
      "o first\nusemtl plain\nf 1/1/1 2/2/1 3/3/1 4/4/1\n"  // a quad: two triangles, four vertices
      "usemtl textured\nf -4/-4 -3/-3 -2/-2\n"             // relative, v/vt
      "g second\nusemtl pbr\nf 1//1 \\\n 2//1 3//1\nl 1 2 3\np 4\nusemtl nowhere\nf 1 2 3\n";
  MeshReadOptions options;
  options.files = &kLibraries;
  options.folder = "/models";
  const Read r = readText(Format::kObj, text, options);
  ASSERT_TRUE(r.ok) << r.messages;
  ASSERT_EQ(r.asset.meshes.size(), 2u);
  EXPECT_EQ(r.asset.meshes[0].name, "first");
  EXPECT_EQ(r.asset.nodes[1].name, "second");
  ASSERT_EQ(r.asset.meshes[0].primitives.size(), 2u);
  const MeshPrimitive& quad = r.asset.meshes[0].primitives[0];
  EXPECT_EQ(quad.indices, (std::vector<uint32_t>{0, 1, 2, 0, 2, 3}));
  EXPECT_EQ(quad.texCoords[0], (std::vector<float>{0, 1, 1, 1, 1, 0, 0, 0}));  // v flipped
  EXPECT_EQ(quad.normals.size(), 12u);
  EXPECT_NEAR(quad.colors[12], 0.2140411f, 1e-6);  // 0.5 displayed: linear
  const MeshPrimitive& tri = r.asset.meshes[0].primitives[1];
  EXPECT_EQ(tri.vertexCount(), 3u);
  EXPECT_TRUE(tri.normals.empty());  // its corners give none
  const std::vector<MeshPrimitive>& second = r.asset.meshes[1].primitives;
  ASSERT_EQ(second.size(), 4u);
  EXPECT_EQ(second[0].mode, PrimitiveMode::kTriangles);  // the continued line
  EXPECT_EQ(second[1].mode, PrimitiveMode::kLines);
  EXPECT_EQ(second[1].elementCount(), 2u);
  EXPECT_EQ(second[2].mode, PrimitiveMode::kPoints);
  EXPECT_EQ(second[3].material, -1);
  EXPECT_NE(r.messages.find("1 materials used but not defined (\"nowhere\")"), std::string::npos) << r.messages;

  ASSERT_EQ(r.asset.materials.size(), 4u);
  ASSERT_EQ(r.extras.size(), 4u);
  const MaterialDescription& plain = r.asset.materials[0];
  EXPECT_NEAR(plain.baseColor[0], 0.2140411f, 1e-6);
  EXPECT_EQ(plain.metallic, 0);
  EXPECT_NEAR(plain.roughness, std::pow(2.0 / 102, 0.25), 1e-6);
  EXPECT_TRUE(plain.doubleSided);
  const MaterialDescription& textured = r.asset.materials[1];
  EXPECT_EQ(textured.baseColor[0], 1);  // the image alone colours
  EXPECT_EQ(textured.baseColor[3], 0.5f);
  EXPECT_EQ(textured.alphaMode, AlphaMode::kBlend);
  ASSERT_TRUE(textured.baseColorTexture.present());
  EXPECT_EQ(r.asset.images[static_cast<std::size_t>(textured.baseColorTexture.image)].path, fs::path("/models/my texture.png"));
  EXPECT_TRUE(textured.baseColorTexture.hasTransform);
  EXPECT_EQ(textured.baseColorTexture.transform.offset[1], 1 - 2 - 0.5f);
  EXPECT_EQ(r.asset.samplers.at(static_cast<std::size_t>(textured.baseColorTexture.sampler)).wrapS, TextureWrap::kClampToEdge);
  const MaterialDescription& pbr = r.asset.materials[2];
  EXPECT_EQ(pbr.roughness, 0.25f);
  EXPECT_EQ(pbr.metallic, 1);
  EXPECT_TRUE(pbr.unlit);
  EXPECT_EQ(pbr.emissive[0], 1);  // map_Ke without Ke
  EXPECT_TRUE(pbr.normalTexture.present());
  EXPECT_EQ(pbr.normalScale, 0.5f);
  EXPECT_TRUE(r.extras[2].roughness.present() && r.extras[2].metallic.present());
  EXPECT_EQ(r.extras[2].roughnessChannel, 1);
  EXPECT_EQ(r.asset.materials[3].roughness, 1);  // black Ks: no highlight, whatever Ns says
  EXPECT_EQ(r.asset.upAxis, UpAxis::kY);
}

TEST(ObjReader, LeavesOutBadFacesAndMissingFilesWithOneWarningEach) {
  const std::map<std::string, std::string> none;
  MeshReadOptions options;
  const fs::path folder = fs::temp_directory_path() / "mesh_formats_test_obj";
  fs::create_directories(folder);
  { std::FILE* f = std::fopen((folder / "here.mtl").c_str(), "w"); std::fputs("newmtl m\nmap_Kd gone.png\n", f); std::fclose(f); }
  options.folder = folder;
  const Read r = readText(Format::kObj,
                          "mtllib missing.mtl here.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nv nan 0 0\nusemtl m\n"
                          "f 1 2 3\nf 0 1 2\nf 1 2 9\nf 1 2 -7\nf 1 2 x\nf 1 2\nf 1/1 2 3\nf 1 2 4\n",
                          options);
  ASSERT_TRUE(r.ok) << r.messages;
  EXPECT_EQ(only(r).elementCount(), 2u);
  EXPECT_NE(r.messages.find("material library \"missing.mtl\" cannot be read"), std::string::npos) << r.messages;
  EXPECT_NE(r.messages.find("texture \"gone.png\" not found"), std::string::npos);
  EXPECT_NE(r.messages.find("5 faces, lines or points left out"), std::string::npos);
  EXPECT_NE(r.messages.find("1 faces of fewer than three corners"), std::string::npos);
  EXPECT_NE(r.messages.find("1 vertices with non-finite coordinates"), std::string::npos);
  EXPECT_EQ(lineCount(r.messages), 5u);
  fs::remove_all(folder);

  // A face of a million corners: fanned, no more.
  std::string huge = "v 0 0 0\nv 1 0 0\nv 1 1 0\nf";
  for (int i = 0; i < 1000000; ++i) huge += i % 3 == 0 ? " 1" : i % 3 == 1 ? " 2" : " 3";
  const Read big = readText(Format::kObj, huge + "\n");
  ASSERT_TRUE(big.ok);
  EXPECT_EQ(only(big).elementCount(), 999998u);

  const Read cloud = readText(Format::kObj, "# scan\nv 1 2 3\nv 4 5 6\n");
  EXPECT_EQ(only(cloud).mode, PrimitiveMode::kPoints);
  EXPECT_FALSE(readText(Format::kObj, "v 0 0 0\nf 0 0 0\n").ok);
  readEveryPrefix(Format::kObj, "mtllib a.mtl\nv 0 0 0 1 0 0\nv 1 0 0\nvt 0 1\nvn 0 0 1\ng x\nusemtl m\nf 1/1/1 2/1/1 -1//1\nl 1 2\n");
}

TEST(ObjReader, GivesTheSameMeshOnOneThreadAndOnMany) {
  // Two objects with two materials (vertices shared between primitives), then one alone.
  std::string shared, single;
  for (int r = 0; r < 120; ++r) {
    for (int c = 0; c < 120; ++c) {
      const std::string v = "v " + std::to_string(c) + " " + std::to_string(r) + " " + std::to_string((c * r) % 5) + "\n";
      shared += v + "vt " + std::to_string(c / 120.0) + " " + std::to_string(r / 120.0) + "\n";
      single += v + "vn 0 0 1\n";
    }
  }
  for (int r = 0; r < 119; ++r) {
    if (r == 60) shared += "o other\n";
    shared += r % 2 == 0 ? "usemtl a\n" : "usemtl b\n";
    for (int c = 0; c < 119; ++c) {
      const int a = r * 120 + c + 1;
      shared += "f " + std::to_string(a) + "/" + std::to_string(a) + " " + std::to_string(a + 1) + "/" + std::to_string(a + 1) +
                " " + std::to_string(a + 121) + "/" + std::to_string(a + 121) + " " + std::to_string(a + 120) + "/" +
                std::to_string(a + 120) + "\n";
      single += "f " + std::to_string(a) + "//" + std::to_string(a) + " " + std::to_string(a + 1) + "//" + std::to_string(a + 1) +
                " " + std::to_string(a + 121) + "//" + std::to_string(a + 121) + "\n";
    }
  }
  single += "f 14281//14281 14282//14282 14161//14161\n";  // the one corner the rows leave out
  for (const std::string& text : {shared, single}) {
    MeshReadOptions one, many;
    one.threads = 1;
    many.threads = 4;
    many.blockBytes = 3000;
    const Read a = readText(Format::kObj, text, one), b = readText(Format::kObj, text, many);
    ASSERT_TRUE(a.ok && b.ok) << a.messages << b.messages;
    expectSameAssets(a.asset, b.asset);
  }
  const Read s = readText(Format::kObj, single);
  EXPECT_EQ(only(s).vertexCount(), 14400u);  // the v list itself
}

// ---- the format table ----

TEST(MeshFormats, SniffTheirFiles) {
  const std::string binary = binaryStl({{0, 0, 0, 1, 0, 0, 0, 1, 0}});
  EXPECT_EQ(sniffStl<Sniff>(bytesOf(binary), binary.size()), Sniff::kMaybe);
  EXPECT_EQ(sniffStl<Sniff>(bytesOf(binary), binary.size() + 1), Sniff::kNo);
  const std::string ascii = asciiStl({{0, 0, 0, 1, 0, 0, 0, 1, 0}}, "x");
  EXPECT_EQ(sniffStl<Sniff>(bytesOf(ascii), ascii.size()), Sniff::kYes);
  EXPECT_EQ(sniffPly<Sniff>(bytesOf("ply\r\nformat"), 12), Sniff::kYes);
  EXPECT_EQ(sniffPly<Sniff>(bytesOf("plywood\n"), 8), Sniff::kNo);
  EXPECT_EQ(sniffObj<Sniff>(bytesOf("# x\nv 1 2 3\nvn 0 0 1\nf 1//1 1//1 1//1\n"), 37), Sniff::kMaybe);
  EXPECT_EQ(sniffObj<Sniff>(bytesOf("#!/bin/sh\necho hi\n"), 18), Sniff::kNo);
  EXPECT_EQ(sniffObj<Sniff>(bytesOf(binary), binary.size()), Sniff::kNo);
  EXPECT_NE(mimePackage().find("<match type=\"string\" offset=\"0\" value=\"ply\\n\"/>"), std::string::npos);
}

}  // namespace
