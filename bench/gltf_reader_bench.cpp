// Loading glTF by readGltf, by tinygltf (images not decoded, nor external ones read) and by
// Assimp (ReadFile without post-processing), in the same run: every glTF file of Debian's
// test models that readGltf reads, and a generated document of 100,000 nodes and 2,000,000
// triangles in three forms: plain (.gltf with an external .bin), meshopt-compressed (.glb,
// which only readGltf reads) and Draco-compressed (.glb).
//
// After the timings, a table of medians and ratios per file, and for the generated documents
// the peak resident memory of a fresh child process (this program again, "--peak-rss=WHO
// FILE") that loads the file once: ru_maxrss, less that of a child that loads nothing.
// "--write-documents FOLDER" only writes the generated documents.
#include <assimp/scene.h>
#include <benchmark/benchmark.h>
#include <draco/compression/encode.h>
#include <draco/mesh/triangle_soup_mesh_builder.h>
#include <meshoptimizer.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <assimp/Importer.hpp>

#define TINYGLTF_IMPLEMENTATION
#define TINYGLTF_NO_STB_IMAGE
#define TINYGLTF_NO_STB_IMAGE_WRITE
#define TINYGLTF_NO_EXTERNAL_IMAGE
#define TINYGLTF_ENABLE_DRACO
#include <tiny_gltf.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/spread_reporter.h"
#include "model/gltf/gltf_reader.h"
#include "platform/regular_file.h"

namespace {

namespace fs = std::filesystem;

const fs::path kModels = "/usr/share/assimp/models/glTF2";

constexpr int kMeshes = 100;
constexpr int kGrid = 100;  // quads a side: 20,000 triangles a mesh
constexpr int kGroups = 1000;
constexpr int kChildren = 99;  // 1,000 groups of 99: 100,000 nodes

enum class Form { kPlain, kMeshopt, kDraco };

// One mesh's vertices (a bent grid) and triangles.
struct Grid {
  std::vector<float> positions, normals, uvs;
  std::vector<uint16_t> indices;
};

Grid grid(int mesh) {
  Grid g;
  const int side = kGrid + 1;
  for (int r = 0; r < side; ++r) {
    for (int c = 0; c < side; ++c) {
      const float x = c * 0.01f, y = r * 0.01f, z = 0.05f * std::sin(0.1f * c + mesh) * std::cos(0.13f * r);
      g.positions.insert(g.positions.end(), {x, y, z});
      const float nx = -0.005f * std::cos(0.1f * c + mesh), ny = 0.0065f * std::sin(0.13f * r);
      const float len = std::sqrt(nx * nx + ny * ny + 1);
      g.normals.insert(g.normals.end(), {nx / len, ny / len, 1 / len});
      g.uvs.insert(g.uvs.end(), {static_cast<float>(c) / kGrid, 1 - static_cast<float>(r) / kGrid});
    }
  }
  for (int r = 0; r < kGrid; ++r) {
    for (int c = 0; c < kGrid; ++c) {
      const auto a = static_cast<uint16_t>(r * side + c);
      const auto b = static_cast<uint16_t>(a + 1), d = static_cast<uint16_t>(a + side),
                 e = static_cast<uint16_t>(d + 1);
      g.indices.insert(g.indices.end(), {a, b, e, a, e, d});
    }
  }
  return g;
}

class Json {
 public:
  Json& text(const std::string& s) {
    out_ += s;
    return *this;
  }
  template <class... Args>
  Json& format(const char* f, Args... args) {
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, f, args...);
    out_ += buffer;
    return *this;
  }
  std::string& str() { return out_; }

 private:
  std::string out_;
};

struct Layout {
  std::vector<uint8_t> bin;
  Json views, accessors, meshes;
  int viewCount = 0, accessorCount = 0;
  uint64_t fallbackLength = 0;

