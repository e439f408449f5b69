#include "model/gltf/gltf_reader.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "model/gltf/gltf_data.h"
#include "model/gltf/gltf_json.h"
#include "model/gltf/gltf_materials.h"
#include "model/gltf/gltf_meshes.h"
#include "model/gltf/gltf_scene.h"
#include "model/load_error.h"
#include "platform/regular_file.h"

namespace {

using namespace gltf;

constexpr uint32_t kJsonChunk = 0x4E4F534A;  // "JSON"
constexpr uint32_t kBinChunk = 0x004E4942;   // "BIN\0"

// Every extension this reader reads; a document that requires another is refused.
constexpr std::string_view kKnownExtensions[] = {
    "KHR_materials_pbrSpecularGlossiness",
    "KHR_materials_unlit",
    "KHR_materials_emissive_strength",
    "KHR_materials_clearcoat",
    "KHR_materials_ior",
    "KHR_materials_specular",
    "KHR_materials_transmission",
    "KHR_materials_sheen",
    "KHR_texture_transform",
    "KHR_mesh_quantization",
    "KHR_draco_mesh_compression",
    "EXT_meshopt_compression",
    "KHR_meshopt_compression",
    "EXT_texture_webp",
    "KHR_texture_basisu",  // read as its fallback image, or left out
    "EXT_mesh_gpu_instancing",
    "KHR_lights_punctual",
};

bool known(std::string_view extension) {
  return std::find(std::begin(kKnownExtensions), std::end(kKnownExtensions), extension) != std::end(kKnownExtensions);
}

uint32_t littleEndian32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

// The JSON of a GLB container, and where its binary chunk is; every length checked.
bool readGlb(Context& c, std::span<const uint8_t> bytes, std::span<const uint8_t>& json) {
  if (bytes.size() < 12) return c.m.fail(nullptr, "a GLB file of %zu bytes is shorter than its header", bytes.size());
  const uint32_t version = littleEndian32(bytes.data() + 4);
  const uint32_t length = littleEndian32(bytes.data() + 8);
  if (version != 2) return c.m.fail(nullptr, "GLB version %u; the viewer reads version 2", version);
  if (length > bytes.size()) {
    return c.m.fail(nullptr, "its GLB header claims %u bytes; the file holds %zu", length, bytes.size());
  }
  std::size_t at = 12;
  bool first = true;
  while (at + 8 <= length) {
    const uint32_t chunkLength = littleEndian32(bytes.data() + at);
    const uint32_t type = littleEndian32(bytes.data() + at + 4);
    if (chunkLength > length - at - 8) {
      return c.m.fail(nullptr, "a GLB chunk at byte %zu claims %u bytes; %zu remain", at, chunkLength, length - at - 8);
    }
    const std::size_t data = at + 8;
    if (first) {
      if (type != kJsonChunk) return c.m.fail(nullptr, "the first GLB chunk is not JSON");
      json = bytes.subspan(data, chunkLength);
      first = false;
    } else if (type == kBinChunk && !c.hasBin) {
      c.hasBin = true;
      c.binOffset = data;
      c.binSize = chunkLength;
    }
    // Chunks start at four-byte boundaries; other kinds of chunk are skipped.
    at = data + ((std::size_t{chunkLength} + 3) & ~std::size_t{3});
  }
  if (first) return c.m.fail(nullptr, "the GLB file has no JSON chunk");
  return true;
}

bool topArray(Context& c, Object object, std::string_view key, const Where& where, std::vector<Element>& out) {
  Array array;
  bool present = false;
  if (!optArray(c.m, object, key, where, array, present)) return false;
  if (present) out.assign(array.begin(), array.end());
  return true;
}

bool readAssetInfo(Context& c) {
  const Where top;
  Object asset;
  bool present = false;
  if (!optObject(c.m, c.root, "asset", top, asset, present)) return false;
  if (!present) return c.m.fail(nullptr, "no \"asset\": not a glTF document");
  std::string version, minVersion;
  const Where at = top["asset"];
  if (!optString(c.m, asset, "version", at, version) || !optString(c.m, asset, "minVersion", at, minVersion) ||
      !optString(c.m, asset, "generator", at, c.out.generator)) {
    return false;
  }
  // "2.0" and any later 2.x; minVersion names the least this reader must know.
  if (version.empty()) return c.m.fail(&at, "no version");
  if (version.substr(0, 2) != "2.") {
    return c.m.fail(nullptr, "glTF version %s; the viewer reads glTF 2.0", version.c_str());
  }
  if (!minVersion.empty() && minVersion != "2.0") {
    return c.m.fail(nullptr, "it needs glTF %s; the viewer reads glTF 2.0", minVersion.c_str());
  }
  return true;
}

bool readExtensionLists(Context& c) {
  const Where top;
  for (const bool required : {false, true}) {
    const std::string_view key = required ? "extensionsRequired" : "extensionsUsed";
    std::vector<std::string>& list = required ? c.out.extensionsRequired : c.out.extensionsUsed;
    Array array;
    bool present = false;
    if (!optArray(c.m, c.root, key, top, array, present)) return false;
    if (!present) continue;
    int64_t i = 0;
    for (Element e : array) {
      std::string_view name;
      const Where at = top.at(key, i++);
      if (!toString(c.m, e, at, name)) return false;
      list.emplace_back(name);
    }
  }
  for (const std::string& name : c.out.extensionsRequired) {
    if (!known(name))
      return c.m.fail(nullptr, "it requires the extension %s, which the viewer does not read", name.c_str());
  }
  std::string unknown;
  for (const std::string& name : c.out.extensionsUsed) {
    if (!known(name)) unknown += (unknown.empty() ? "" : ", ") + name;
  }
  if (!unknown.empty()) c.m.warn("extensions the viewer does not read, left out: %s", unknown.c_str());
  return true;
}

// The root's members, walked once: its arrays into the context, each element by element.
bool readTopLevel(Context& c) {
  const Where top;
  struct {
    std::string_view key;
    std::vector<Element>* array;
  } const arrays[] = {
      {"meshes", &c.meshes},
      {"materials", &c.materials},
      {"textures", &c.textures},
      {"images", &c.images},
      {"samplers", &c.samplers},
      {"nodes", &c.nodes},
      {"skins", &c.skins},
      {"animations", &c.animations},
      {"cameras", &c.cameras},
      {"scenes", &c.scenes},
      {"buffers", &c.bufferList},
      {"bufferViews", &c.viewList},
      {"accessors", &c.accessorList},
  };
  Object extensions;
  bool hasExtensions = false;
  for (auto [key, value] : c.root) {
    const Where at = top[key];
    if (key == "scene") {
      // The scene shown is checked with the rest of the document's shape, before any data.
      uint64_t index = 0;
      if (!toUint(c.m, value, at, index)) return false;
      continue;
    }
    if (key == "extensions") {
      if (!toObject(c.m, value, at, extensions)) return false;
      hasExtensions = true;
      continue;
    }
    for (const auto& a : arrays) {
      if (key != a.key) continue;
      Array array;
      if (!toArray(c.m, value, at, array)) return false;
      a.array->assign(array.begin(), array.end());
      break;
    }
  }
  if (!hasExtensions) return true;
  Object lights;
  bool present = false;
  const Where at = top["extensions"];
  if (!optObject(c.m, extensions, "KHR_lights_punctual", at, lights, present)) return false;
  return !present || topArray(c, lights, "lights", at["KHR_lights_punctual"], c.lights);
}

bool placesSomething(const ModelAsset& asset) {
  for (const AssetNode& node : asset.nodes) {
    if (node.mesh >= 0 && !asset.meshes[static_cast<std::size_t>(node.mesh)].primitives.empty()) return true;
  }
  return false;
}

// Reads the document in `bytes` (which `container` holds when it is a GLB's) into `out`.
// `padded`: SIMDJSON_PADDING bytes after `bytes` may be read.
bool readParts(std::span<const uint8_t> bytes, bool padded, SharedBytes container, const std::string& folder,
               bool hasFolder, bool tangents, Messages& m, ModelAsset& out) {
  Context c(m, out);
  c.folder = folder;
  c.hasFolder = hasFolder;
  c.tangents = tangents;
  c.inputBytes = bytes.size();
  std::span<const uint8_t> json = bytes;
  if (bytes.size() >= 4 && std::memcmp(bytes.data(), "glTF", 4) == 0) {
    c.glb = true;
    if (!readGlb(c, bytes, json)) return false;
    c.container = std::move(container);
  } else if (json.size() >= 3 && std::memcmp(json.data(), "\xEF\xBB\xBF", 3) == 0) {
    json = json.subspan(3);
  }
  // The document outlives the parser: the parser's working buffers go once it has parsed.
  simdjson::dom::document dom;
  Element document;
  {
    simdjson::dom::parser parser;
    // Parsed where it lies when the bytes are followed by padding; else from a padded copy,
    // which goes once it is parsed (the document keeps its own copy of the strings).
    simdjson::error_code error;
    if (padded) {
      error = parser.parse_into_document(dom, json.data(), json.size(), false).get(document);
    } else {
      const simdjson::padded_string text(reinterpret_cast<const char*>(json.data()), json.size());
      error = parser.parse_into_document(dom, text.data(), text.size(), false).get(document);
    }
    if (error != simdjson::SUCCESS) {
      return m.fail(nullptr, "not a glTF document: its JSON cannot be read (%s)", simdjson::error_message(error));
    }
  }
  // A .gltf file's bytes are its JSON, no longer needed.
  if (!c.glb) container.reset();
  if (!toObject(m, document, Where(), c.root)) return false;
  if (!readAssetInfo(c) || !readExtensionLists(c) || !readTopLevel(c) || !readDataLayout(c) || !readImages(c) ||
      !readSamplers(c) || !readMaterials(c) || !readCamerasAndLights(c) || !readMeshes(c) || !readScene(c)) {
    return false;
  }
  if (!placesSomething(out)) return m.fail(nullptr, "nothing to draw: its scene places no mesh");
  out.upAxis = UpAxis::kY;
  out.metresPerUnit = 1;
  return true;
}

bool readDocument(std::span<const uint8_t> bytes, bool padded, SharedBytes container, const std::string& folder,
                  bool hasFolder, bool tangents, Messages& m, ModelAsset& out) {
  out = ModelAsset();
  if (readParts(bytes, padded, std::move(container), folder, hasFolder, tangents, m, out)) return true;
  // What was read up to the failure is no model.
  out = ModelAsset();
  return false;
}

}  // namespace

