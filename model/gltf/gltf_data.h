// The data side of the glTF reader: the reading context of one document (its JSON arrays,
// the container's bytes, the asset being written), buffers (the GLB binary chunk, data: URIs,
// external files), buffer views (meshopt-compressed ones decoded once, on first use) and
// accessors read into flat arrays, with every offset, length and count checked against what
// it points into. Bytes are read where they lie: a buffer is held once and shared.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "model/gltf/gltf_json.h"
#include "model/model_asset.h"

namespace gltf {

// glTF component types and accessor types, as the document writes them.
enum ComponentType : uint32_t {
  kByte = 5120,
  kUnsignedByte = 5121,
  kShort = 5122,
  kUnsignedShort = 5123,
  kUnsignedInt = 5125,
  kFloat = 5126,
};
// Masks of component types: bit (type - 5120).
constexpr uint32_t componentBit(uint32_t type) { return 1u << (type - kByte); }
inline constexpr uint32_t kAnyFloatSource = componentBit(kByte) | componentBit(kUnsignedByte) | componentBit(kShort) |
                                            componentBit(kUnsignedShort) | componentBit(kFloat);
inline constexpr uint32_t kFloatOnly = componentBit(kFloat);

enum AccessorType : uint8_t { kScalar, kVec2, kVec3, kVec4, kMat2, kMat3, kMat4 };
constexpr uint32_t typeBit(AccessorType type) { return 1u << type; }

struct Buffer {
  uint64_t byteLength = 0;
  std::string_view uri;  // in the parsed JSON; empty: none
  bool hasUri = false;
  bool fallbackOnly = false;  // a meshopt fallback buffer that holds no data
  enum class State : uint8_t { kUnread, kRead, kFailed } state = State::kUnread;
  SharedBytes bytes;  // the buffer is [offset, offset + byteLength) of *bytes
  std::size_t offset = 0;
};

struct MeshoptView {
  bool present = false;
  const char* extension = "";  // its name, for messages
  int32_t buffer = -1;
  uint64_t offset = 0, length = 0;
  uint32_t stride = 0;
  uint64_t count = 0;
  enum class Mode : uint8_t { kAttributes, kTriangles, kIndices } mode = Mode::kAttributes;
  enum class Filter : uint8_t { kNone, kOctahedral, kQuaternion, kExponential, kUnknown } filter = Filter::kNone;
  std::string_view filterName;
};

struct BufferView {
  int32_t buffer = -1;
  uint64_t offset = 0, length = 0;
  uint32_t stride = 0;  // 0: elements tightly packed
  MeshoptView meshopt;
  // Its decoded bytes, once a meshopt view has been decoded, or why it could not be.
  SharedBytes decoded;
  std::string decodeError;
};

struct Accessor {
  int32_t view = -1;  // -1: zeros (then usually sparse)
  uint64_t offset = 0;
  uint32_t componentType = kFloat;
  uint32_t componentSize = 4;
  bool normalized = false;
  uint64_t count = 0;
  AccessorType type = kScalar;
  uint32_t components = 1;   // per element
  uint32_t elementSize = 4;  // bytes, matrix columns padded to four bytes
  bool sparse = false;
  uint64_t sparseCount = 0;
  int32_t sparseIndicesView = -1, sparseValuesView = -1;
  uint64_t sparseIndicesOffset = 0, sparseValuesOffset = 0;
  uint32_t sparseIndicesType = kUnsignedInt;
};

// Where some bytes are: [offset, offset + size) of *owner.
struct Bytes {
  SharedBytes owner;
  std::size_t offset = 0, size = 0;
  const uint8_t* data() const { return owner->data() + offset; }
};

struct Context {
  Context(Messages& messages, ModelAsset& asset) : m(messages), out(asset) {}

  Messages& m;
  ModelAsset& out;
  Object root;
  // The document's top-level arrays, element by element (a DOM array is walked, not indexed).
  std::vector<Element> meshes, materials, textures, images, samplers, nodes, skins, animations, cameras, scenes, lights,
      bufferList, viewList, accessorList;
  std::vector<Buffer> buffers;
  std::vector<BufferView> views;
  std::vector<Accessor> accessors;
  // The container: for a GLB, its binary chunk at [binOffset, binOffset + binSize).
  SharedBytes container;
  bool glb = false, hasBin = false;
  std::size_t binOffset = 0, binSize = 0;
  std::string folder;  // URIs resolve against it (a path, kept as text: joined, not split)
  bool hasFolder = false;
  bool tangents = true;  // make the tangents normal maps need
  // The document's bytes with the external buffers read so far: data that expands (zeros of
  // an accessor without a buffer view, meshopt and Draco output) is bounded by a multiple.
  uint64_t inputBytes = 0;

  // What the reading has made so far: accessors read (one may be read for many primitives)
  // and decoded Draco attributes.
  uint64_t produced = 0;

  // Whether `bytes` bytes of output that no stored data backs may be made: the limit that
  // stops a tiny file from claiming gigabytes.
  bool mayExpandTo(uint64_t bytes) const { return bytes <= (uint64_t{1} << 20) + 256 * inputBytes; }
  // Counts `bytes` more output; false once all of it passes the same limit (a file that
  // names one large accessor from a great many places).
  bool mayProduce(uint64_t bytes) {
    produced += bytes;
    return mayExpandTo(produced);
  }
};

// The document's "buffers", "bufferViews" and "accessors" into the context, and the
// meshopt-compressed views decoded (the buffers they need read).
bool readDataLayout(Context& c);

// Calls work(0) ... work(count - 1), on several threads when `worthThreads` (the caller's
// judgement that the work pays for starting them) and there are cores; returns when all are
// done. `work` must touch nothing another call touches.
void runParallel(std::size_t count, bool worthThreads, const std::function<void(std::size_t)>& work);

// The bytes of buffer view `view` (decoded first where meshopt compresses it).
bool viewBytes(Context& c, const Where& where, int32_t view, Bytes& out);

// Accessor `index`, checked to be of one of the types in `typeMask` (typeBit) and of one of the
// component types in `componentMask` (componentBit).
bool accessorOf(Context& c, const Where& where, int32_t index, uint32_t typeMask, uint32_t componentMask,
                const Accessor*& out);

// Accessor `index` as floats, `components` per element: normalized integers become [0, 1]
// or [-1, 1], other integers their values. Sparse substitutions are applied.
bool readFloats(Context& c, const Where& where, int32_t index, uint32_t typeMask, uint32_t componentMask,
                std::vector<float>& out, uint32_t* components = nullptr);
// Accessor `index` as unsigned integers (unsigned integer component types only, not normalized).
bool readUints(Context& c, const Where& where, int32_t index, uint32_t typeMask, std::vector<uint32_t>& out);
bool readUint16s(Context& c, const Where& where, int32_t index, uint32_t typeMask, std::vector<uint16_t>& out);

// A URI as a path: percent-decoded and resolved against the document's folder; false for a URI
// of another scheme than file. `data:` URIs are not paths.
bool uriPath(const Context& c, std::string_view uri, std::filesystem::path& out);
bool isDataUri(std::string_view uri);
// The bytes and media type of a data: URI (base64 or percent-encoded); false when malformed.
bool decodeDataUri(std::string_view uri, std::vector<uint8_t>& bytes, std::string& mediaType);

}  // namespace gltf