  std::size_t put(const void* data, std::size_t size) {
    while (bin.size() % 4 != 0) bin.push_back(0);
    const std::size_t at = bin.size();
    bin.insert(bin.end(), static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
    return at;
  }
  // A plain view of `size` bytes.
  int view(const void* data, std::size_t size, int stride) {
    const std::size_t at = put(data, size);
    views.format("%s{\"buffer\":0,\"byteOffset\":%zu,\"byteLength\":%zu", viewCount ? "," : "", at, size);
    if (stride != 0) views.format(",\"byteStride\":%d", stride);
    views.text("}");
    return viewCount++;
  }
  // A meshopt view: its data encoded into buffer 0, its place in fallback buffer 1.
  int meshoptView(const void* data, std::size_t count, std::size_t stride, const char* mode, const char* filter) {
    std::vector<uint8_t> encoded;
    std::size_t size = 0;
    if (std::strcmp(mode, "TRIANGLES") == 0) {
      std::vector<uint32_t> indices(static_cast<const uint16_t*>(data), static_cast<const uint16_t*>(data) + count);
      encoded.resize(meshopt_encodeIndexBufferBound(count, 65536));
      size = meshopt_encodeIndexBuffer(encoded.data(), encoded.size(), indices.data(), count);
    } else {
      encoded.resize(meshopt_encodeVertexBufferBound(count, stride));
      size = meshopt_encodeVertexBuffer(encoded.data(), encoded.size(), data, count, stride);
    }
    const std::size_t at = put(encoded.data(), size);
    fallbackLength = (fallbackLength + 3) / 4 * 4;
    views.format("%s{\"buffer\":1,\"byteOffset\":%llu,\"byteLength\":%zu", viewCount ? "," : "",
                 static_cast<unsigned long long>(fallbackLength), count * stride);
    if (std::strcmp(mode, "TRIANGLES") != 0) views.format(",\"byteStride\":%zu", stride);
    views.format(
        ",\"extensions\":{\"EXT_meshopt_compression\":{\"buffer\":0,\"byteOffset\":%zu,\"byteLength\":%zu,"
        "\"byteStride\":%zu,\"count\":%zu,\"mode\":\"%s\",\"filter\":\"%s\"}}}",
        at, size, stride, count, mode, filter);
    fallbackLength += count * stride;
    return viewCount++;
  }
  int accessor(int view, int componentType, std::size_t count, const char* type, bool normalized = false) {
    accessors.format("%s{", accessorCount ? "," : "");
    if (view >= 0) accessors.format("\"bufferView\":%d,", view);
    accessors.format("\"componentType\":%d,\"count\":%zu,\"type\":\"%s\"%s}", componentType, count, type,
                     normalized ? ",\"normalized\":true" : "");
    return accessorCount++;
  }
};

void addMesh(Layout& l, Form form, int m) {
  const Grid g = grid(m);
  const std::size_t vertices = g.positions.size() / 3;
  int position = -1, normal = -1, uv = -1, indices = -1, draco = -1;
  std::string dracoIds;
  if (form == Form::kPlain) {
    position = l.accessor(l.view(g.positions.data(), g.positions.size() * 4, 12), 5126, vertices, "VEC3");
    normal = l.accessor(l.view(g.normals.data(), g.normals.size() * 4, 12), 5126, vertices, "VEC3");
    uv = l.accessor(l.view(g.uvs.data(), g.uvs.size() * 4, 8), 5126, vertices, "VEC2");
    indices = l.accessor(l.view(g.indices.data(), g.indices.size() * 2, 0), 5123, g.indices.size(), "SCALAR");
  } else if (form == Form::kMeshopt) {
    // As gltfpack writes it: positions exponent-coded, normals octahedral in 8 bits.
    std::vector<uint32_t> exp(vertices * 3);
    meshopt_encodeFilterExp(exp.data(), vertices, 12, 15, g.positions.data());
    std::vector<float> normals4(vertices * 4);
    for (std::size_t v = 0; v < vertices; ++v) std::copy_n(&g.normals[v * 3], 3, &normals4[v * 4]);
    std::vector<int8_t> oct(vertices * 4);
    meshopt_encodeFilterOct(oct.data(), vertices, 4, 8, normals4.data());
    position = l.accessor(l.meshoptView(exp.data(), vertices, 12, "ATTRIBUTES", "EXPONENTIAL"), 5126, vertices, "VEC3");
    normal =
        l.accessor(l.meshoptView(oct.data(), vertices, 4, "ATTRIBUTES", "OCTAHEDRAL"), 5120, vertices, "VEC3", true);
    uv = l.accessor(l.meshoptView(g.uvs.data(), vertices, 8, "ATTRIBUTES", "NONE"), 5126, vertices, "VEC2");
    indices = l.accessor(l.meshoptView(g.indices.data(), g.indices.size(), 2, "TRIANGLES", "NONE"), 5123,
                         g.indices.size(), "SCALAR");
  } else {
    draco::TriangleSoupMeshBuilder builder;
    const int faces = static_cast<int>(g.indices.size() / 3);
    builder.Start(faces);
    const int p = builder.AddAttribute(draco::GeometryAttribute::POSITION, 3, draco::DT_FLOAT32);
    const int n = builder.AddAttribute(draco::GeometryAttribute::NORMAL, 3, draco::DT_FLOAT32);
    const int t = builder.AddAttribute(draco::GeometryAttribute::TEX_COORD, 2, draco::DT_FLOAT32);
    for (int f = 0; f < faces; ++f) {
      const uint16_t* c = &g.indices[static_cast<std::size_t>(f) * 3];
      builder.SetAttributeValuesForFace(p, draco::FaceIndex(f), &g.positions[c[0] * 3], &g.positions[c[1] * 3],
                                        &g.positions[c[2] * 3]);
      builder.SetAttributeValuesForFace(n, draco::FaceIndex(f), &g.normals[c[0] * 3], &g.normals[c[1] * 3],
                                        &g.normals[c[2] * 3]);
      builder.SetAttributeValuesForFace(t, draco::FaceIndex(f), &g.uvs[c[0] * 2], &g.uvs[c[1] * 2], &g.uvs[c[2] * 2]);
    }
    std::unique_ptr<draco::Mesh> mesh = builder.Finalize();
    draco::Encoder encoder;
    encoder.SetAttributeQuantization(draco::GeometryAttribute::POSITION, 14);
    encoder.SetAttributeQuantization(draco::GeometryAttribute::NORMAL, 10);
    encoder.SetAttributeQuantization(draco::GeometryAttribute::TEX_COORD, 12);
    draco::EncoderBuffer buffer;
    if (!encoder.EncodeMeshToBuffer(*mesh, &buffer).ok()) std::exit(1);
    draco = l.view(buffer.data(), buffer.size(), 0);
    const std::size_t points = mesh->num_points();
    position = l.accessor(-1, 5126, points, "VEC3");
    normal = l.accessor(-1, 5126, points, "VEC3");
    uv = l.accessor(-1, 5126, points, "VEC2");
    indices = l.accessor(-1, 5125, g.indices.size(), "SCALAR");
    char ids[128];
    std::snprintf(ids, sizeof ids, "\"POSITION\":%u,\"NORMAL\":%u,\"TEXCOORD_0\":%u", mesh->attribute(0)->unique_id(),
                  mesh->attribute(1)->unique_id(), mesh->attribute(2)->unique_id());
    dracoIds = ids;
  }
  l.meshes.format(
      "%s{\"name\":\"grid%d\",\"primitives\":[{\"attributes\":{\"POSITION\":%d,\"NORMAL\":%d,"
      "\"TEXCOORD_0\":%d},\"indices\":%d,\"material\":%d",
      m ? "," : "", m, position, normal, uv, indices, m % 4);
  if (draco >= 0) {
    l.meshes.format(",\"extensions\":{\"KHR_draco_mesh_compression\":{\"bufferView\":%d,\"attributes\":{", draco);
    l.meshes.text(dracoIds + "}}}");
  }
  l.meshes.text("}]}");
}

// The document in `form`: written to `path` (a .gltf beside its .bin, or a .glb).
void writeDocument(const fs::path& path, Form form) {
  Layout l;
  for (int m = 0; m < kMeshes; ++m) addMesh(l, form, m);
  Json j;
  j.text("{\"asset\":{\"version\":\"2.0\",\"generator\":\"gltf_reader_bench\"},");
  if (form == Form::kMeshopt) {
    j.text(
        "\"extensionsUsed\":[\"EXT_meshopt_compression\",\"KHR_mesh_quantization\"],"
        "\"extensionsRequired\":[\"EXT_meshopt_compression\",\"KHR_mesh_quantization\"],");
  } else if (form == Form::kDraco) {
    j.text(
        "\"extensionsUsed\":[\"KHR_draco_mesh_compression\"],\"extensionsRequired\":[\"KHR_draco_mesh_compression\"],");
  }
  while (l.bin.size() % 4 != 0) l.bin.push_back(0);
  j.text("\"buffers\":[{");
  if (form == Form::kPlain) j.text("\"uri\":\"" + path.stem().string() + ".bin\",");
  j.format("\"byteLength\":%zu}", l.bin.size());
  if (form == Form::kMeshopt) {
    j.format(",{\"byteLength\":%llu,\"extensions\":{\"EXT_meshopt_compression\":{\"fallback\":true}}}",
             static_cast<unsigned long long>(l.fallbackLength));
  }
  j.text("],\"bufferViews\":[" + l.views.str() + "],\"accessors\":[" + l.accessors.str() + "],");
  j.text("\"materials\":[");
  for (int m = 0; m < 4; ++m) {
    j.format(
        "%s{\"name\":\"m%d\",\"pbrMetallicRoughness\":{\"baseColorFactor\":[%g,0.5,0.25,1],\"metallicFactor\":0,"
        "\"roughnessFactor\":0.%d}}",
        m ? "," : "", m, 0.2 * m, m + 3);
  }
  j.text("],\"meshes\":[" + l.meshes.str() + "],\"nodes\":[");
  // Groups first (0 to 999), then their children; every tenth child places a mesh.
  for (int g = 0; g < kGroups; ++g) {
    j.format("%s{\"name\":\"group%d\",\"translation\":[%d,0,%d],\"children\":[", g ? "," : "", g, g % 40, g / 40);
    for (int c = 0; c < kChildren; ++c) j.format("%s%d", c ? "," : "", kGroups + g * kChildren + c);
    j.text("]}");
  }
  for (int n = 0; n < kGroups * kChildren; ++n) {
    j.format(",{\"name\":\"n%d\",\"translation\":[%g,%g,0],\"rotation\":[0,0,%g,%g],\"scale\":[0.5,0.5,0.5]", n,
             (n % 11) * 0.09, (n % 9) * 0.11, std::sin(n * 0.01), std::cos(n * 0.01));
    if (n % 10 == 0) j.format(",\"mesh\":%d", (n / 10) % kMeshes);
    j.text("}");
  }
  j.text("],\"scenes\":[{\"nodes\":[");
  for (int g = 0; g < kGroups; ++g) j.format("%s%d", g ? "," : "", g);
  j.text("]}],\"scene\":0}");
  std::string& json = j.str();
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    std::perror(path.c_str());
    std::exit(1);
  }
  if (form == Form::kPlain) {
    std::fwrite(json.data(), 1, json.size(), file);
    std::FILE* bin = std::fopen((path.parent_path() / (path.stem().string() + ".bin")).c_str(), "wb");
    if (bin == nullptr) std::exit(1);
    std::fwrite(l.bin.data(), 1, l.bin.size(), bin);
    std::fclose(bin);
  } else {
    while (json.size() % 4 != 0) json += ' ';
    const uint32_t header[5] = {0x46546C67, 2, static_cast<uint32_t>(28 + json.size() + l.bin.size()),
                                static_cast<uint32_t>(json.size()), 0x4E4F534A};
    const uint32_t binHeader[2] = {static_cast<uint32_t>(l.bin.size()), 0x004E4942};
    std::fwrite(header, 1, sizeof header, file);
    std::fwrite(json.data(), 1, json.size(), file);
    std::fwrite(binHeader, 1, sizeof binHeader, file);
    std::fwrite(l.bin.data(), 1, l.bin.size(), file);
  }
  std::fclose(file);
}

