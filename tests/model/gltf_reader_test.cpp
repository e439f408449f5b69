// The glTF reader on Debian's glTF test models (assimp-testmodels): every file reads, or fails
// with one line; the ones that read place the instances, triangles and vertex box that
// glTF-Transform works out for them (tests/model/gltf_expect.mjs, when node and the modules
// scripts/test installs are there). Then small inline documents, one rule each.
#include "model/gltf/gltf_reader.h"

#include <gtest/gtest.h>
#include <meshoptimizer.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "model/matrix_math.h"
#include "model/model_format.h"

namespace {

namespace fs = std::filesystem;

const fs::path kModels = "/usr/share/assimp/models/glTF2";

struct Outcome {
  bool ok = false;
  std::vector<std::string> errors, warnings;  // the lines on stderr
  ModelAsset asset;
};

void splitLines(const std::string& text, Outcome& out) {
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    (line.rfind("Warning: ", 0) == 0 ? out.warnings : out.errors).push_back(line);
  }
}

Outcome readFile(const fs::path& file) {
  Outcome out;
  testing::internal::CaptureStderr();
  out.ok = readGltf(file, out.asset);
  splitLines(testing::internal::GetCapturedStderr(), out);
  return out;
}

Outcome readText(const std::string& document) {
  Outcome out;
  testing::internal::CaptureStderr();
  const auto* bytes = reinterpret_cast<const uint8_t*>(document.data());
  out.ok = readGltfBytes({bytes, document.size()}, {.name = "test.gltf"}, out.asset);
  splitLines(testing::internal::GetCapturedStderr(), out);
  return out;
}

// What a scene places: mesh instances, triangles and the box of every vertex at its world.
struct Placed {
  uint64_t instances = 0, triangles = 0;
  double min[3] = {INFINITY, INFINITY, INFINITY}, max[3] = {-INFINITY, -INFINITY, -INFINITY};
};

Placed placedOf(const ModelAsset& asset) {
  Placed placed;
  const std::vector<Matrix4> worlds = nodeWorlds(asset);
  for (std::size_t n = 0; n < asset.nodes.size(); ++n) {
    const AssetNode& node = asset.nodes[n];
    if (node.mesh < 0) continue;
    std::vector<Matrix4> at;
    for (const Matrix4& p : node.placements) {
      MatrixMultiply(at.emplace_back(), p, worlds[n]);
    }
    if (node.placements.empty()) at.push_back(worlds[n]);
    for (const Matrix4& m : at) {
      ++placed.instances;
      for (const MeshPrimitive& p : asset.meshes[static_cast<std::size_t>(node.mesh)].primitives) {
        if (p.mode == PrimitiveMode::kTriangles) placed.triangles += p.elementCount();
        for (std::size_t v = 0; v < p.vertexCount(); ++v) {
          const float* q = &p.positions[v * 3];
          for (int k = 0; k < 3; ++k) {
            const double w = double{q[0]} * m[k] + double{q[1]} * m[4 + k] + double{q[2]} * m[8 + k] + m[12 + k];
            placed.min[k] = std::min(placed.min[k], w);
            placed.max[k] = std::max(placed.max[k], w);
          }
        }
      }
    }
  }
  return placed;
}

