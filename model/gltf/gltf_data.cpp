#include "model/gltf/gltf_data.h"

#include <meshoptimizer.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <system_error>
#include <thread>
#include <type_traits>

#include "platform/regular_file.h"

namespace gltf {

namespace {

constexpr std::string_view kTypeNames[] = {"SCALAR", "VEC2", "VEC3", "VEC4", "MAT2", "MAT3", "MAT4"};
constexpr uint32_t kTypeComponents[] = {1, 2, 3, 4, 4, 9, 16};
constexpr uint32_t kTypeColumns[] = {1, 1, 1, 1, 2, 3, 4};

uint32_t componentSize(uint32_t type) {
  switch (type) {
    case kByte:
    case kUnsignedByte:
      return 1;
    case kShort:
    case kUnsignedShort:
      return 2;
    case kUnsignedInt:
    case kFloat:
      return 4;
    default:
      return 0;
  }
}

const char* componentName(uint32_t type) {
  switch (type) {
    case kByte:
      return "BYTE";
    case kUnsignedByte:
      return "UNSIGNED_BYTE";
    case kShort:
      return "SHORT";
    case kUnsignedShort:
      return "UNSIGNED_SHORT";
    case kUnsignedInt:
      return "UNSIGNED_INT";
    case kFloat:
      return "FLOAT";
    default:
      return "unknown";
  }
}

std::string typeList(uint32_t mask) {
  std::string names;
  for (uint32_t t = 0; t < std::size(kTypeNames); ++t) {
    if ((mask & (1u << t)) != 0) names += (names.empty() ? "" : " or ") + std::string(kTypeNames[t]);
  }
  return names;
}

std::string componentList(uint32_t mask) {
  std::string names;
  for (uint32_t t = kByte; t <= kFloat; ++t) {
    if (componentSize(t) != 0 && (mask & componentBit(t)) != 0) {
      names += (names.empty() ? "" : " or ") + std::string(componentName(t));
    }
  }
  return names;
}

// The byte offset of each component within an element: a matrix's columns start at four-byte
// boundaries.
void componentOffsets(const Accessor& a, uint32_t* offsets) {
  const uint32_t columns = kTypeColumns[a.type];
  const uint32_t rows = a.components / columns;
  const uint32_t columnBytes = (rows * a.componentSize + 3) & ~3u;
  for (uint32_t c = 0; c < columns; ++c) {
    for (uint32_t r = 0; r < rows; ++r)
      offsets[c * rows + r] = (columns > 1 ? c * columnBytes : 0) + r * a.componentSize;
  }
}

bool readLayoutExtensionsOfBuffer(Context& c, Object buffer, const Where& where, Buffer& out) {
  Object extensions;
  bool present = false;
  if (!optObject(c.m, buffer, "extensions", where, extensions, present) || !present) return !c.m.failed();
  for (const std::string_view name :
       {std::string_view("EXT_meshopt_compression"), std::string_view("KHR_meshopt_compression")}) {
    Object meshopt;
    if (!optObject(c.m, extensions, name, where["extensions"], meshopt, present)) return false;
    if (present && !optBool(c.m, meshopt, "fallback", where["extensions"][name], out.fallbackOnly)) return false;
  }
  return true;
}

bool readMeshoptView(Context& c, Object extension, const Where& where, MeshoptView& out) {
  out.present = true;
  uint64_t stride = 0;
  if (!optIndex(c.m, extension, "buffer", where, out.buffer) ||
      !optUint(c.m, extension, "byteOffset", where, out.offset) ||
      !optUint(c.m, extension, "byteLength", where, out.length) ||
      !optUint(c.m, extension, "byteStride", where, stride, 256) ||
      !optUint(c.m, extension, "count", where, out.count, UINT32_MAX)) {
    return false;
  }
  out.stride = static_cast<uint32_t>(stride);
  Element value;
  if (!member(extension, "buffer", value) || !member(extension, "byteLength", value) ||
      !member(extension, "byteStride", value) || !member(extension, "count", value)) {
    return c.m.fail(&where, "needs buffer, byteLength, byteStride and count");
  }
  if (!checkIndex(c.m, where["buffer"], out.buffer, c.buffers.size(), "buffers")) return false;
  const Buffer& source = c.buffers[static_cast<std::size_t>(out.buffer)];
  if (out.offset > source.byteLength || out.length > source.byteLength - out.offset) {
    return c.m.fail(&where, "bytes %llu to %llu lie beyond the %llu bytes of buffers[%d]",
                    static_cast<unsigned long long>(out.offset),
                    static_cast<unsigned long long>(out.offset + out.length),
                    static_cast<unsigned long long>(source.byteLength), out.buffer);
  }
  std::string mode = "ATTRIBUTES";
  std::string filter = "NONE";
  if (!optString(c.m, extension, "mode", where, mode) || !optString(c.m, extension, "filter", where, filter))
    return false;
  if (mode == "ATTRIBUTES")
    out.mode = MeshoptView::Mode::kAttributes;
  else if (mode == "TRIANGLES")
    out.mode = MeshoptView::Mode::kTriangles;
  else if (mode == "INDICES")
    out.mode = MeshoptView::Mode::kIndices;
  else
    return c.m.fail(&where, "mode %s is none of ATTRIBUTES, TRIANGLES, INDICES", mode.c_str());
  // A filter this decoder lacks is found out when the view is decoded; the fallback may serve.
  if (filter == "NONE")
    out.filter = MeshoptView::Filter::kNone;
  else if (filter == "OCTAHEDRAL")
    out.filter = MeshoptView::Filter::kOctahedral;
  else if (filter == "QUATERNION")
    out.filter = MeshoptView::Filter::kQuaternion;
  else if (filter == "EXPONENTIAL")
    out.filter = MeshoptView::Filter::kExponential;
  else
    out.filter = MeshoptView::Filter::kUnknown;
  Element filterValue;
  if (member(extension, "filter", filterValue) && filterValue.get_string().get(out.filterName) != simdjson::SUCCESS) {
    out.filterName = {};
  }
  return true;
}

bool readBuffers(Context& c) {
  const Where top;
  const std::vector<Element>& array = c.bufferList;
  c.buffers.reserve(array.size());
  int64_t i = 0;
  for (Element e : array) {
    const Where where = top.at("buffers", i++);
    Object object;
    if (!toObject(c.m, e, where, object)) return false;
    Buffer& b = c.buffers.emplace_back();
    Element value;
    if (!member(object, "byteLength", value)) return c.m.fail(&where, "no byteLength");
    if (!toUint(c.m, value, where["byteLength"], b.byteLength)) return false;
    if (member(object, "uri", value)) {
      if (!toString(c.m, value, where["uri"], b.uri)) return false;
      b.hasUri = true;
    }
    if (!readLayoutExtensionsOfBuffer(c, object, where, b)) return false;
  }
  return true;
}

bool readViews(Context& c) {
  const Where top;
  const std::vector<Element>& array = c.viewList;
  bool present = false;
  c.views.reserve(array.size());
  int64_t i = 0;
  for (Element e : array) {
    const Where where = top.at("bufferViews", i++);
    Object object;
    if (!toObject(c.m, e, where, object)) return false;
    BufferView& v = c.views.emplace_back();
    Element value;
    if (!member(object, "buffer", value) || !member(object, "byteLength", value)) {
      return c.m.fail(&where, "needs buffer and byteLength");
    }
    uint64_t stride = 0;
    if (!optIndex(c.m, object, "buffer", where, v.buffer) || !optUint(c.m, object, "byteOffset", where, v.offset) ||
        !optUint(c.m, object, "byteLength", where, v.length) ||
        !optUint(c.m, object, "byteStride", where, stride, 252)) {
      return false;
    }
    if (member(object, "byteStride", value) && stride < 1) return c.m.fail(&where, "byteStride 0");
    v.stride = static_cast<uint32_t>(stride);
    if (!checkIndex(c.m, where["buffer"], v.buffer, c.buffers.size(), "buffers")) return false;
    const Buffer& b = c.buffers[static_cast<std::size_t>(v.buffer)];
    if (v.offset > b.byteLength || v.length > b.byteLength - v.offset) {
      return c.m.fail(&where, "bytes %llu to %llu lie beyond the %llu bytes of buffers[%d]",
                      static_cast<unsigned long long>(v.offset), static_cast<unsigned long long>(v.offset + v.length),
                      static_cast<unsigned long long>(b.byteLength), v.buffer);
    }
    Object extensions;
    if (!optObject(c.m, object, "extensions", where, extensions, present)) return false;
    if (!present) continue;
    for (const char* name : {"EXT_meshopt_compression", "KHR_meshopt_compression"}) {
      Object meshopt;
      if (!optObject(c.m, extensions, name, where["extensions"], meshopt, present)) return false;
      if (!present || v.meshopt.present) continue;
      if (!readMeshoptView(c, meshopt, where["extensions"][name], v.meshopt)) return false;
      v.meshopt.extension = name;
    }
  }
  return true;
}

bool readSparse(Context& c, Object sparse, const Where& where, Accessor& a) {
  a.sparse = true;
  Element value;
  Object indices, values;
  if (!member(sparse, "count", value) || !toUint(c.m, value, where["count"], a.sparseCount, UINT32_MAX)) {
    return c.m.failed() ? false : c.m.fail(&where, "no count");
  }
  if (!member(sparse, "indices", value) || !toObject(c.m, value, where["indices"], indices)) {
    return c.m.failed() ? false : c.m.fail(&where, "no indices");
  }
  if (!member(sparse, "values", value) || !toObject(c.m, value, where["values"], values)) {
    return c.m.failed() ? false : c.m.fail(&where, "no values");
  }
  const Where indicesWhere = where["indices"], valuesWhere = where["values"];
  uint64_t type = 0;
  if (!member(indices, "bufferView", value) || !member(indices, "componentType", value)) {
    return c.m.fail(&indicesWhere, "needs bufferView and componentType");
  }
  if (!member(values, "bufferView", value)) return c.m.fail(&valuesWhere, "no bufferView");
  if (!optIndex(c.m, indices, "bufferView", indicesWhere, a.sparseIndicesView) ||
      !optUint(c.m, indices, "byteOffset", indicesWhere, a.sparseIndicesOffset) ||
      !optUint(c.m, indices, "componentType", indicesWhere, type, UINT32_MAX) ||
      !optIndex(c.m, values, "bufferView", valuesWhere, a.sparseValuesView) ||
      !optUint(c.m, values, "byteOffset", valuesWhere, a.sparseValuesOffset)) {
    return false;
  }
  if (type != kUnsignedByte && type != kUnsignedShort && type != kUnsignedInt) {
    return c.m.fail(&indicesWhere, "componentType %llu is none of 5121, 5123, 5125",
                    static_cast<unsigned long long>(type));
  }
  a.sparseIndicesType = static_cast<uint32_t>(type);
  return checkIndex(c.m, indicesWhere["bufferView"], a.sparseIndicesView, c.views.size(), "bufferViews") &&
         checkIndex(c.m, valuesWhere["bufferView"], a.sparseValuesView, c.views.size(), "bufferViews");
}

bool readAccessors(Context& c) {
  const Where top;
  const std::vector<Element>& array = c.accessorList;
  bool present = false;
  c.accessors.reserve(array.size());
  int64_t i = 0;
  for (Element e : array) {
    const Where where = top.at("accessors", i++);
    Object object;
    if (!toObject(c.m, e, where, object)) return false;
    Accessor& a = c.accessors.emplace_back();
    Element value;
    if (!member(object, "componentType", value) || !member(object, "count", value) || !member(object, "type", value)) {
      return c.m.fail(&where, "needs componentType, count and type");
    }
    uint64_t componentType = 0;
    std::string type;
    if (!optIndex(c.m, object, "bufferView", where, a.view) || !optUint(c.m, object, "byteOffset", where, a.offset) ||
        !optUint(c.m, object, "componentType", where, componentType, UINT32_MAX) ||
        !optBool(c.m, object, "normalized", where, a.normalized) ||
        !optUint(c.m, object, "count", where, a.count, UINT32_MAX) || !optString(c.m, object, "type", where, type)) {
      return false;
    }
    a.componentType = static_cast<uint32_t>(componentType);
    a.componentSize = componentSize(a.componentType);
    if (a.componentSize == 0) {
      return c.m.fail(&where, "componentType %llu is none of 5120, 5121, 5122, 5123, 5125, 5126",
                      static_cast<unsigned long long>(componentType));
    }
    const auto named = std::find(std::begin(kTypeNames), std::end(kTypeNames), type);
    if (named == std::end(kTypeNames)) return c.m.fail(&where, "type %s is not an accessor type", type.c_str());
    a.type = static_cast<AccessorType>(named - std::begin(kTypeNames));
    a.components = kTypeComponents[a.type];
    const uint32_t columns = kTypeColumns[a.type];
    a.elementSize = columns == 1 ? a.components * a.componentSize
                                 : columns * ((a.components / columns * a.componentSize + 3) & ~3u);
    if (member(object, "bufferView", value) &&
        !checkIndex(c.m, where["bufferView"], a.view, c.views.size(), "bufferViews")) {
      return false;
    }
    Object sparse;
    if (!optObject(c.m, object, "sparse", where, sparse, present)) return false;
    if (present && !readSparse(c, sparse, where["sparse"], a)) return false;
  }
  return true;
}

bool loadBuffer(Context& c, int32_t index) {
  Buffer& b = c.buffers[static_cast<std::size_t>(index)];
  if (b.state == Buffer::State::kRead) return true;
  if (b.state == Buffer::State::kFailed) return false;
  b.state = Buffer::State::kFailed;
  const Where where = Where().at("buffers", index);
  if (!b.hasUri) {
    if (c.glb && index == 0) {
      if (!c.hasBin) return c.m.fail(&where, "no uri, and the GLB has no binary chunk");
      if (b.byteLength > c.binSize) {
        return c.m.fail(&where, "byteLength %llu is more than the %zu bytes of the GLB's binary chunk",
                        static_cast<unsigned long long>(b.byteLength), c.binSize);
      }
      b.bytes = c.container;
      b.offset = c.binOffset;
      b.state = Buffer::State::kRead;
      return true;
    }
    if (b.fallbackOnly) return c.m.fail(&where, "holds no data: it stands in for meshopt-compressed data");
    return c.m.fail(&where, "no uri and no data");
  }
  if (isDataUri(b.uri)) {
    auto bytes = std::make_shared<std::vector<uint8_t>>();
    std::string mediaType;
    if (!decodeDataUri(b.uri, *bytes, mediaType)) return c.m.fail(&where, "a data: URI that cannot be decoded");
    if (bytes->size() < b.byteLength) {
      return c.m.fail(&where, "its data: URI holds %zu bytes, fewer than its byteLength %llu", bytes->size(),
                      static_cast<unsigned long long>(b.byteLength));
    }
    b.bytes = std::move(bytes);
    b.state = Buffer::State::kRead;
    return true;
  }
  std::filesystem::path path;
  const std::string uri(b.uri);
  if (!c.hasFolder) return c.m.fail(&where, "%s: an external file, with no folder to find it in", uri.c_str());
  if (!uriPath(c, b.uri, path)) return c.m.fail(&where, "%s: a URI that names no local file", uri.c_str());
  // The file is read only as far as the buffer reaches. A buffer of up to 16 MiB is read in
  // one go (a byteLength larger than its file costs at most that); a larger one only once its
  // file's size is known to hold it.
  std::string why;
  auto bytes = std::make_shared<std::vector<uint8_t>>();
  uint64_t size = 0;
  constexpr uint64_t kReadAtOnce = uint64_t{16} << 20;
  if (b.byteLength > kReadAtOnce) {
    std::vector<uint8_t> head;
    if (!platform::readFileHead(path, 0, head, size, &why)) {
      return c.m.fail(&where, "cannot read %s: %s", path.c_str(), why.c_str());
    }
  }
  if (size < b.byteLength && b.byteLength > kReadAtOnce) {
    return c.m.fail(&where, "%s holds %llu bytes, fewer than its byteLength %llu", path.c_str(),
                    static_cast<unsigned long long>(size), static_cast<unsigned long long>(b.byteLength));
  }
  if (!platform::readFileHead(path, static_cast<std::size_t>(b.byteLength), *bytes, size, &why)) {
    return c.m.fail(&where, "cannot read %s: %s", path.c_str(), why.c_str());
  }
  if (size < b.byteLength) {
    return c.m.fail(&where, "%s holds %llu bytes, fewer than its byteLength %llu", path.c_str(),
                    static_cast<unsigned long long>(size), static_cast<unsigned long long>(b.byteLength));
  }
  if (bytes->size() < b.byteLength) return c.m.fail(&where, "%s ended early", path.c_str());
  c.inputBytes += bytes->size();
  b.bytes = std::move(bytes);
  b.state = Buffer::State::kRead;
  return true;
}

// Why a meshopt-compressed view cannot be decoded, or "" when it can be tried.
std::string meshoptProblem(const Context& c, const BufferView& v) {
  const MeshoptView& x = v.meshopt;
  const uint64_t size = x.count * x.stride;
  if (x.filter == MeshoptView::Filter::kUnknown) {
    return "filter " + std::string(x.filterName) + " is not known to this meshoptimizer (0.18)";
  }
  if (size > v.length) {
    return "count x byteStride is " + std::to_string(size) + " bytes, more than the view's " + std::to_string(v.length);
  }
  // The codecs pack at best some 32 values into a byte; a view claiming far more is hostile.
  if (!c.mayExpandTo(v.length) || x.length == 0 || v.length / x.length > 256) {
    return std::to_string(x.length) + " compressed bytes cannot hold " + std::to_string(v.length);
  }
  switch (x.mode) {
    case MeshoptView::Mode::kAttributes:
      if (x.stride == 0 || x.stride % 4 != 0 || x.stride > 256) return "byteStride must be a multiple of 4 up to 256";
      break;
    case MeshoptView::Mode::kTriangles:
      if (x.count % 3 != 0) return "count is not a multiple of 3";
      [[fallthrough]];
    case MeshoptView::Mode::kIndices:
      if (x.stride != 2 && x.stride != 4) return "byteStride must be 2 or 4";
      if (x.filter != MeshoptView::Filter::kNone) return "index data takes no filter";
      break;
  }
  if (x.filter == MeshoptView::Filter::kOctahedral && x.stride != 4 && x.stride != 8)
    return "OCTAHEDRAL needs byteStride 4 or 8";
  if (x.filter == MeshoptView::Filter::kQuaternion && x.stride != 8) return "QUATERNION needs byteStride 8";
  return {};
}

// Decodes a view that meshoptProblem passed from `compressed` (its source bytes) into
// v.decoded, or says why not in v.decodeError. Touches nothing else: views decode in parallel.
void decodeMeshopt(BufferView& v, const uint8_t* compressed) {
  const MeshoptView& x = v.meshopt;
  auto bytes = std::make_shared<std::vector<uint8_t>>(static_cast<std::size_t>(v.length));
  int rc = 0;
  switch (x.mode) {
    case MeshoptView::Mode::kAttributes:
      rc = meshopt_decodeVertexBuffer(bytes->data(), x.count, x.stride, compressed, x.length);
      break;
    case MeshoptView::Mode::kTriangles:
      rc = meshopt_decodeIndexBuffer(bytes->data(), x.count, x.stride, compressed, x.length);
      break;
    case MeshoptView::Mode::kIndices:
      rc = meshopt_decodeIndexSequence(bytes->data(), x.count, x.stride, compressed, x.length);
      break;
  }
  if (rc != 0) {
    v.decodeError = "the decoder refused the data (error " + std::to_string(rc) +
                    "; data of a newer codec version needs a newer meshoptimizer than 0.18)";
    return;
  }
  switch (x.filter) {
    case MeshoptView::Filter::kOctahedral:
      meshopt_decodeFilterOct(bytes->data(), x.count, x.stride);
      break;
    case MeshoptView::Filter::kQuaternion:
      meshopt_decodeFilterQuat(bytes->data(), x.count, x.stride);
      break;
    case MeshoptView::Filter::kExponential:
      meshopt_decodeFilterExp(bytes->data(), x.count, x.stride);
      break;
    default:
      break;
  }
  v.decoded = std::move(bytes);
}

// Every meshopt-compressed view decoded up front, in parallel where there is much to decode.
// A view that cannot be decoded keeps the reason; it fails or falls back when it is read.
bool decodeMeshoptViews(Context& c) {
  std::vector<std::pair<BufferView*, const uint8_t*>> jobs;
  uint64_t compressed = 0;
  for (BufferView& v : c.views) {
    if (!v.meshopt.present) continue;
    v.decodeError = meshoptProblem(c, v);
    if (!v.decodeError.empty()) continue;
    if (!loadBuffer(c, v.meshopt.buffer)) return false;
    const Buffer& source = c.buffers[static_cast<std::size_t>(v.meshopt.buffer)];
    jobs.emplace_back(&v, source.bytes->data() + source.offset + v.meshopt.offset);
    compressed += v.meshopt.length;
  }
  // Decoding runs at about a gigabyte a second: threads pay from a megabyte on.
  runParallel(jobs.size(), compressed >= (uint64_t{1} << 20),
              [&](std::size_t i) { decodeMeshopt(*jobs[i].first, jobs[i].second); });
  return true;
}

// Output element type: floats take normalization, integers take values as they are.
template <class Out, class In>
inline Out convertComponent(In v, bool normalized) {
  if constexpr (std::is_floating_point_v<Out>) {
    if constexpr (std::is_integral_v<In>) {
      if (normalized) {
        constexpr float kScale = 1.0f / static_cast<float>(std::numeric_limits<In>::max());
        const float f = static_cast<float>(v) * kScale;
        if constexpr (std::is_signed_v<In>) return f < -1.0f ? -1.0f : f;
        return f;
      }
    }
    return static_cast<Out>(v);
  } else {
    return static_cast<Out>(v);
  }
}

template <class Out, class In>
void convertElements(const uint8_t* src, std::size_t stride, std::size_t count, const Accessor& a, Out* out) {
  if (count == 0) return;
  const uint32_t n = a.components;
  if constexpr (std::is_same_v<Out, In>) {
    // The common case: the values as they are, tightly packed or strided.
    if (a.type < kMat2 || a.componentSize == 4) {
      const std::size_t bytes = std::size_t{n} * sizeof(In);
      if (stride == bytes) {
        std::memcpy(out, src, count * bytes);
      } else {
        for (std::size_t i = 0; i < count; ++i) std::memcpy(out + i * n, src + i * stride, bytes);
      }
      return;
    }
  }
  if (a.type < kMat2 && stride == std::size_t{n} * sizeof(In)) {
    // Tightly packed: one run of values, which the compiler vectorizes.
    for (std::size_t j = 0; j < count * n; ++j) {
      In v;
      std::memcpy(&v, src + j * sizeof(In), sizeof v);
      out[j] = convertComponent<Out>(v, a.normalized);
    }
    return;
  }
  if (a.type < kMat2) {
    // Components side by side: a loop the compiler can unroll.
    for (std::size_t i = 0; i < count; ++i, src += stride) {
      for (uint32_t k = 0; k < n; ++k) {
        In v;
        std::memcpy(&v, src + k * sizeof(In), sizeof v);
        out[i * n + k] = convertComponent<Out>(v, a.normalized);
      }
    }
    return;
  }
  uint32_t offsets[16];
  componentOffsets(a, offsets);
  for (std::size_t i = 0; i < count; ++i, src += stride) {
    for (uint32_t k = 0; k < n; ++k) {
      In v;
      std::memcpy(&v, src + offsets[k], sizeof v);
      out[i * n + k] = convertComponent<Out>(v, a.normalized);
    }
  }
}

// Tightly packed values of type In read as Out, one by one: a random-access iterator for
// vector::assign, which then fills fresh memory once instead of zeroing it first.
template <class Out, class In>
struct PackedValues {
  using iterator_category = std::random_access_iterator_tag;
  using value_type = Out;
  using difference_type = std::ptrdiff_t;
  using pointer = const Out*;
  using reference = Out;