// The generated documents, written once into a temporary folder removed at exit.
const fs::path& generatedFolder() {
  static const fs::path* folder = [] {
    auto* f = new fs::path(fs::temp_directory_path() / ("gltf_reader_bench_" + std::to_string(::getpid())));
    fs::create_directories(*f);
    std::atexit([] {
      std::error_code ignored;
      fs::remove_all(*folder, ignored);
    });
    return f;
  }();
  return *folder;
}

const char* kGeneratedNames[] = {"generated-plain.gltf", "generated-meshopt.glb", "generated-draco.glb"};

fs::path generated(Form form) { return generatedFolder() / kGeneratedNames[static_cast<int>(form)]; }

bool noImage(tinygltf::Image*, const int, std::string*, std::string*, int, int, const unsigned char*, int, void*) {
  return true;
}

bool loadOurs(const fs::path& path) {
  ModelAsset asset;
  const bool ok = readGltf(path, asset);
  benchmark::DoNotOptimize(asset.meshes.data());
  return ok;
}

// The reading alone, without the MikkTSpace tangents the others do not make.
bool loadOursWithoutTangents(const fs::path& path) {
  ModelAsset asset;
  const bool ok = readGltf(path, {.tangents = false}, asset);
  benchmark::DoNotOptimize(asset.meshes.data());
  return ok;
}