std::vector<fs::path> testModels() {
  std::vector<fs::path> files;
  if (!fs::is_directory(kModels)) return files;
  for (const auto& entry : fs::recursive_directory_iterator(kModels)) {
    const std::string ext = entry.path().extension().string();
    if (ext == ".gltf" || ext == ".glb") files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

// The deliberately broken files, with a word of the one line each fails with.
const std::map<std::string, std::string> kBroken = {
    {"BoxTextured-glTF-techniqueWebGL/BoxTextured.gltf", "requires the extension KHR_technique_webgl"},
    {"BoxWithInfinites-glTF-Binary/BoxWithInfinites.glb", "no finite number"},
    {"IncorrectVertexArrays/Cube.gltf", "lie beyond the 514 bytes of buffers[0]"},
    {"IndexOutOfRange/AllIndicesOutOfRange.gltf", "beyond the 24 vertices"},
    {"IndexOutOfRange/IndexOutOfRange.gltf", "beyond the 24 vertices"},
    {"MissingBin/BoxTextured.gltf", "BoxTextured0.bin"},
    {"RecursiveNodes/RecursiveNodes.gltf", "nothing to draw"},
    {"SchemaFailures/sceneWrongType.gltf", "scene: a whole number, not a string"},
    {"TestNoRootNode/NoScene.gltf", "scene: 0 is beyond the 0 scenes"},
    {"TestNoRootNode/SceneWithoutNodes.gltf", "nothing to draw"},
    {"wrongTypes/badArray.gltf", "primitives: an array, not an object"},
    {"wrongTypes/badExtension.gltf", "KHR_texture_transform: an object, not a string"},
    {"wrongTypes/badNumber.gltf", "normalTexture.scale: a number, not a string"},
    {"wrongTypes/badObject.gltf", "pbrMetallicRoughness: an object, not an array"},
    {"wrongTypes/badUint.gltf", "index: -1 is negative"},
};

TEST(GltfTestModels, EachReadsOrFailsWithOneLine) {
  const std::vector<fs::path> files = testModels();
  if (files.empty()) GTEST_SKIP() << kModels << " is missing (Debian package assimp-testmodels)";
  for (const fs::path& file : files) {
    const std::string name = fs::relative(file, kModels).string();
    SCOPED_TRACE(name);
    const Outcome out = readFile(file);
    const auto broken = kBroken.find(name);
    if (broken == kBroken.end()) {
      EXPECT_TRUE(out.ok);
      EXPECT_TRUE(out.errors.empty()) << out.errors.front();
      EXPECT_EQ(out.asset.upAxis, UpAxis::kY);
      EXPECT_EQ(out.asset.metresPerUnit, 1.0);
      // Every file the reader reads is one the format table sends to it.
      EXPECT_STREQ(formatOfFile(file) != nullptr ? std::string(formatOfFile(file)->name).c_str() : "", "glTF");
    } else {
      EXPECT_FALSE(out.ok);
      ASSERT_EQ(out.errors.size(), 1u);
      EXPECT_EQ(out.errors[0].rfind(file.string() + ": ", 0), 0u) << out.errors[0];
      EXPECT_NE(out.errors[0].find(broken->second), std::string::npos) << out.errors[0];
    }
  }
}

// The folder of the build (this program is BUILD/tests/model/gltf_reader_test), where
// scripts/test installs glTF-Transform.
fs::path nodeModules() {
  std::error_code error;
  const fs::path exe = fs::read_symlink("/proc/self/exe", error);
  return exe.parent_path().parent_path().parent_path() / "gltf-transform" / "node_modules";
}

TEST(GltfTestModels, PlaceWhatGltfTransformPlaces) {
  const std::vector<fs::path> files = testModels();
  const fs::path modules = nodeModules();
  if (files.empty()) GTEST_SKIP() << kModels << " is missing (Debian package assimp-testmodels)";
  if (std::system("command -v node >/dev/null 2>&1") != 0 || !fs::is_directory(modules / "@gltf-transform")) {
    GTEST_SKIP() << "SKIPPED: node or glTF-Transform under " << modules
                 << " is missing (scripts/test installs it with npm); the counts and boxes are not compared";
  }
  std::string command = "timeout 300 node '" + (fs::path(__FILE__).parent_path() / "gltf_expect.mjs").string() + "' '" +
                        modules.string() + "'";
  for (const fs::path& file : files) command += " '" + file.string() + "'";
  std::FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string text;
  char chunk[4096];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) text.append(chunk, n);
  ASSERT_EQ(::pclose(pipe), 0) << "the glTF-Transform script failed";
  std::istringstream lines(text);
  std::size_t compared = 0;
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string status, path;
    std::getline(fields, status, '\t');
    std::getline(fields, path, '\t');
    const std::string name = fs::relative(path, kModels).string();
    if (status != "OK" || kBroken.count(name) != 0) continue;
    SCOPED_TRACE(name);
    Placed expected;
    fields >> expected.instances >> expected.triangles >> expected.min[0] >> expected.min[1] >> expected.min[2] >>
        expected.max[0] >> expected.max[1] >> expected.max[2];
    const Outcome out = readFile(path);
    ASSERT_TRUE(out.ok);
    const Placed placed = placedOf(out.asset);
    EXPECT_EQ(placed.instances, expected.instances);
    EXPECT_EQ(placed.triangles, expected.triangles);
    double diagonal = 0;
    for (int k = 0; k < 3; ++k) diagonal += (expected.max[k] - expected.min[k]) * (expected.max[k] - expected.min[k]);
    const double tolerance = 0.001 * std::sqrt(diagonal) + 1e-9;
    for (int k = 0; k < 3; ++k) {
      EXPECT_NEAR(placed.min[k], expected.min[k], tolerance) << "axis " << k;
      EXPECT_NEAR(placed.max[k], expected.max[k], tolerance) << "axis " << k;
    }
    ++compared;
  }
  EXPECT_GE(compared, 25u);
}

// ---- inline documents ----

std::string base64(const std::vector<uint8_t>& bytes) {
  static const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const std::size_t n = bytes.size();
  std::string out;
  for (std::size_t i = 0; i < n; i += 3) {
    const uint32_t v = uint32_t{bytes[i]} << 16 | (i + 1 < n ? uint32_t{bytes[i + 1]} << 8 : 0) |
                       (i + 2 < n ? uint32_t{bytes[i + 2]} : 0);
    out += digits[v >> 18 & 63];
    out += digits[v >> 12 & 63];
    out += i + 1 < n ? digits[v >> 6 & 63] : '=';
    out += i + 2 < n ? digits[v & 63] : '=';
  }
  return out;
}

// Bytes of a buffer, written value by value.
struct Bin {
  std::vector<uint8_t> bytes;
  template <class T>
  Bin& add(std::initializer_list<T> values) {
    for (T v : values) {
      const auto* p = reinterpret_cast<const uint8_t*>(&v);
      bytes.insert(bytes.end(), p, p + sizeof v);
    }
    return *this;
  }
  std::string uri() const { return "data:application/octet-stream;base64," + base64(bytes); }
};

// A document with one buffer (`bin`), "$URI" and "$LEN" in `json` standing for its data URI and
// its length.
std::string document(std::string json, const Bin& bin) {
  for (const auto& [key, value] :
       {std::pair<std::string, std::string>{"$URI", bin.uri()}, {"$LEN", std::to_string(bin.bytes.size())}}) {
    for (std::size_t at; (at = json.find(key)) != std::string::npos;) json.replace(at, key.size(), value);
  }
  return json;
}