  const uint8_t* at;
  bool normalized;

  Out operator*() const {
    In v;
    std::memcpy(&v, at, sizeof v);
    return convertComponent<Out>(v, normalized);
  }
  Out operator[](difference_type n) const { return *(*this + n); }
  PackedValues& operator++() {
    at += sizeof(In);
    return *this;
  }
  PackedValues operator++(int) {
    PackedValues old = *this;
    at += sizeof(In);
    return old;
  }
  PackedValues& operator--() {
    at -= sizeof(In);
    return *this;
  }
  PackedValues& operator+=(difference_type n) {
    at += n * static_cast<difference_type>(sizeof(In));
    return *this;
  }
  PackedValues operator+(difference_type n) const {
    return {at + n * static_cast<difference_type>(sizeof(In)), normalized};
  }
  difference_type operator-(const PackedValues& o) const {
    return (at - o.at) / static_cast<difference_type>(sizeof(In));
  }
  bool operator==(const PackedValues& o) const { return at == o.at; }
  bool operator!=(const PackedValues& o) const { return at != o.at; }
  bool operator<(const PackedValues& o) const { return at < o.at; }
};

template <class Out, class In>
void assignPacked(const uint8_t* src, std::size_t values, bool normalized, std::vector<Out>& out) {
  const PackedValues<Out, In> first{src, normalized};
  out.assign(first, first + static_cast<std::ptrdiff_t>(values));
}

// `values` tightly packed components into `out`.
template <class Out>
void assignAny(const uint8_t* src, std::size_t values, const Accessor& a, std::vector<Out>& out) {
  switch (a.componentType) {
    case kByte:
      assignPacked<Out, int8_t>(src, values, a.normalized, out);
      break;
    case kUnsignedByte:
      assignPacked<Out, uint8_t>(src, values, a.normalized, out);
      break;
    case kShort:
      assignPacked<Out, int16_t>(src, values, a.normalized, out);
      break;
    case kUnsignedShort:
      assignPacked<Out, uint16_t>(src, values, a.normalized, out);
      break;
    case kUnsignedInt:
      assignPacked<Out, uint32_t>(src, values, a.normalized, out);
      break;
    default:
      assignPacked<Out, float>(src, values, a.normalized, out);
      break;
  }
}

template <class Out>
void convertAny(const uint8_t* src, std::size_t stride, std::size_t count, const Accessor& a, Out* out) {
  switch (a.componentType) {
    case kByte:
      convertElements<Out, int8_t>(src, stride, count, a, out);
      break;
    case kUnsignedByte:
      convertElements<Out, uint8_t>(src, stride, count, a, out);
      break;
    case kShort:
      convertElements<Out, int16_t>(src, stride, count, a, out);
      break;
    case kUnsignedShort:
      convertElements<Out, uint16_t>(src, stride, count, a, out);
      break;
    case kUnsignedInt:
      convertElements<Out, uint32_t>(src, stride, count, a, out);
      break;
    default:
      convertElements<Out, float>(src, stride, count, a, out);
      break;
  }
}

uint32_t readIndexValue(const uint8_t* p, uint32_t type) {
  if (type == kUnsignedByte) return *p;
  if (type == kUnsignedShort) {
    uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
  }
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

bool spanFits(uint64_t offset, uint64_t count, uint64_t stride, uint64_t element, uint64_t size) {
  if (count == 0) return offset <= size;
  // count < 2^32 and stride, element < 2^16: no overflow.
  return offset <= size && (count - 1) * stride + element <= size - offset;
}

template <class Out>
bool readAccessor(Context& c, const Where& where, int32_t index, const Accessor& a, std::vector<Out>& out) {
  const uint64_t values = a.count * a.components;
  if (a.view < 0 && !c.mayExpandTo(values * sizeof(Out))) {
    return c.m.fail(&where, "accessors[%d] claims %llu elements with no data to hold them", index,
                    static_cast<unsigned long long>(a.count));
  }
  out.clear();
  // Counted once the data it reads is known to be in: the limit grows with the buffers read.
  const auto produce = [&] {
    return c.mayProduce(values * sizeof(Out)) ||
           c.m.fail(&where, "accessors[%d]: the document makes more than %llu bytes of its %llu", index,
                    static_cast<unsigned long long>(c.produced), static_cast<unsigned long long>(c.inputBytes));
  };
  if (a.view >= 0) {
    Bytes bytes;
    if (!viewBytes(c, where, a.view, bytes)) return false;
    const BufferView& v = c.views[static_cast<std::size_t>(a.view)];
    const uint32_t stride = v.stride != 0 ? v.stride : a.elementSize;
    if (stride < a.elementSize) {
      return c.m.fail(&where, "accessors[%d]: elements of %u bytes do not fit the byteStride %u of bufferViews[%d]",
                      index, a.elementSize, stride, a.view);
    }
    if (!spanFits(a.offset, a.count, stride, a.elementSize, bytes.size)) {
      return c.m.fail(&where,
                      "accessors[%d]: %llu elements of %u bytes, %u apart, from byte %llu run past the %zu bytes "
                      "of bufferViews[%d]",
                      index, static_cast<unsigned long long>(a.count), a.elementSize, stride,
                      static_cast<unsigned long long>(a.offset), bytes.size, a.view);
    }
    if (!produce()) return false;
    if (a.type < kMat2 && stride == a.elementSize) {
      assignAny<Out>(bytes.data() + a.offset, values, a, out);
    } else {
      out.resize(values);
      convertAny<Out>(bytes.data() + a.offset, stride, a.count, a, out.data());
    }
  } else {
    if (!produce()) return false;
    out.assign(values, Out{});
  }
  if (!a.sparse) return true;
  if (a.sparseCount > a.count) {
    return c.m.fail(&where, "accessors[%d]: %llu sparse values for %llu elements", index,
                    static_cast<unsigned long long>(a.sparseCount), static_cast<unsigned long long>(a.count));
  }
  Bytes indices, substitutes;
  if (!viewBytes(c, where, a.sparseIndicesView, indices) || !viewBytes(c, where, a.sparseValuesView, substitutes)) {
    return false;
  }
  const uint32_t indexSize = componentSize(a.sparseIndicesType);
  if (!spanFits(a.sparseIndicesOffset, a.sparseCount, indexSize, indexSize, indices.size) ||
      !spanFits(a.sparseValuesOffset, a.sparseCount, a.elementSize, a.elementSize, substitutes.size)) {
    return c.m.fail(&where, "accessors[%d]: its %llu sparse indices or values run past their buffer views", index,
                    static_cast<unsigned long long>(a.sparseCount));
  }
  std::vector<Out> replaced(a.sparseCount * a.components);
  convertAny<Out>(substitutes.data() + a.sparseValuesOffset, a.elementSize, a.sparseCount, a, replaced.data());
  const uint8_t* at = indices.data() + a.sparseIndicesOffset;
  for (uint64_t k = 0; k < a.sparseCount; ++k, at += indexSize) {
    const uint32_t target = readIndexValue(at, a.sparseIndicesType);
    if (target >= a.count) {
      return c.m.fail(&where, "accessors[%d]: sparse index %u is beyond its %llu elements", index, target,
                      static_cast<unsigned long long>(a.count));
    }
    std::copy_n(replaced.data() + k * a.components, a.components, out.data() + std::size_t{target} * a.components);
  }
  return true;
}

constexpr uint32_t kUnsignedIntegers =
    componentBit(kUnsignedByte) | componentBit(kUnsignedShort) | componentBit(kUnsignedInt);

int hexValue(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
}

std::string percentDecoded(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace

bool readDataLayout(Context& c) { return readBuffers(c) && readViews(c) && readAccessors(c) && decodeMeshoptViews(c); }

void runParallel(std::size_t count, bool worthThreads, const std::function<void(std::size_t)>& work) {
  // Small documents (and a fuzzer's) stay on this thread, without even asking how many cores
  // there are (a file read).
  const std::size_t threads =
      !worthThreads || count < 2 ? 1 : std::min<std::size_t>({count, std::thread::hardware_concurrency(), 8});
  std::atomic<std::size_t> next{0};
  const auto loop = [&] {
    for (std::size_t i; (i = next.fetch_add(1)) < count;) work(i);
  };
  std::vector<std::thread> pool;
  for (std::size_t t = 1; t < threads; ++t) {
    try {
      pool.emplace_back(loop);
    } catch (const std::system_error&) {
      break;  // no more threads to be had: the others share the work
    }
  }
  loop();
  for (std::thread& thread : pool) thread.join();
}

bool viewBytes(Context& c, const Where& where, int32_t index, Bytes& out) {
  if (!checkIndex(c.m, where, index, c.views.size(), "bufferViews")) return false;
  BufferView& v = c.views[static_cast<std::size_t>(index)];
  if (v.meshopt.present) {
    if (v.decoded != nullptr) {
      out = {v.decoded, 0, static_cast<std::size_t>(v.length)};
      return true;
    }
    const Buffer& own = c.buffers[static_cast<std::size_t>(v.buffer)];
    const bool hasData = own.hasUri || (c.glb && v.buffer == 0 && c.hasBin);
    if (!hasData || own.fallbackOnly) {
      const Where view = Where().at("bufferViews", index), extensions = view["extensions"];
      const Where at = extensions[v.meshopt.extension];
      return c.m.fail(&at, "cannot be decoded: %s", v.decodeError.c_str());
    }
    c.m.warn("bufferViews[%d]: its %s data cannot be decoded (%s); the uncompressed copy is read", index,
             v.meshopt.extension, v.decodeError.c_str());
  }
  if (!loadBuffer(c, v.buffer)) return false;
  const Buffer& b = c.buffers[static_cast<std::size_t>(v.buffer)];
  out = {b.bytes, b.offset + static_cast<std::size_t>(v.offset), static_cast<std::size_t>(v.length)};
  return true;
}

bool accessorOf(Context& c, const Where& where, int32_t index, uint32_t typeMask, uint32_t componentMask,
                const Accessor*& out) {
  if (!checkIndex(c.m, where, index, c.accessors.size(), "accessors")) return false;
  const Accessor& a = c.accessors[static_cast<std::size_t>(index)];
  if ((typeMask & typeBit(a.type)) == 0) {
    return c.m.fail(&where, "accessors[%d] is %s, not %s", index, std::string(kTypeNames[a.type]).c_str(),
                    typeList(typeMask).c_str());
  }
  if ((componentMask & componentBit(a.componentType)) == 0) {
    return c.m.fail(&where, "accessors[%d] holds %s, not %s", index, componentName(a.componentType),
                    componentList(componentMask).c_str());
  }
  out = &a;
  return true;
}

bool readFloats(Context& c, const Where& where, int32_t index, uint32_t typeMask, uint32_t componentMask,
                std::vector<float>& out, uint32_t* components) {
  const Accessor* a = nullptr;
  if (!accessorOf(c, where, index, typeMask, componentMask, a)) return false;
  if (components != nullptr) *components = a->components;
  return readAccessor(c, where, index, *a, out);
}

bool readUints(Context& c, const Where& where, int32_t index, uint32_t typeMask, std::vector<uint32_t>& out) {
  const Accessor* a = nullptr;
  if (!accessorOf(c, where, index, typeMask, kUnsignedIntegers, a)) return false;
  if (a->normalized) return c.m.fail(&where, "accessors[%d] is normalized; indices cannot be", index);
  return readAccessor(c, where, index, *a, out);
}

bool readUint16s(Context& c, const Where& where, int32_t index, uint32_t typeMask, std::vector<uint16_t>& out) {
  const Accessor* a = nullptr;
  if (!accessorOf(c, where, index, typeMask, componentBit(kUnsignedByte) | componentBit(kUnsignedShort), a)) {
    return false;
  }
  return readAccessor(c, where, index, *a, out);
}

bool isDataUri(std::string_view uri) { return uri.substr(0, 5) == "data:"; }

bool uriPath(const Context& c, std::string_view uri, std::filesystem::path& out) {
  // A scheme is letters, digits, "+", "-", "." before a colon, starting with a letter.
  std::size_t colon = uri.find(':');
  const std::size_t slash = uri.find('/');
  if (colon != std::string_view::npos && (slash == std::string_view::npos || colon < slash) && colon > 1) {
    bool scheme = true;
    for (std::size_t i = 0; i < colon; ++i) {
      const char ch = uri[i];
      scheme = scheme && ((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') ||
                          (i > 0 && ((ch >= '0' && ch <= '9') || ch == '+' || ch == '-' || ch == '.')));
    }
    if (scheme) {
      if (uri.substr(0, colon) != "file") return false;
      uri.remove_prefix(colon + 1);
      // file:///path and file:/path; a host other than localhost names another machine.
      if (uri.substr(0, 2) == "//") {
        uri.remove_prefix(2);
        const std::size_t end = uri.find('/');
        const std::string_view host = uri.substr(0, end);
        if (!host.empty() && host != "localhost") return false;
        uri.remove_prefix(end == std::string_view::npos ? uri.size() : end);
      }
    }
  }
  // A query or fragment is no part of the file's name.
  uri = uri.substr(0, uri.find_first_of("?#"));
  if (uri.empty()) return false;
  const std::string decoded = percentDecoded(uri);
  out = decoded.front() == '/' || !c.hasFolder ? std::filesystem::path(decoded)
                                               : std::filesystem::path(c.folder + '/' + decoded);
  return true;
}

bool decodeDataUri(std::string_view uri, std::vector<uint8_t>& bytes, std::string& mediaType) {
  const std::size_t comma = uri.find(',');
  if (!isDataUri(uri) || comma == std::string_view::npos) return false;
  std::string_view header = uri.substr(5, comma - 5);
  const std::string_view data = uri.substr(comma + 1);
  const bool base64 = header.size() >= 7 && header.substr(header.size() - 7) == ";base64";
  if (base64) header.remove_suffix(7);
  mediaType.assign(header.substr(0, header.find(';')));
  bytes.clear();
  if (!base64) {
    const std::string decoded = percentDecoded(data);
    bytes.assign(decoded.begin(), decoded.end());
    return true;
  }
  static constexpr auto kValues = [] {
    std::array<int8_t, 256> v{};
    v.fill(-1);
    for (int i = 0; i < 26; ++i) {
      v[static_cast<std::size_t>('A' + i)] = static_cast<int8_t>(i);
      v[static_cast<std::size_t>('a' + i)] = static_cast<int8_t>(26 + i);
    }
    for (int i = 0; i < 10; ++i) v[static_cast<std::size_t>('0' + i)] = static_cast<int8_t>(52 + i);
    v['+'] = v['-'] = 62;  // the URL-safe alphabet too
    v['/'] = v['_'] = 63;
    return v;
  }();
  std::string_view text = data;
  while (!text.empty() && text.back() == '=') text.remove_suffix(1);
  if (data.size() - text.size() > 2) return false;
  bytes.resize(text.size() / 4 * 3 + 3);
  std::size_t n = 0;
  uint32_t bits = 0;
  int held = 0;
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  const auto* end = p + text.size();
  // Four characters at a time where all four are valid; the rest one by one.
  while (end - p >= 4) {
    const int a = kValues[p[0]], b = kValues[p[1]], c2 = kValues[p[2]], d = kValues[p[3]];
    if ((a | b | c2 | d) < 0) break;
    const uint32_t v = static_cast<uint32_t>(a) << 18 | static_cast<uint32_t>(b) << 12 |
                       static_cast<uint32_t>(c2) << 6 | static_cast<uint32_t>(d);
    bytes[n] = static_cast<uint8_t>(v >> 16);
    bytes[n + 1] = static_cast<uint8_t>(v >> 8);
    bytes[n + 2] = static_cast<uint8_t>(v);
    n += 3;
    p += 4;
  }
  for (; p < end; ++p) {
    const int v = kValues[*p];
    if (v < 0) {
      if (*p == '\r' || *p == '\n' || *p == ' ') continue;
      return false;
    }
    bits = bits << 6 | static_cast<uint32_t>(v);
    held += 6;
    if (held >= 8) {
      held -= 8;
      if (n == bytes.size()) bytes.push_back(0);
      bytes[n++] = static_cast<uint8_t>(bits >> held);
    }
  }
  bytes.resize(n);
  return true;
}

}  // namespace gltf