bool loadTiny(const fs::path& path) {
  tinygltf::TinyGLTF loader;
  loader.SetImageLoader(noImage, nullptr);
  tinygltf::Model model;
  std::string error, warning;
  const bool ok = path.extension() == ".glb" ? loader.LoadBinaryFromFile(&model, &error, &warning, path.string())
                                             : loader.LoadASCIIFromFile(&model, &error, &warning, path.string());
  benchmark::DoNotOptimize(model.meshes.data());
  return ok;
}

bool loadAssimp(const fs::path& path) {
  Assimp::Importer importer;
  const aiScene* scene = importer.ReadFile(path.string(), 0);
  benchmark::DoNotOptimize(scene);
  return scene != nullptr;
}

using Loader = bool (*)(const fs::path&);
const std::map<std::string, Loader> kLoaders = {{"readGltf", loadOurs},
                                                {"readGltf-no-tangents", loadOursWithoutTangents},
                                                {"tinygltf", loadTiny},
                                                {"assimp", loadAssimp}};

// The child's side of a memory figure: load once, print ru_maxrss (KiB).
int peakRssChild(const std::string& who, const fs::path& path) {
  const auto loader = kLoaders.find(who);
  const bool ok = loader == kLoaders.end() || loader->second(path);
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  std::printf("%ld\n", usage.ru_maxrss);
  return ok ? 0 : 1;
}