// A quad in z = 0 (positions at 0, uv at 48, indices at 80): the common part of many cases.
Bin quadBin() {
  Bin b;
  b.add<float>({0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0});
  b.add<float>({0, 1, 1, 1, 1, 0, 0, 0});
  b.add<uint16_t>({0, 1, 2, 0, 2, 3});
  return b;
}

constexpr const char* kQuadHead = R"({"asset":{"version":"2.0"},"buffers":[{"uri":"$URI","byteLength":$LEN}],
  "bufferViews":[{"buffer":0,"byteOffset":0,"byteLength":48},{"buffer":0,"byteOffset":48,"byteLength":32},
                 {"buffer":0,"byteOffset":80,"byteLength":12}],
  "accessors":[{"bufferView":0,"componentType":5126,"count":4,"type":"VEC3"},
               {"bufferView":1,"componentType":5126,"count":4,"type":"VEC2"},
               {"bufferView":2,"componentType":5123,"count":6,"type":"SCALAR"}],)";

std::string quad(const std::string& rest) { return document(std::string(kQuadHead) + rest, quadBin()); }

// kQuadHead with more buffer views after its three and more accessors after its three.
std::string quadHeadWith(const std::string& views, const std::string& accessors) {
  std::string head = kQuadHead;
  const std::string lastView = R"({"buffer":0,"byteOffset":80,"byteLength":12})";
  head.insert(head.find(lastView) + lastView.size(), views);
  head.insert(head.rfind("]"), accessors);
  return head;
}

struct Case {
  const char* behaviour;
  std::string document;
  const char* error;  // a word of the error line, or null when it reads
  std::size_t warnings;
  std::function<void(const ModelAsset&)> check;
};

const MeshPrimitive& firstPrimitive(const ModelAsset& a) { return a.meshes.at(0).primitives.at(0); }