bool readGltf(const std::filesystem::path& file, ModelAsset& out) { return readGltf(file, GltfOptions(), out); }

bool readGltf(const std::filesystem::path& file, const GltfOptions& options, ModelAsset& out) {
  // Read with room for the JSON parser's padding after it, so that it parses in place: a
  // small file in one read, a larger one again once its size is known.
  constexpr std::size_t kFirstRead = 8 << 10;
  auto bytes = std::make_shared<std::vector<uint8_t>>();
  std::string why;
  uint64_t size = 0;
  bool read = platform::readFileHead(file, kFirstRead, *bytes, size, &why);
  if (read && size > bytes->size()) {
    bytes->clear();
    bytes->shrink_to_fit();
    bytes->reserve(static_cast<std::size_t>(size) + simdjson::SIMDJSON_PADDING);
    read = platform::readRegularFile(file, *bytes, &why);
  }
  if (!read) {
    printLoadError("%s: cannot open: %s", file.c_str(), why.c_str());
    return false;
  }
  const std::size_t length = bytes->size();
  bytes->resize(length + simdjson::SIMDJSON_PADDING, 0);
  Messages messages(file.string(), true);
  const std::span<const uint8_t> view(bytes->data(), length);
  // The folder and the name as text: splitting paths costs more than a small document's JSON.
  const std::string& text = file.native();
  const std::size_t slash = text.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "" : text.substr(0, slash);
  if (!readDocument(view, true, std::move(bytes), folder, true, options.tangents, messages, out)) return false;
  out.name = slash == std::string::npos ? text : text.substr(slash + 1);
  return true;
}

bool readGltfBytes(std::span<const uint8_t> bytes, const GltfBytesOptions& options, ModelAsset& out) {
  Messages messages(std::string(options.name), options.messages);
  // A GLB's binary chunk is shared by the images that lie in it: held once, here, padded.
  std::shared_ptr<std::vector<uint8_t>> container;
  if (bytes.size() >= 4 && std::memcmp(bytes.data(), "glTF", 4) == 0) {
    container = std::make_shared<std::vector<uint8_t>>(bytes.size() + simdjson::SIMDJSON_PADDING, 0);
    std::copy(bytes.begin(), bytes.end(), container->begin());
    bytes = std::span<const uint8_t>(container->data(), bytes.size());
  }
  const bool padded = container != nullptr;
  if (!readDocument(bytes, padded, std::move(container), options.folder.native(), !options.folder.empty(),
                    options.tangents, messages, out)) {
    return false;
  }
  out.name = std::string(options.name);
  return true;
}