// What a fresh child of this program prints on its standard output when run with `args`; ""
// when it fails. The child is started while this process is small: a forked child's peak
// resident memory starts at its parent's.
std::string childOutput(std::vector<std::string> args) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return {};
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(pipeFds[1], STDOUT_FILENO);
    ::close(pipeFds[0]);
    char self[] = "/proc/self/exe";
    std::vector<char*> argv{self};
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(self, argv.data());
    std::_Exit(127);
  }
  ::close(pipeFds[1]);
  std::string out;
  char buffer[64];
  for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;) out.append(buffer, static_cast<std::size_t>(n));
  ::close(pipeFds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? out + " " : std::string();
}

long childPeakKiB(const std::string& who, const fs::path& path) {
  const std::string out = childOutput({"--peak-rss=" + who, path.string()});
  return out.empty() ? -1 : std::strtol(out.c_str(), nullptr, 10);
}

// The wall time of every repetition of every case, for the table at the end.
class TableReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
        times_[run.run_name.function_name].push_back(run.GetAdjustedRealTime());
      }
    }
  }
  // The median wall time of "WHO/FILE" in milliseconds, 0 when it did not run.
  double median(const std::string& name) const {
    auto found = times_.find(name);
    if (found == times_.end()) return 0;
    std::vector<double> t = found->second;
    std::sort(t.begin(), t.end());
    return t.size() % 2 == 1 ? t[t.size() / 2] : (t[t.size() / 2 - 1] + t[t.size() / 2]) / 2;
  }

 private:
  std::map<std::string, std::vector<double>> times_;
};

struct Entry {
  std::string label;
  fs::path path;
  bool generated = false, oursOnly = false;
  bool makesTangents = false;  // readGltf makes tangents for it, which the others do not
};

std::size_t tangentCount(const ModelAsset& asset) {
  std::size_t n = 0;
  for (const Mesh& mesh : asset.meshes) {
    for (const MeshPrimitive& p : mesh.primitives) n += p.tangents.size();
  }
  return n;
}