std::vector<Case> cases() {
  std::vector<Case> list;
  const std::string scene = R"("scenes":[{"nodes":[0]}],"nodes":[{"mesh":0}],)";
  list.push_back({"an indexed quad reads with its texture coordinates", quad(scene + R"(
      "meshes":[{"primitives":[{"attributes":{"POSITION":0,"TEXCOORD_0":1},"indices":2}]}]})"),
                  nullptr, 0, [](const ModelAsset& a) {
                    const MeshPrimitive& p = firstPrimitive(a);
                    EXPECT_EQ(p.indices, (std::vector<uint32_t>{0, 1, 2, 0, 2, 3}));
                    EXPECT_EQ(p.texCoords[0][1], 1.0f);
                    EXPECT_TRUE(p.normals.empty());  // made flat where it is drawn
                  }});
  {
    Bin b = quadBin();
    b.add<uint8_t>({2, 0, 0, 0}).add<float>({5, 6, 7});  // sparse index (at 92), value (at 96)
    list.push_back(
        {"sparse values replace the elements they name, over the buffer view's or zeros",
         document(
             quadHeadWith(
                 R"(,{"buffer":0,"byteOffset":92,"byteLength":4},{"buffer":0,"byteOffset":96,"byteLength":12})",
                 R"(,{"bufferView":0,"componentType":5126,"count":4,"type":"VEC3",
       "sparse":{"count":1,"indices":{"bufferView":3,"componentType":5121},"values":{"bufferView":4}}},
      {"componentType":5126,"count":4,"type":"VEC3",
       "sparse":{"count":1,"indices":{"bufferView":3,"componentType":5121},"values":{"bufferView":4}}})") +
                 R"("meshes":[{"primitives":[{"attributes":{"POSITION":3},"indices":2,"targets":[{"POSITION":4}]}],"weights":[0.5]}],)" +
                 scene + R"("extra":0})",
             b),
         nullptr, 0, [](const ModelAsset& a) {
           const MeshPrimitive& p = firstPrimitive(a);
           EXPECT_EQ(std::vector<float>(p.positions.begin() + 6, p.positions.begin() + 9),
                     (std::vector<float>{5, 6, 7}));
           EXPECT_EQ(p.positions[3], 1.0f);
           EXPECT_EQ(p.targets.at(0).positions, (std::vector<float>{0, 0, 0, 0, 0, 0, 5, 6, 7, 0, 0, 0}));
           EXPECT_EQ(a.meshes[0].weights, (std::vector<float>{0.5f}));
         }});
  }
  {
    Bin b;  // position, normal interleaved; then 8-bit normalized texture coordinates, 4 apart
    for (int v = 0; v < 3; ++v) b.add<float>({float(v), 0, 0, 0, 0, 1});
    b.add<uint8_t>({255, 0, 0, 0, 0, 255, 0, 0, 128, 128, 0, 0});
    b.add<int8_t>({127, -128, 0, 0, 0, 0, 127, 0, 0, 0, 127, 0});
    list.push_back({"strided views and normalized integers",
                    document(R"({"asset":{"version":"2.0"},
      "extensionsUsed":["KHR_mesh_quantization"],"extensionsRequired":["KHR_mesh_quantization"],
      "buffers":[{"uri":"$URI","byteLength":$LEN}],
      "bufferViews":[{"buffer":0,"byteLength":72,"byteStride":24},{"buffer":0,"byteOffset":72,"byteLength":12,"byteStride":4},
                     {"buffer":0,"byteOffset":84,"byteLength":12,"byteStride":4}],
      "accessors":[{"bufferView":0,"componentType":5126,"count":3,"type":"VEC3"},
                   {"bufferView":0,"byteOffset":12,"componentType":5126,"count":3,"type":"VEC3"},
                   {"bufferView":1,"componentType":5121,"normalized":true,"count":3,"type":"VEC2"},
                   {"bufferView":2,"componentType":5120,"normalized":true,"count":3,"type":"VEC3"}],
      "meshes":[{"primitives":[{"attributes":{"POSITION":0,"NORMAL":1,"TEXCOORD_0":2,"COLOR_0":3}}]},
                {"primitives":[{"attributes":{"POSITION":0,"NORMAL":3}}]}],
      "scenes":[{"nodes":[0,1]}],"nodes":[{"mesh":0},{"mesh":1}]})",
                             b),
                    nullptr, 0, [](const ModelAsset& a) {
                      const MeshPrimitive& p = firstPrimitive(a);
                      EXPECT_EQ(p.positions, (std::vector<float>{0, 0, 0, 1, 0, 0, 2, 0, 0}));
                      EXPECT_EQ(p.normals, (std::vector<float>{0, 0, 1, 0, 0, 1, 0, 0, 1}));
                      EXPECT_EQ(p.texCoords[0][0], 1.0f);
                      EXPECT_NEAR(p.texCoords[0][4], 128.0f / 255, 1e-6);
                      EXPECT_EQ(p.colors[0], 1.0f);   // 127 / 127
                      EXPECT_EQ(p.colors[1], -1.0f);  // -128 / 127, clamped
                      EXPECT_EQ(p.colors[3], 1.0f);   // RGB colours get alpha 1
                      const MeshPrimitive& q = a.meshes[1].primitives[0];
                      EXPECT_NEAR(q.normals[0], std::sqrt(0.5f), 1e-6);  // (1, -1, 0) made unit length
                      EXPECT_NEAR(q.normals[1], -std::sqrt(0.5f), 1e-6);
                    }});
  }
  const std::string strip = R"("meshes":[{"primitives":[{"attributes":{"POSITION":0},"mode":MODE}]}]})";
  const auto withMode = [&](int mode) {
    std::string s = strip;
    s.replace(s.find("MODE"), 4, std::to_string(mode));
    return quad(scene + s);
  };
  list.push_back({"a triangle strip becomes a list with every triangle facing the same way", withMode(5), nullptr, 0,
                  [](const ModelAsset& a) {
                    EXPECT_EQ(firstPrimitive(a).indices, (std::vector<uint32_t>{0, 1, 2, 1, 3, 2}));
                  }});
  list.push_back(
      {"a triangle fan becomes a list around its first vertex", withMode(6), nullptr, 0, [](const ModelAsset& a) {
         EXPECT_EQ(firstPrimitive(a).indices, (std::vector<uint32_t>{1, 2, 0, 2, 3, 0}));
       }});
  list.push_back({"a line loop becomes closed lines", withMode(2), nullptr, 0, [](const ModelAsset& a) {
                    EXPECT_EQ(firstPrimitive(a).mode, PrimitiveMode::kLines);
                    EXPECT_EQ(firstPrimitive(a).indices, (std::vector<uint32_t>{0, 1, 1, 2, 2, 3, 3, 0}));
                  }});
  list.push_back({"points stay points", withMode(0), nullptr, 0, [](const ModelAsset& a) {
                    EXPECT_EQ(firstPrimitive(a).mode, PrimitiveMode::kPoints);
                    EXPECT_EQ(firstPrimitive(a).elementCount(), 4u);
                  }});
  const std::string mesh = R"("meshes":[{"primitives":[{"attributes":{"POSITION":0},"indices":2}]}])";
  list.push_back({"an extension the document requires and the reader lacks refuses it",
                  quad(R"("extensionsUsed":["KHR_future"],"extensionsRequired":["KHR_future"],)" + scene + mesh + "}"),
                  "requires the extension KHR_future", 0, nullptr});
  list.push_back({"extensions only used and not known are one warning",
                  quad(R"("extensionsUsed":["KHR_future","EXT_other"],)" + scene + mesh + "}"), nullptr, 1,
                  [](const ModelAsset& a) { EXPECT_EQ(a.extensionsUsed.size(), 2u); }});
  list.push_back(
      {"a loop of nodes is cut once, with one warning",
       quad(
           R"("scene":0,"scenes":[{"nodes":[0]}],"nodes":[{"mesh":0,"children":[1]},{"children":[2]},{"children":[0,1]}],)" +
           mesh + "}"),
       nullptr, 1, [](const ModelAsset& a) {
         ASSERT_EQ(a.nodes.size(), 3u);
         EXPECT_EQ(a.nodes[2].parent, 1);
       }});
  {
    Bin b = quadBin();
    b.bytes[80 + 10] = 4;  // the last index names vertex 4 of 4
    list.push_back({"an index beyond the vertices fails", document(std::string(kQuadHead) + scene + mesh + "}", b),
                    "indices: index 4 (corner 5) is beyond the 4 vertices", 0, nullptr});
  }
  {
    std::string doc = quad(scene + mesh + "}");
    doc.replace(doc.find(R"("count":4,"type":"VEC3")"), 9, R"("count":5)");
    list.push_back({"an accessor that runs past its buffer view fails", doc, "run past the 48 bytes of bufferViews[0]",
                    0, nullptr});
  }
  {
    std::string doc = quad(scene + mesh + "}");
    doc.replace(doc.find(R"("count":4,"type":"VEC3")"), 9, R"("count":4000000000)");
    doc.replace(doc.find(R"("bufferView":0,"componentType":5126)"), 15, "");
    list.push_back(
        {"a huge count with no data behind it fails before allocating", doc, "with no data to hold them", 0, nullptr});
  }
  {
    std::string doc = quad(scene + mesh + "}");
    doc.replace(doc.find(R"("byteLength":92)"), 15, R"("byteLength":93)");
    list.push_back({"a data: URI shorter than its buffer's byteLength fails", doc,
                    "holds 92 bytes, fewer than its byteLength 93", 0, nullptr});
  }
  {
    Bin b = quadBin();
    b.add<float>({0, 1});                                   // key times at 92
    for (int k = 0; k < 18; ++k) b.add<float>({float(k)});  // 2 keys of in-tangent, value, out-tangent at 100
    b.add<float>({1, 1, 1, 2, 2, 2});                       // scales at 172
    const std::string head = quadHeadWith(
        R"(,{"buffer":0,"byteOffset":92,"byteLength":8},{"buffer":0,"byteOffset":100,"byteLength":72},{"buffer":0,"byteOffset":172,"byteLength":24})",
        R"(,{"bufferView":3,"componentType":5126,"count":2,"type":"SCALAR"},
           {"bufferView":4,"componentType":5126,"count":6,"type":"VEC3"},
           {"bufferView":5,"componentType":5126,"count":2,"type":"VEC3"})");
    {
    // 4,000 vertices (48 KB) named by 3,000 primitives: 144 MB of copies from 200 KB.
    Bin b;
    for (int v = 0; v < 4000; ++v) b.add<float>({float(v), 0, 0});
    std::string primitives;
    for (int i = 0; i < 3000; ++i) primitives += std::string(i ? "," : "") + R"({"attributes":{"POSITION":0}})";
    list.push_back({"one accessor named from a great many places stops at a bound of what the file holds",
                    document(R"({"asset":{"version":"2.0"},"buffers":[{"uri":"$URI","byteLength":$LEN}],
      "bufferViews":[{"buffer":0,"byteLength":48000}],
      "accessors":[{"bufferView":0,"componentType":5126,"count":4000,"type":"VEC3"}],
      "meshes":[{"primitives":[)" + primitives + R"(]}],"scenes":[{"nodes":[0]}],"nodes":[{"mesh":0}]})",
                             b),
                    "the document makes more than", 0, nullptr});
  }
  list.push_back({"nodes are written parents first; skins, animations and skeletons follow them",
                    document(head + R"("scenes":[{"nodes":[1]}],
      "nodes":[{"mesh":0,"skin":0,"translation":[1,2,3]},{"children":[2,0],"rotation":[0,0,1,1]},{"matrix":[2,0,0,0,0,2,0,0,0,0,2,0,4,5,6,1]}],
      "skins":[{"joints":[0,2],"skeleton":1}],
      "animations":[{"samplers":[{"input":3,"output":4,"interpolation":"CUBICSPLINE"},{"input":3,"output":5,"interpolation":"STEP"}],
                     "channels":[{"sampler":0,"target":{"node":0,"path":"translation"}},{"sampler":1,"target":{"node":2,"path":"scale"}}]}],)" +
                                 mesh + "}",
                             b),
                    nullptr, 0, [](const ModelAsset& a) {
                      ASSERT_EQ(a.nodes.size(), 3u);
                      EXPECT_EQ(a.nodes[0].parent, -1);
                      EXPECT_EQ(a.nodes[1].parent, 0);  // file node 2
                      EXPECT_FALSE(a.nodes[1].hasTrs);
                      EXPECT_EQ(a.nodes[1].local[12], 4.0f);
                      EXPECT_EQ(a.nodes[2].mesh, 0);  // file node 0
                      EXPECT_TRUE(a.nodes[2].hasTrs);
                      EXPECT_EQ(a.nodes[2].local[13], 2.0f);
                      EXPECT_NEAR(a.nodes[0].rotation[2], std::sqrt(0.5f), 1e-6);  // normalized
                      EXPECT_EQ(a.skins.at(0).joints, (std::vector<int32_t>{2, 1}));
                      EXPECT_EQ(a.skins[0].skeleton, 0);
                      ASSERT_EQ(a.animations.size(), 1u);
                      const AnimationClip& clip = a.animations[0];
                      EXPECT_EQ(clip.name, "Animation 1");
                      ASSERT_EQ(clip.channels.size(), 2u);
                      EXPECT_EQ(clip.channels[0].node, 2);
                      EXPECT_EQ(clip.channels[0].interpolation, Interpolation::kCubicSpline);
                      EXPECT_EQ(clip.channels[0].values.size(), 18u);
                      EXPECT_EQ(clip.channels[0].values[3], 3.0f);
                      EXPECT_EQ(clip.channels[1].node, 1);
                      EXPECT_EQ(clip.channels[1].interpolation, Interpolation::kStep);
                      EXPECT_EQ(clip.duration(), 1.0f);
                    }});
  }
  list.push_back(
      {"materials: factors, textures with their sets and transforms, samplers, extensions",
       quad(scene +
            R"("meshes":[{"primitives":[{"attributes":{"POSITION":0,"TEXCOORD_0":1},"indices":2,"material":0}]}],
      "images":[{"uri":"tex%20ture.png"},{"uri":"x.webp"},{"uri":"x.ktx2"}],"samplers":[{},{"magFilter":9728,"minFilter":9729,"wrapS":33071}],
      "textures":[{"source":0,"sampler":1},{"source":0,"extensions":{"EXT_texture_webp":{"source":1}}},
                  {"extensions":{"KHR_texture_basisu":{"source":2}}}],
      "materials":[{"pbrMetallicRoughness":{"baseColorFactor":[1,0.5,0.25,1],"metallicFactor":0,
                     "baseColorTexture":{"index":0,"texCoord":1,"extensions":{"KHR_texture_transform":{"offset":[0.5,0],"scale":[2,2],"texCoord":0}}}},
                    "emissiveTexture":{"index":1},"occlusionTexture":{"index":2,"strength":0.5},
                    "alphaMode":"MASK","alphaCutoff":0.25,"doubleSided":true,
                    "extensions":{"KHR_materials_emissive_strength":{"emissiveStrength":4},"KHR_materials_ior":{"ior":1.3},
                                  "KHR_materials_clearcoat":{"clearcoatFactor":1,"clearcoatNormalTexture":{"index":0,"scale":0.5}}}}]})"),
       nullptr, 1, [](const ModelAsset& a) {
         const MaterialDescription& m = a.materials.at(0);
         EXPECT_EQ(m.baseColor[1], 0.5f);
         EXPECT_EQ(m.metallic, 0.0f);
         EXPECT_EQ(m.baseColorTexture.image, 0);
         EXPECT_EQ(m.baseColorTexture.texCoord, 0);  // the transform's set wins
         EXPECT_TRUE(m.baseColorTexture.hasTransform);
         EXPECT_EQ(m.baseColorTexture.transform.offset[0], 0.5f);
         EXPECT_EQ(m.baseColorTexture.sampler, 1);
         EXPECT_EQ(a.samplers[1].magFilter, TextureFilter::kNearest);
         EXPECT_EQ(a.samplers[1].mipmaps, MipmapMode::kNone);
         EXPECT_EQ(a.samplers[1].wrapS, TextureWrap::kClampToEdge);
         EXPECT_EQ(a.samplers[1].wrapT, TextureWrap::kRepeat);
         EXPECT_EQ(a.samplers[0].mipmaps, MipmapMode::kLinear);
         EXPECT_EQ(m.emissiveTexture.image, 1);       // WebP replaces the fallback
         EXPECT_FALSE(m.occlusionTexture.present());  // KTX2 with no fallback
         EXPECT_EQ(m.occlusionStrength, 0.5f);
         EXPECT_EQ(m.alphaMode, AlphaMode::kMask);
         EXPECT_EQ(m.alphaCutoff, 0.25f);
         EXPECT_TRUE(m.doubleSided);
         EXPECT_EQ(m.emissiveStrength, 4.0f);
         EXPECT_EQ(m.ior, 1.3f);
         EXPECT_EQ(m.clearcoat.normalScale, 0.5f);
         EXPECT_EQ(m.extensions.size(), 3u);
         EXPECT_EQ(a.images[0].path.filename(), "tex ture.png");
       }});
  list.push_back({"specular-glossiness: a dielectric's 4% specular stays non-metal",
                  quad(scene + R"("meshes":[{"primitives":[{"attributes":{"POSITION":0},"indices":2,"material":0}]}],
      "materials":[{"extensions":{"KHR_materials_pbrSpecularGlossiness":{"diffuseFactor":[0.5,0.5,0.5,1],
                    "specularFactor":[0.04,0.04,0.04],"glossinessFactor":0.75}}},
                   {"extensions":{"KHR_materials_pbrSpecularGlossiness":{"diffuseFactor":[0,0,0,1],
                    "specularFactor":[0.9,0.8,0.7]}}}]})"),
                  nullptr, 0, [](const ModelAsset& a) {
                    EXPECT_EQ(a.materials[0].metallic, 0.0f);
                    EXPECT_NEAR(a.materials[0].roughness, 0.25f, 1e-6);
                    EXPECT_NEAR(a.materials[0].baseColor[0], 0.5f * 0.96f / 0.96f, 1e-5);
                    EXPECT_GT(a.materials[1].metallic, 0.9f);  // a gold-like specular is metal
                    EXPECT_NEAR(a.materials[1].baseColor[0], 0.9f, 0.05f);
                  }});
  {
    // Two quads sharing the edge x = 1, the second's u mirrored: normal-mapped, no tangents.
    Bin b;
    b.add<float>({0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0, 2, 0, 0, 2, 1, 0});
    for (int v = 0; v < 6; ++v) b.add<float>({0, 0, 1});
    b.add<float>({0, 1, 1, 1, 1, 0, 0, 0, 0, 1, 0, 0});
    b.add<uint16_t>({0, 1, 2, 0, 2, 3, 1, 4, 5, 1, 5, 2});
    list.push_back({"a normal map without tangents gets MikkTSpace ones; a mirrored half splits its seam",
                    document(R"({"asset":{"version":"2.0"},"buffers":[{"uri":"$URI","byteLength":$LEN}],
      "bufferViews":[{"buffer":0,"byteLength":72},{"buffer":0,"byteOffset":72,"byteLength":72},
                     {"buffer":0,"byteOffset":144,"byteLength":48},{"buffer":0,"byteOffset":192,"byteLength":24}],
      "accessors":[{"bufferView":0,"componentType":5126,"count":6,"type":"VEC3"},
                   {"bufferView":1,"componentType":5126,"count":6,"type":"VEC3"},
                   {"bufferView":2,"componentType":5126,"count":6,"type":"VEC2"},
                   {"bufferView":3,"componentType":5123,"count":12,"type":"SCALAR"}],
      "images":[{"uri":"n.png"}],"textures":[{"source":0}],"materials":[{"normalTexture":{"index":0}}],
      "meshes":[{"primitives":[{"attributes":{"POSITION":0,"NORMAL":1,"TEXCOORD_0":2},"indices":3,"material":0}]}],)" +
                                 scene + R"("extra":0})",
                             b),
                    nullptr, 0, [](const ModelAsset& a) {
                      const MeshPrimitive& p = firstPrimitive(a);
                      ASSERT_EQ(p.vertexCount(), 8u);  // vertices 1 and 2 split
                      ASSERT_EQ(p.tangents.size(), 32u);
                      for (std::size_t corner = 0; corner < 12; ++corner) {
                        const uint32_t v = p.indices[corner];
                        const float expectedX = corner < 6 ? 1.0f : -1.0f;  // along increasing u
                        EXPECT_NEAR(p.tangents[v * 4], expectedX, 1e-5) << corner;
                        EXPECT_NEAR(p.tangents[v * 4 + 1], 0, 1e-5) << corner;
                        // Bitangent up the image (+y) on both halves: w flips with the mirror.
                        EXPECT_EQ(p.tangents[v * 4 + 3], expectedX) << corner;
                      }
                    }});
  }
  {
    Bin b = quadBin();
    b.add<float>({0, 0, 0, 10, 0, 0});  // translations at 92
    list.push_back({"GPU instancing: each instance becomes a placement relative to its node",
                    document(quadHeadWith(R"(,{"buffer":0,"byteOffset":92,"byteLength":24})",
                                          R"(,{"bufferView":3,"componentType":5126,"count":2,"type":"VEC3"})") +
                                 R"(
      "extensionsUsed":["EXT_mesh_gpu_instancing"],
      "scenes":[{"nodes":[0]}],"nodes":[{"mesh":0,"translation":[0,0,5],
        "extensions":{"EXT_mesh_gpu_instancing":{"attributes":{"TRANSLATION":3}}}}],)" +
                                 mesh + "}",
                             b),
                    nullptr, 0, [](const ModelAsset& a) {
                      ASSERT_EQ(a.nodes[0].placements.size(), 2u);
                      EXPECT_EQ(a.nodes[0].placements[1][12], 10.0f);
                      const Placed placed = placedOf(a);
                      EXPECT_EQ(placed.instances, 2u);
                      EXPECT_EQ(placed.max[0], 11.0);
                      EXPECT_EQ(placed.min[2], 5.0);
                    }});
  }
  {
    // Positions and indices meshopt-encoded into buffer 1; buffer 0 is their fallback with no
    // data. A view with a filter this meshoptimizer lacks reads its fallback copy instead.
    const float positions[] = {0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0};
    const uint32_t indices[] = {0, 1, 2, 0, 2, 3};
    std::vector<uint8_t> encoded(meshopt_encodeVertexBufferBound(4, 12) + meshopt_encodeIndexBufferBound(6, 4));
    const std::size_t vertexBytes = meshopt_encodeVertexBuffer(encoded.data(), encoded.size(), positions, 4, 12);
    const std::size_t indexBytes =
        meshopt_encodeIndexBuffer(encoded.data() + vertexBytes, encoded.size() - vertexBytes, indices, 6);
    encoded.resize(vertexBytes + indexBytes);
    Bin compressed{encoded};
    Bin fallback = quadBin();
    std::string doc = R"({"asset":{"version":"2.0"},"extensionsUsed":["EXT_meshopt_compression"],
      "extensionsRequired":["EXT_meshopt_compression"],
      "buffers":[{"byteLength":72,"extensions":{"EXT_meshopt_compression":{"fallback":true}}},{"uri":"$C","byteLength":$CL},
                 {"uri":"$URI","byteLength":$LEN}],
      "bufferViews":[{"buffer":0,"byteLength":48,"byteStride":12,"extensions":{"EXT_meshopt_compression":
                       {"buffer":1,"byteLength":VB,"byteStride":12,"count":4}}},
                     {"buffer":0,"byteOffset":48,"byteLength":24,"extensions":{"EXT_meshopt_compression":
                       {"buffer":1,"byteOffset":VB,"byteLength":IB,"byteStride":4,"count":6,"mode":"TRIANGLES"}}},
                     {"buffer":2,"byteLength":48,"byteStride":12,"extensions":{"EXT_meshopt_compression":
                       {"buffer":1,"byteLength":VB,"byteStride":12,"count":4,"filter":"COLOR"}}}],
      "accessors":[{"bufferView":0,"componentType":5126,"count":4,"type":"VEC3"},
                   {"bufferView":1,"componentType":5125,"count":6,"type":"SCALAR"},
                   {"bufferView":2,"componentType":5126,"count":4,"type":"VEC3"}],
      "meshes":[{"primitives":[{"attributes":{"POSITION":0},"indices":1}]},{"primitives":[{"attributes":{"POSITION":2},"indices":1}]}],
      "scenes":[{"nodes":[0,1]}],"nodes":[{"mesh":0},{"mesh":1}]})";
    // The numbers first: the base64 text might hold "VB".
    for (const auto& [key, value] : {std::pair<std::string, std::string>{"VB", std::to_string(vertexBytes)},
                                     {"IB", std::to_string(indexBytes)},
                                     {"$CL", std::to_string(encoded.size())},
                                     {"$C", compressed.uri()}}) {
      for (std::size_t at; (at = doc.find(key)) != std::string::npos;) doc.replace(at, key.size(), value);
    }
    list.push_back({"meshopt views are decoded; one this decoder cannot read falls back to its copy",
                    document(doc, fallback), nullptr, 1, [](const ModelAsset& a) {
                      const MeshPrimitive& p = firstPrimitive(a);
                      EXPECT_EQ(p.positions, (std::vector<float>{0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0}));
                      EXPECT_EQ(p.indices, (std::vector<uint32_t>{0, 1, 2, 0, 2, 3}));
                      EXPECT_EQ(a.meshes[1].primitives[0].positions[3], 1.0f);
                    }});
  }
  return list;
}

TEST(GltfDocuments, EachRuleHolds) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.behaviour);
    const Outcome out = readText(c.document);
    if (c.error == nullptr) {
      ASSERT_TRUE(out.ok) << (out.errors.empty() ? "" : out.errors[0]);
      std::string warnings;
      for (const std::string& line : out.warnings) warnings += line + "\n";
      EXPECT_EQ(out.warnings.size(), c.warnings) << warnings;
      if (c.check) c.check(out.asset);
    } else {
      EXPECT_FALSE(out.ok);
      ASSERT_EQ(out.errors.size(), 1u);
      EXPECT_NE(out.errors[0].find(c.error), std::string::npos) << out.errors[0];
    }
  }
}

// A GLB of the quad with its image in the binary chunk; every shorter prefix fails cleanly.
TEST(GltfDocuments, GlbChunksAreCheckedAndImagesShareTheBinaryChunk) {
  Bin bin = quadBin();
  bin.add<uint8_t>({0x89, 'P', 'N', 'G', 0, 0, 0, 0});  // an image's bytes at 92
  std::string json = quadHeadWith(R"(,{"buffer":0,"byteOffset":92,"byteLength":8})", "") +
                     R"("scenes":[{"nodes":[0]}],"nodes":[{"mesh":0}],
    "images":[{"bufferView":3,"mimeType":"image/png"}],
    "meshes":[{"primitives":[{"attributes":{"POSITION":0},"indices":2}]}]})";
  json.replace(json.find(R"("uri":"$URI",)"), 13, "");
  json.replace(json.find("$LEN"), 4, std::to_string(bin.bytes.size()));
  while (json.size() % 4 != 0) json += ' ';
  std::vector<uint8_t> glb;
  Bin header;
  header.add<uint32_t>({0x46546C67, 2, uint32_t(28 + json.size() + bin.bytes.size())});
  header.add<uint32_t>({uint32_t(json.size()), 0x4E4F534A});
  glb = header.bytes;
  glb.insert(glb.end(), json.begin(), json.end());
  Bin chunk;
  chunk.add<uint32_t>({uint32_t(bin.bytes.size()), 0x004E4942});
  glb.insert(glb.end(), chunk.bytes.begin(), chunk.bytes.end());
  glb.insert(glb.end(), bin.bytes.begin(), bin.bytes.end());

  ModelAsset asset;
  ASSERT_TRUE(readGltfBytes(glb, {.name = "test.glb"}, asset));
  ASSERT_EQ(asset.images.size(), 1u);
  const ImageSource& image = asset.images[0];
  ASSERT_TRUE(image.inMemory());
  EXPECT_EQ(image.mimeType, "image/png");
  EXPECT_EQ(image.size, 8u);
  EXPECT_EQ(image.data()[1], 'P');
  EXPECT_EQ(image.offset, glb.size() - 8);  // where it lies in the one copy of the container
  // Each prefix with its header's length made to match: the chunks' own lengths must catch it.
  for (std::size_t n = 0; n < glb.size(); ++n) {
    std::vector<uint8_t> prefix(glb.begin(), glb.begin() + static_cast<std::ptrdiff_t>(n));
    if (n >= 12) std::memcpy(prefix.data() + 8, &n, 4);
    EXPECT_FALSE(readGltfBytes(prefix, {.name = "test.glb", .messages = false}, asset)) << n;
  }
}

}  // namespace