// The test models readGltf reads (the broken ones are no load to time), then the generated
// documents; Assimp and tinygltf do not read meshopt compression.
std::vector<Entry> entries() {
  std::vector<Entry> list;
  if (fs::is_directory(kModels)) {
    for (const auto& e : fs::recursive_directory_iterator(kModels)) {
      const std::string ext = e.path().extension().string();
      std::vector<uint8_t> bytes;
      ModelAsset asset, without;
      if ((ext != ".gltf" && ext != ".glb") || !platform::readRegularFile(e.path(), bytes, nullptr) ||
          !readGltfBytes(bytes, {.folder = e.path().parent_path(), .messages = false}, asset) ||
          !readGltfBytes(bytes, {.folder = e.path().parent_path(), .messages = false, .tangents = false}, without)) {
        continue;
      }
      list.push_back({fs::relative(e.path(), kModels).string(), e.path()});
      list.back().makesTangents = tangentCount(asset) != tangentCount(without);
    }
  }
  std::sort(list.begin(), list.end(), [](const Entry& a, const Entry& b) { return a.label < b.label; });
  for (Form form : {Form::kPlain, Form::kMeshopt, Form::kDraco}) {
    list.push_back({kGeneratedNames[static_cast<int>(form)], generated(form), true, form == Form::kMeshopt});
  }
  return list;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]).rfind("--peak-rss=", 0) == 0) return peakRssChild(argv[1] + 11, argv[2]);
  if (argc == 3 && std::string(argv[1]) == "--write-documents") {
    for (Form form : {Form::kPlain, Form::kMeshopt, Form::kDraco}) {
      writeDocument(fs::path(argv[2]) / kGeneratedNames[static_cast<int>(form)], form);
    }
    return 0;
  }
  std::vector<char*> args = withInterleavedRepetitions(argc, argv);
  int count = static_cast<int>(args.size()) - 1;
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;

  // The documents are written by a child, and the memory figures taken before any load, so
  // that this process stays small for the children it starts.
  if (childOutput({"--write-documents", generatedFolder().string()}).empty()) {
    std::fprintf(stderr, "cannot write the generated documents\n");
    return 1;
  }
  const std::vector<Entry> list = entries();
  struct Peaks {
    long ours = 0, tiny = 0, assimp = 0;
  };
  std::map<std::string, Peaks> peaks;
  for (const Entry& e : list) {
    if (!e.generated && e.label != "2CylinderEngine-glTF-Binary/2CylinderEngine.glb") continue;
    const long none = childPeakKiB("none", e.path);
    Peaks& p = peaks[e.label];
    p.ours = childPeakKiB("readGltf", e.path) - none;
    p.tiny = e.oursOnly ? 0 : childPeakKiB("tinygltf", e.path) - none;
    p.assimp = e.oursOnly ? 0 : childPeakKiB("assimp", e.path) - none;
  }
  for (const Entry& e : list) {
    for (const auto& [who, load] : kLoaders) {
      if (e.oursOnly && who != "readGltf") continue;
      if (!e.makesTangents && who == "readGltf-no-tangents") continue;
      const std::string name = who + "/" + e.label;
      benchmark::RegisterBenchmark(name.c_str(),
                                   [path = e.path, load = load](benchmark::State& state) {
                                     for (auto _ : state) {
                                       if (!load(path)) state.SkipWithError("the load failed");
                                     }
                                   })
          ->Unit(benchmark::kMillisecond)
          ->UseRealTime()
          ->MinTime(e.generated ? 0.2 : 0.05)
          ->Repetitions(e.generated ? 5 : 3);
    }
  }
  TableReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  std::printf(
      "\nmedian wall time (ms) and ratios, from this run (* readGltf made tangents, which the others do\n"
      "not: its ratios are those of the reading alone, readGltf with GltfOptions::tangents off):\n");
  std::printf("%-66s %10s %10s %10s %10s %9s %9s\n", "file", "readGltf", "no-tangent", "tinygltf", "assimp",
              "/tinygltf", "/assimp");
  double worstTiny = 0, worstAssimp = 0;
  for (const Entry& e : list) {
    const double ours = reporter.median("readGltf/" + e.label), tiny = reporter.median("tinygltf/" + e.label),
                 assimp = reporter.median("assimp/" + e.label);
    const double alone = e.makesTangents ? reporter.median("readGltf-no-tangents/" + e.label) : ours;
    if (ours == 0) continue;
    const double toTiny = tiny > 0 ? alone / tiny : 0, toAssimp = assimp > 0 ? alone / assimp : 0;
    worstTiny = std::max(worstTiny, toTiny);
    worstAssimp = std::max(worstAssimp, toAssimp);
    std::printf("%-66s%s %10.3f %10.3f %10.3f %10.3f %9.3f %9.3f\n", e.label.c_str(), e.makesTangents ? "*" : " ", ours,
                alone, tiny, assimp, toTiny, toAssimp);
  }
  std::printf("largest ratio: %.3f of tinygltf (limit 0.5), %.3f of Assimp (limit 0.2)\n", worstTiny, worstAssimp);
  std::printf("\npeak RSS above a child that loads nothing (fresh child, ru_maxrss), MiB:\n");
  std::printf("%-68s %10s %10s %10s %9s\n", "file", "readGltf", "tinygltf", "assimp", "/assimp");
  for (const auto& [label, p] : peaks) {
    std::printf("%-68s %10.1f %10.1f %10.1f %9.3f\n", label.c_str(), p.ours / 1024.0, p.tiny / 1024.0,
                p.assimp / 1024.0, p.assimp > 0 ? static_cast<double>(p.ours) / static_cast<double>(p.assimp) : 0.0);
  }
  std::printf("(a failed load shows as a negative figure)\n");
  benchmark::Shutdown();
  return 0;
}
