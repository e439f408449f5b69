#include "model/mesh_formats/ply_reader.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "model/mesh_formats/mesh_reading.h"
#include "model/mesh_formats/mesh_text.h"

namespace {

using meshio::ByteSource;
using meshio::ReadReport;
using meshio::Workers;

constexpr std::size_t kHeaderLimit = 1u << 20;
constexpr std::size_t kBlockBytes = 4u << 20;

enum class Type : uint8_t { kInt8, kUint8, kInt16, kUint16, kInt32, kUint32, kFloat32, kFloat64 };

constexpr std::size_t sizeOf(Type t) {
  switch (t) {
    case Type::kInt8:
    case Type::kUint8: return 1;
    case Type::kInt16:
    case Type::kUint16: return 2;
    case Type::kInt32:
    case Type::kUint32:
    case Type::kFloat32: return 4;
    case Type::kFloat64: return 8;
  }
  return 1;
}

bool typeNamed(std::string_view s, Type& t) {
  static constexpr struct {
    std::string_view name;
    Type type;
  } kNames[] = {{"char", Type::kInt8},     {"int8", Type::kInt8},     {"uchar", Type::kUint8},
                {"uint8", Type::kUint8},   {"short", Type::kInt16},   {"int16", Type::kInt16},
                {"ushort", Type::kUint16}, {"uint16", Type::kUint16}, {"int", Type::kInt32},
                {"int32", Type::kInt32},   {"uint", Type::kUint32},   {"uint32", Type::kUint32},
                {"float", Type::kFloat32}, {"float32", Type::kFloat32}, {"double", Type::kFloat64},
                {"float64", Type::kFloat64}};
  for (const auto& n : kNames) {
    if (n.name == s) {
      t = n.type;
      return true;
    }
  }
  return false;
}

// What a vertex property is for.
enum Role : uint8_t { kNoRole, kX, kY, kZ, kNx, kNy, kNz, kRed, kGreen, kBlue, kAlpha, kU, kV, kRoles };

Role roleNamed(std::string_view n) {
  static constexpr struct {
    std::string_view name;
    Role role;
  } kNames[] = {{"x", kX},           {"y", kY},           {"z", kZ},
                {"nx", kNx},         {"ny", kNy},         {"nz", kNz},
                {"normal_x", kNx},   {"normal_y", kNy},   {"normal_z", kNz},
                {"red", kRed},       {"green", kGreen},   {"blue", kBlue},
                {"alpha", kAlpha},   {"diffuse_red", kRed}, {"diffuse_green", kGreen},
                {"diffuse_blue", kBlue}, {"diffuse_alpha", kAlpha}, {"s", kU},
                {"t", kV},           {"u", kU},           {"v", kV},
                {"texture_u", kU},   {"texture_v", kV},   {"texture_s", kU},
                {"texture_t", kV}};
  for (const auto& r : kNames) {
    if (r.name == n) return r.role;
  }
  return kNoRole;
}

struct Property {
  std::string name;
  Type type = Type::kFloat32;  // the items' type for a list
  bool list = false;
  Type countType = Type::kUint8;
  Role role = kNoRole;
};

enum class Kind : uint8_t { kOther, kVertex, kFace, kStrips };

struct Element {
  std::string name;
  uint64_t count = 0;
  std::vector<Property> properties;
  Kind kind = Kind::kOther;
  int indexList = -1;  // the property that lists a face's or strip's vertices

  bool fixedSize() const {
    return std::none_of(properties.begin(), properties.end(), [](const Property& p) { return p.list; });
  }
  // Bytes of a record without list items.
  std::size_t minBinaryBytes() const {
    std::size_t n = 0;
    for (const Property& p : properties) n += sizeOf(p.list ? p.countType : p.type);
    return n;
  }
};

enum class Format : uint8_t { kAscii, kLittle, kBig };

struct Header {
  Format format = Format::kAscii;
  bool formatSeen = false;
  std::vector<Element> elements;
  std::string texture;
  std::string generator;
  std::size_t bodyStart = 0;
  std::size_t unknownLines = 0;
};

std::vector<std::string_view> words(std::string_view line) {
  std::vector<std::string_view> out;
  const char* p = line.data();
  const char* end = p + line.size();
  for (p = meshtext::skipBlanks(p, end); p < end; p = meshtext::skipBlanks(p, end)) {
    const char* q = meshtext::tokenEnd(p, end);
    out.emplace_back(p, static_cast<std::size_t>(q - p));
    p = q;
  }
  return out;
}

bool lowerEquals(std::string_view a, std::string_view lower) {
  if (a.size() != lower.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const char c = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
    if (c != lower[i]) return false;
  }
  return true;
}

// Parses the header in `text` (the file's start). False with the reason in `why`.
bool parseHeader(std::string_view text, Header& header, std::string& why) {
  const char* p = text.data();
  const char* end = p + text.size();
  bool first = true;
  while (p < end) {
    const char* next;
    const std::string_view line = meshtext::lineAt(p, end, next);
    const std::vector<std::string_view> w = words(line);
    if (first) {
      if (w.size() != 1 || w[0] != "ply") {
        why = "not a PLY file: it does not start with \"ply\"";
        return false;
      }
      first = false;
    } else if (w.empty()) {
    } else if (w[0] == "format") {
      if (w.size() < 2) {
        why = "header: format line without a format";
        return false;
      }
      if (w[1] == "ascii") header.format = Format::kAscii;
      else if (w[1] == "binary_little_endian") header.format = Format::kLittle;
      else if (w[1] == "binary_big_endian") header.format = Format::kBig;
      else {
        why = "header: unknown format \"" + std::string(w[1]) + "\"";
        return false;
      }
      header.formatSeen = true;
    } else if (w[0] == "comment") {
      const std::string_view rest = meshtext::trimmed(line.substr(static_cast<std::size_t>(w[0].data() + w[0].size() - line.data())));
      const std::vector<std::string_view> r = words(rest);
      if (!r.empty() && lowerEquals(r[0], "texturefile")) {
        header.texture = std::string(meshtext::trimmed(rest.substr(static_cast<std::size_t>(r[0].data() + r[0].size() - rest.data()))));
      } else if (header.generator.empty()) {
        header.generator = std::string(rest.substr(0, 200));
      }
    } else if (w[0] == "obj_info") {
    } else if (w[0] == "element") {
      Element element;
      int64_t count = -1;
      const char* c = w.size() >= 3 ? w[2].data() : nullptr;
      if (w.size() < 3 || !meshtext::scanInteger(c, w[2].data() + w[2].size(), count) || count < 0) {
        why = "header: element line without a name and count: \"" + std::string(meshtext::trimmed(line)) + "\"";
        return false;
      }
      element.name = std::string(w[1]);
      element.count = static_cast<uint64_t>(count);
      header.elements.push_back(std::move(element));
    } else if (w[0] == "property") {
      if (header.elements.empty()) {
        why = "header: a property before any element";
        return false;
      }
      Property property;
      bool ok;
      if (w.size() >= 5 && w[1] == "list") {
        property.list = true;
        ok = typeNamed(w[2], property.countType) && typeNamed(w[3], property.type) &&
             property.countType != Type::kFloat32 && property.countType != Type::kFloat64;
        property.name = std::string(w[4]);
      } else {
        ok = w.size() >= 3 && typeNamed(w[1], property.type);
        if (ok) property.name = std::string(w[2]);
      }
      if (!ok) {
        why = "header: property of an unknown type: \"" + std::string(meshtext::trimmed(line)) + "\"";
        return false;
      }
      header.elements.back().properties.push_back(std::move(property));
    } else if (w[0] == "end_header") {
      header.bodyStart = static_cast<std::size_t>(next - text.data());
      if (!header.formatSeen) {
        why = "header: no format line";
        return false;
      }
      return true;
    } else {
      ++header.unknownLines;
    }
    p = next;
  }
  why = first ? "is empty" : "header: no end_header line";
  return false;
}

// Which elements the reader uses, and for what.
void assignRoles(Header& header) {
  bool vertex = false, face = false, strips = false;
  for (Element& e : header.elements) {
    if (e.name == "vertex" && !vertex) {
      e.kind = Kind::kVertex;
      vertex = true;
      for (Property& p : e.properties) p.role = p.list ? kNoRole : roleNamed(p.name);
    } else if ((e.name == "face" && !face) || (e.name == "tristrips" && !strips)) {
      e.kind = e.name == "face" ? Kind::kFace : Kind::kStrips;
      (e.kind == Kind::kFace ? face : strips) = true;
      for (std::size_t i = 0; i < e.properties.size() && e.indexList < 0; ++i) {
        const Property& p = e.properties[i];
        if (p.list && (p.name == "vertex_indices" || p.name == "vertex_index")) e.indexList = static_cast<int>(i);
      }
      for (std::size_t i = 0; i < e.properties.size() && e.indexList < 0; ++i) {
        if (e.properties[i].list) e.indexList = static_cast<int>(i);
      }
      if (e.indexList < 0) e.kind = Kind::kOther;
    }
  }
}

// ---- values ----

template <bool Big>
inline double loadValue(const uint8_t* p, Type t) {
  auto bits = [&](auto v) {
    std::memcpy(&v, p, sizeof v);
    if constexpr (Big) {
      if constexpr (sizeof v == 2) v = static_cast<decltype(v)>(__builtin_bswap16(static_cast<uint16_t>(v)));
      if constexpr (sizeof v == 4) v = static_cast<decltype(v)>(__builtin_bswap32(static_cast<uint32_t>(v)));
      if constexpr (sizeof v == 8) v = static_cast<decltype(v)>(__builtin_bswap64(static_cast<uint64_t>(v)));
    }
    return v;
  };
  switch (t) {
    case Type::kInt8: return static_cast<int8_t>(p[0]);
    case Type::kUint8: return p[0];
    case Type::kInt16: return static_cast<int16_t>(bits(uint16_t{}));
    case Type::kUint16: return bits(uint16_t{});
    case Type::kInt32: return static_cast<int32_t>(bits(uint32_t{}));
    case Type::kUint32: return bits(uint32_t{});
    case Type::kFloat32: return std::bit_cast<float>(bits(uint32_t{}));
    case Type::kFloat64: return std::bit_cast<double>(bits(uint64_t{}));
  }
  return 0;
}

// An integer list count or index as written; doubles that are not whole give -1 (refused).
inline int64_t asIndex(double v) {
  if (!(v >= -2147483648.0 && v <= 4294967295.0)) return -2;
  const int64_t i = static_cast<int64_t>(v);
  return static_cast<double>(i) == v ? i : -2;
}

// The colour channel a value of `type` stands for, in [0, 1].
inline float channelValue(double v, Type type) {
  switch (type) {
    case Type::kInt8:
    case Type::kUint8: return static_cast<float>(v / 255.0);
    case Type::kInt16:
    case Type::kUint16: return static_cast<float>(v / 65535.0);
    case Type::kInt32:
    case Type::kUint32: return static_cast<float>(v / 4294967295.0);
    default: return static_cast<float>(v);
  }
}

// ---- the mesh being built ----

struct Output {
  std::size_t vertices = 0;
  bool normals = false, colours = false, uv = false;
  std::vector<float> positions, normalValues, colourValues, uvValues;
  std::vector<uint32_t> indices;
  std::size_t shortFaces = 0, badFaces = 0, shortLines = 0;
};

// Stores value `v` of a vertex property.
inline void storeVertexValue(Output& out, std::size_t i, Role role, Type type, double v) {
  switch (role) {
    case kX:
    case kY:
    case kZ: out.positions[3 * i + (role - kX)] = static_cast<float>(v); break;
    case kNx:
    case kNy:
    case kNz:
      if (out.normals) out.normalValues[3 * i + (role - kNx)] = static_cast<float>(v);
      break;
    case kRed:
    case kGreen:
    case kBlue:
      if (out.colours) {
        out.colourValues[4 * i + (role - kRed)] =
            type == Type::kUint8 && v >= 0 && v <= 255 ? meshio::srgb8ToLinearTable()[static_cast<int>(v)]
                                                        : meshio::srgbToLinear(channelValue(v, type));
      }
      break;
    case kAlpha:
      if (out.colours) out.colourValues[4 * i + 3] = std::clamp(channelValue(v, type), 0.0f, 1.0f);
      break;
    case kU:
      if (out.uv) out.uvValues[2 * i] = static_cast<float>(v);
      break;
    case kV:
      if (out.uv) out.uvValues[2 * i + 1] = 1 - static_cast<float>(v);  // v up in the file
      break;
    default: break;
  }
}

// Appends a face of `n` corners (fanned) when each is a vertex; counts it otherwise.
inline void addFace(const int64_t* corners, std::size_t n, std::size_t vertices, std::vector<uint32_t>& indices,
                    Output& counts) {
  if (n < 3) {
    ++counts.shortFaces;
    return;
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (corners[i] < 0 || static_cast<uint64_t>(corners[i]) >= vertices) {
      ++counts.badFaces;
      return;
    }
  }
  for (std::size_t i = 1; i + 1 < n; ++i) {
    indices.insert(indices.end(), {static_cast<uint32_t>(corners[0]), static_cast<uint32_t>(corners[i]),
                                   static_cast<uint32_t>(corners[i + 1])});
  }
}

// Appends the triangles of strips (-1 restarts one), every other one turned so that all face
// the same way; triangles with a repeated corner join strips and are left out.
inline void addStrips(const int64_t* list, std::size_t n, std::size_t vertices, std::vector<uint32_t>& indices,
                      Output& counts) {
  std::size_t start = 0;
  for (std::size_t i = 0; i <= n; ++i) {
    if (i < n && list[i] >= 0) continue;
    for (std::size_t k = start; k + 2 < i; ++k) {
      int64_t a = list[k], b = list[k + 1], c = list[k + 2];
      if (((k - start) & 1) != 0) std::swap(a, b);
      if (a == b || b == c || a == c) continue;
      if (static_cast<uint64_t>(a) >= vertices || static_cast<uint64_t>(b) >= vertices ||
          static_cast<uint64_t>(c) >= vertices) {
        ++counts.badFaces;
        continue;
      }
      indices.insert(indices.end(), {static_cast<uint32_t>(a), static_cast<uint32_t>(b), static_cast<uint32_t>(c)});
    }
    if (i < n && list[i] < -1) ++counts.badFaces;
    start = i + 1;
  }
}

class PlyReader {
 public:
  PlyReader(ByteSource& source, const MeshReadOptions& options)
      : source_(source), options_(options), report_(options.name, options.quiet),
        workers_(meshio::threadsFor(source.size(), options.threads)),
        blockBytes_(options.blockBytes != 0 ? options.blockBytes : kBlockBytes) {}

  bool read(ModelAsset& asset);

 private:
  bool checkSizes();
  void prepareVertices(const Element& e);
  void cutAt(const Element& e, uint64_t done);
  void growVertices(std::size_t n);
  template <bool Big>
  bool readBinary();
  template <bool Big>
  bool readBinaryElement(const Element& e, uint64_t& pos, uint64_t& done);
  bool readAscii();
  void parseAsciiLine(const Element& e, uint64_t instance, const char* p, const char* end, const char* limit,
                      std::vector<uint32_t>& indices, std::vector<int64_t>& corners, Output& counts);
  bool build(ModelAsset& asset);

  ByteSource& source_;
  const MeshReadOptions& options_;
  ReadReport report_;
  Workers workers_;
  std::size_t blockBytes_;
  Header header_;
  Output out_;
  std::size_t vertexCapacity_ = 0;  // vertices the file has room for
  uint64_t verticesRead_ = 0;       // vertices the body held (a body may end before them)
  std::size_t extraLines_ = 0;
  std::string cut_;  // the warning of a body that ends before its header's elements do
};

// A header may declare more than the file holds (a cut file, or a lie): the vertex lists are
// made for no more vertices than the bytes after the header can hold, and reading ends where
// the file does, with one warning.
bool PlyReader::checkSizes() {
  const uint64_t body = source_.size() - std::min<uint64_t>(source_.size(), header_.bodyStart);
  for (const Element& e : header_.elements) {
    if (e.kind != Kind::kVertex) continue;
    // A value takes at least a byte and a separator in text.
    const std::size_t each = header_.format == Format::kAscii ? 2 * e.properties.size() : e.minBinaryBytes();
    const uint64_t room = each == 0 ? 0 : body / each + 1;
    const uint64_t capacity = std::min(e.count, room);
    if (capacity > UINT32_MAX) return report_.fail("more vertices (" + std::to_string(e.count) + ") than 32-bit indices reach");
    vertexCapacity_ = static_cast<std::size_t>(capacity);
  }
  return true;
}

void PlyReader::prepareVertices(const Element& e) {
  bool has[kRoles] = {};
  for (const Property& p : e.properties) has[p.role] = true;
  out_.vertices = vertexCapacity_;
  out_.normals = has[kNx] && has[kNy] && has[kNz];
  out_.colours = has[kRed] && has[kGreen] && has[kBlue];
  out_.uv = has[kU] && has[kV];
  if (header_.format == Format::kAscii) {
    // Text may hold far fewer lines than the room the header's count and the file's size
    // allow: the lists grow with the lines read (growVertices), never beyond that room.
    out_.positions.reserve(3 * out_.vertices);
    if (out_.normals) out_.normalValues.reserve(3 * out_.vertices);
    if (out_.colours) out_.colourValues.reserve(4 * out_.vertices);
    if (out_.uv) out_.uvValues.reserve(2 * out_.vertices);
    return;
  }
  growVertices(out_.vertices);
}

void PlyReader::growVertices(std::size_t n) {
  n = std::min(n, out_.vertices);
  if (out_.positions.size() >= 3 * n) return;
  out_.positions.resize(3 * n, 0.0f);
  if (out_.normals) out_.normalValues.resize(3 * n, 0.0f);
  if (out_.colours) out_.colourValues.resize(4 * n, 1.0f);
  if (out_.uv) out_.uvValues.resize(2 * n, 1.0f);
}

void PlyReader::cutAt(const Element& e, uint64_t done) {
  cut_ = "ends after " + std::to_string(done) + " of the " + std::to_string(e.count) + " \"" + e.name +
         "\" elements its header declares; the rest is left out";
  if (e.kind == Kind::kVertex && done < out_.vertices) {
    out_.vertices = static_cast<std::size_t>(done);
    out_.positions.resize(3 * out_.vertices);
    if (out_.normals) out_.normalValues.resize(3 * out_.vertices);
    if (out_.colours) out_.colourValues.resize(4 * out_.vertices);
    if (out_.uv) out_.uvValues.resize(2 * out_.vertices);
  }
}

// Reads the records of `e` from `pos` on; `done` says how many there were before the file
// ended. False on a read error or a list of a negative size.
template <bool Big>
bool PlyReader::readBinaryElement(const Element& e, uint64_t& pos, uint64_t& done) {
  const bool vertex = e.kind == Kind::kVertex;
  const bool faces = e.kind == Kind::kFace || e.kind == Kind::kStrips;
  done = 0;
  if (e.properties.empty() || e.count == 0) {
    done = e.count;
    return true;
  }
  const std::size_t fixedBytes = e.fixedSize() ? e.minBinaryBytes() : 0;
  if (!vertex && !faces && fixedBytes != 0) {
    const uint64_t room = (source_.size() - std::min(source_.size(), pos)) / fixedBytes;
    done = std::min(e.count, room);
    pos += done * fixedBytes;
    return true;
  }
  const uint64_t limit = vertex ? std::min<uint64_t>(e.count, out_.vertices) : e.count;
  const Type listType0 = e.properties[0].type;
  const bool fastFaces = e.kind == Kind::kFace && e.properties.size() == 1 && e.properties[0].list &&
                         e.properties[0].countType == Type::kUint8 &&
                         (listType0 == Type::kInt32 || listType0 == Type::kUint32);
  std::vector<int64_t> corners;
  std::size_t want = blockBytes_;
  while (done < limit) {
    std::span<const uint8_t> block;
    std::string why;
    if (!source_.window(pos, want, block, &why)) return report_.fail("cannot read: " + why);
    const bool atEnd = pos + block.size() >= source_.size();
    if (fixedBytes != 0) {
      // Vertices of a fixed size: whole records of the block, parsed on every core.
      const std::size_t records = static_cast<std::size_t>(std::min<uint64_t>(block.size() / fixedBytes, limit - done));
      if (records == 0) break;
      const std::size_t ranges = records < 16384 ? 1 : workers_.count();
      workers_.run(ranges, [&](std::size_t r) {
        for (std::size_t k = records * r / ranges; k < records * (r + 1) / ranges; ++k) {
          const uint8_t* p = block.data() + k * fixedBytes;
          const std::size_t i = static_cast<std::size_t>(done) + k;
          for (const Property& prop : e.properties) {
            if (prop.role != kNoRole) storeVertexValue(out_, i, prop.role, prop.type, loadValue<Big>(p, prop.type));
            p += sizeOf(prop.type);
          }
        }
      });
      done += records;
      pos += records * fixedBytes;
      continue;
    }
    // Records with lists: one after another, as far as whole ones reach.
    const uint8_t* p = block.data();
    const uint8_t* end = p + block.size();
    bool cut = false, pastEnd = false;
    if (fastFaces) {
      // What nearly every file holds: a byte count and 32-bit indices, nothing else.
      while (done < limit) {
        if (p == end) break;
        const std::size_t n = p[0];
        if (static_cast<std::size_t>(end - p) < 1 + 4 * n) break;
        if (n == 3) {
          uint32_t c[3];
          std::memcpy(c, p + 1, sizeof c);
          if constexpr (Big) {
            for (uint32_t& i : c) i = __builtin_bswap32(i);
          }
          // A negative int is a huge uint: out of range too.
          if (c[0] < out_.vertices && c[1] < out_.vertices && c[2] < out_.vertices) {
            out_.indices.insert(out_.indices.end(), c, c + 3);
          } else {
            ++out_.badFaces;
          }
        } else {
          corners.resize(n);
          for (std::size_t k = 0; k < n; ++k) corners[k] = asIndex(loadValue<Big>(p + 1 + 4 * k, listType0));
          addFace(corners.data(), n, out_.vertices, out_.indices, out_);
        }
        p += 1 + 4 * n;
        ++done;
      }
      cut = done < limit;
    }
    while (done < limit && !cut) {
      const uint8_t* q = p;
      const uint8_t* list = nullptr;
      std::size_t listCount = 0;
      Type listType = Type::kUint8;
      for (std::size_t i = 0; i < e.properties.size(); ++i) {
        const Property& prop = e.properties[i];
        const std::size_t scalar = sizeOf(prop.list ? prop.countType : prop.type);
        if (static_cast<std::size_t>(end - q) < scalar) {
          cut = true;
          break;
        }
        if (!prop.list) {
          if (vertex && prop.role != kNoRole) {
            storeVertexValue(out_, static_cast<std::size_t>(done), prop.role, prop.type, loadValue<Big>(q, prop.type));
          }
          q += scalar;
          continue;
        }
        const int64_t n = asIndex(loadValue<Big>(q, prop.countType));
        q += scalar;
        if (n < 0) {
          return report_.fail("\"" + e.name + "\" element " + std::to_string(done) + ": a list of " +
                              std::to_string(n) + " items");
        }
        const uint64_t bytes = static_cast<uint64_t>(n) * sizeOf(prop.type);
        if (bytes > static_cast<uint64_t>(end - q)) {
          // Past the end of the block; past the end of the file, the file ends before it.
          pastEnd = atEnd || bytes > source_.size() - pos;
          cut = true;
          break;
        }
        if (static_cast<int>(i) == e.indexList) {
          list = q;
          listCount = static_cast<std::size_t>(n);
          listType = prop.type;
        }
        q += bytes;
      }
      if (cut) break;
      if (faces && list != nullptr) {
        corners.resize(listCount);
        for (std::size_t k = 0; k < listCount; ++k) {
          corners[k] = asIndex(loadValue<Big>(list + k * sizeOf(listType), listType));
          // An unsigned -1 restarts a strip as a signed one does.
          if (e.kind == Kind::kStrips && corners[k] == 4294967295) corners[k] = -1;
        }
        if (e.kind == Kind::kFace) addFace(corners.data(), listCount, out_.vertices, out_.indices, out_);
        else addStrips(corners.data(), listCount, out_.vertices, out_.indices, out_);
      }
      ++done;
      p = q;
    }
    const std::size_t used = static_cast<std::size_t>(p - block.data());
    pos += used;
    if (pastEnd || (done < limit && atEnd)) break;
    // A record larger than the block: a bigger block.
    want = used == 0 ? block.size() * 2 : blockBytes_;
  }
  return true;
}

template <bool Big>
bool PlyReader::readBinary() {
  uint64_t pos = header_.bodyStart;
  for (const Element& e : header_.elements) {
    uint64_t done = 0;
    if (!readBinaryElement<Big>(e, pos, done)) return false;
    if (e.kind == Kind::kVertex) verticesRead_ = done;
    if (done < e.count) {
      cutAt(e, done);
      break;
    }
  }
  return true;
}

// `limit` is how far past the line the text may be read (for the number conversions).
void PlyReader::parseAsciiLine(const Element& e, uint64_t instance, const char* p, const char* end, const char* limit,
                               std::vector<uint32_t>& indices, std::vector<int64_t>& corners, Output& counts) {
  // Lines past the vertices the file has room for (a header that lies) are not stored.
  const bool vertex = e.kind == Kind::kVertex && instance < out_.vertices;
  // Integers (list sizes, indices) as integers; a value of another form as a double.
  auto integer = [&](Type type) {
    if (type != Type::kFloat32 && type != Type::kFloat64) {
      const char* start = p;
      int64_t i;
      if (meshtext::scanInteger(p, end, i, limit)) return i >= -2147483648LL && i <= 4294967295LL ? i : int64_t{-2};
      p = start;
    }
    return asIndex(meshtext::scanDouble(p, end, limit));
  };
  bool list = false;
  bool shortLine = false;
  corners.clear();
  for (std::size_t i = 0; i < e.properties.size(); ++i) {
    const Property& prop = e.properties[i];
    p = meshtext::skipBlanks(p, end);
    if (p == end) {
      shortLine = true;
      break;
    }
    if (!prop.list) {
      const double v = meshtext::scanDouble(p, end, limit);
      if (vertex && prop.role != kNoRole) storeVertexValue(out_, static_cast<std::size_t>(instance), prop.role, prop.type, v);
      continue;
    }
    const int64_t n = integer(prop.countType);
    const bool wanted = static_cast<int>(i) == e.indexList;
    for (int64_t k = 0; k < n; ++k) {
      p = meshtext::skipBlanks(p, end);
      if (p == end) {
        shortLine = true;
        break;
      }
      if (wanted) {
        corners.push_back(integer(prop.type));
      } else {
        meshtext::scanDouble(p, end, limit);
      }
    }
    if (wanted) list = true;
    if (n < 0) shortLine = true;
    if (shortLine) break;
  }
  if (shortLine) ++counts.shortLines;
  if (list) {
    if (e.kind == Kind::kFace) addFace(corners.data(), corners.size(), out_.vertices, indices, counts);
    else if (e.kind == Kind::kStrips) addStrips(corners.data(), corners.size(), out_.vertices, indices, counts);
  }
}

bool PlyReader::readAscii() {
  // Each element with properties takes one line an instance; the line's number says which.
  std::vector<uint64_t> firstLine(header_.elements.size() + 1, 0);
  for (std::size_t i = 0; i < header_.elements.size(); ++i) {
    const Element& e = header_.elements[i];
    firstLine[i + 1] = firstLine[i] + (e.properties.empty() ? 0 : e.count);
  }
  const uint64_t totalLines = firstLine.back();
  std::size_t vertexElement = header_.elements.size();
  for (std::size_t i = 0; i < header_.elements.size(); ++i) {
    if (header_.elements[i].kind == Kind::kVertex) vertexElement = i;
  }
  uint64_t line = 0;
  uint64_t pos = header_.bodyStart;
  std::size_t want = blockBytes_;
  struct Part {
    std::size_t begin = 0, end = 0;
    uint64_t firstLine = 0, lines = 0;
    std::vector<uint32_t> indices;
    Output counts;
  };
  std::vector<Part> parts;
  auto isBlankLine = [](const char* p, const char* end) {
    p = meshtext::skipBlanks(p, end);
    return p == end || *p == '\n';
  };
  while (pos < source_.size() && line < totalLines) {
    std::span<const uint8_t> bytes;
    std::string why;
    if (!source_.window(pos, want, bytes, &why)) return report_.fail("cannot read: " + why);
    if (bytes.empty()) break;
    std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (pos + bytes.size() < source_.size()) {
      const std::size_t cut = text.rfind('\n');
      if (cut == std::string_view::npos) {
        want = bytes.size() * 2;  // a line longer than the block
        continue;
      }
      text = text.substr(0, cut + 1);
      want = blockBytes_;
    }
    const std::vector<std::size_t> ends = meshio::lineSplits(text, text.size() < (1u << 20) ? 1 : workers_.count());
    // The parts' lists are kept from block to block: no memory is let go and taken again.
    parts.resize(ends.size());
    for (std::size_t i = 0; i < ends.size(); ++i) {
      parts[i].begin = i == 0 ? 0 : ends[i - 1];
      parts[i].end = ends[i];
      parts[i].indices.clear();
      parts[i].counts = Output();
    }
    // Lines (not blank) of each part, then where each part's lines fall.
    workers_.run(parts.size(), [&](std::size_t i) {
      const char* p = text.data() + parts[i].begin;
      const char* end = text.data() + parts[i].end;
      uint64_t n = 0;
      while (p < end) {
        const char* lineEnd = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
        const char* next = lineEnd != nullptr ? lineEnd + 1 : end;
        if (!isBlankLine(p, next)) ++n;
        p = next;
      }
      parts[i].lines = n;
    });
    for (Part& part : parts) {
      part.firstLine = line;
      line += part.lines;
    }
    if (vertexElement < header_.elements.size() && line > firstLine[vertexElement]) {
      growVertices(static_cast<std::size_t>(std::min<uint64_t>(line - firstLine[vertexElement], out_.vertices)));
    }
    workers_.run(parts.size(), [&](std::size_t i) {
      Part& part = parts[i];
      const char* p = text.data() + part.begin;
      const char* end = text.data() + part.end;
      uint64_t at = part.firstLine;
      std::size_t element = static_cast<std::size_t>(std::upper_bound(firstLine.begin(), firstLine.end(), at) - firstLine.begin()) - 1;
      std::vector<int64_t> corners;
      while (p < end && at < totalLines) {
        const char* lineEnd = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
        const char* next = lineEnd != nullptr ? lineEnd + 1 : end;
        if (!isBlankLine(p, next)) {
          while (at >= firstLine[element + 1]) ++element;
          const Element& e = header_.elements[element];
          if (e.kind != Kind::kOther) {
            parseAsciiLine(e, at - firstLine[element], p, lineEnd != nullptr ? lineEnd : end,
                           text.data() + text.size(), part.indices, corners, part.counts);
          }
          ++at;
        }
        p = next;
      }
    });
    for (Part& part : parts) {
      out_.indices.insert(out_.indices.end(), part.indices.begin(), part.indices.end());
      out_.shortFaces += part.counts.shortFaces;
      out_.badFaces += part.counts.badFaces;
      out_.shortLines += part.counts.shortLines;
    }
    pos += text.size();
  }
  if (vertexElement < header_.elements.size() && line > firstLine[vertexElement]) {
    verticesRead_ = std::min<uint64_t>(line - firstLine[vertexElement], header_.elements[vertexElement].count);
  }
  if (line < totalLines) {
    const std::size_t element = static_cast<std::size_t>(std::upper_bound(firstLine.begin(), firstLine.end(), line) - firstLine.begin()) - 1;
    cutAt(header_.elements[element], line - firstLine[element]);
  }
  if (line > totalLines) extraLines_ = static_cast<std::size_t>(line - totalLines);
  return true;
}

bool PlyReader::build(ModelAsset& asset) {
  bool faceElement = false;
  for (const Element& e : header_.elements) faceElement = faceElement || ((e.kind == Kind::kFace || e.kind == Kind::kStrips) && e.count > 0);
  // Only what the body held: it may have ended before the vertex element, or within it.
  if (verticesRead_ < out_.vertices) {
    out_.vertices = static_cast<std::size_t>(verticesRead_);
    out_.positions.resize(3 * out_.vertices);
    if (out_.normals) out_.normalValues.resize(3 * out_.vertices);
    if (out_.colours) out_.colourValues.resize(4 * out_.vertices);
    if (out_.uv) out_.uvValues.resize(2 * out_.vertices);
  }
  if (out_.vertices == 0) return report_.fail("holds no vertices");
  // Faces were checked against the vertices the header declared; a file cut short, or faces
  // written before the vertices, can leave some naming vertices that never came.
  std::size_t kept = 0;
  for (std::size_t t = 0; t + 2 < out_.indices.size(); t += 3) {
    const uint32_t* c = &out_.indices[t];
    if (c[0] >= out_.vertices || c[1] >= out_.vertices || c[2] >= out_.vertices) {
      ++out_.badFaces;
      continue;
    }
    std::copy(c, c + 3, &out_.indices[kept]);
    kept += 3;
  }
  out_.indices.resize(kept);
  if (faceElement && out_.indices.empty()) {
    return report_.fail("holds no triangles: every face was left out");
  }
  MeshPrimitive primitive;
  if (faceElement) {
    primitive.mode = PrimitiveMode::kTriangles;
    primitive.indices = std::move(out_.indices);
  } else {
    primitive.mode = PrimitiveMode::kPoints;
    primitive.indices.resize(out_.vertices);
    for (std::size_t i = 0; i < out_.vertices; ++i) primitive.indices[i] = static_cast<uint32_t>(i);
  }
  std::size_t nonFinite = 0;
  for (std::size_t i = 0; i < out_.vertices; ++i) {
    nonFinite += !(std::isfinite(out_.positions[3 * i]) && std::isfinite(out_.positions[3 * i + 1]) &&
                   std::isfinite(out_.positions[3 * i + 2]));
  }
  if (out_.normals) {
    for (std::size_t i = 0; i < out_.vertices; ++i) {
      float* n = &out_.normalValues[3 * i];
      const float length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
      if (length > 0 && std::isfinite(length)) {
        n[0] /= length;
        n[1] /= length;
        n[2] /= length;
      } else {
        n[0] = n[1] = 0;
        n[2] = 1;
      }
    }
  }
  primitive.positions = std::move(out_.positions);
  primitive.normals = std::move(out_.normalValues);
  primitive.colors = std::move(out_.colourValues);
  primitive.texCoords[0] = std::move(out_.uvValues);

  bool texture = false;
  if (!header_.texture.empty()) {
    std::string name = header_.texture;
    std::replace(name.begin(), name.end(), '\\', '/');
    const std::filesystem::path path = options_.folder / name;
    std::error_code ec;
    if (!out_.uv) {
      report_.warn("texture \"" + header_.texture + "\" left out: the vertices have no texture coordinates");
    } else if (options_.files == nullptr && !std::filesystem::is_regular_file(path, ec)) {
      report_.warn("texture \"" + header_.texture + "\" not found; left out");
    } else {
      ImageSource image;
      image.name = header_.texture;
      image.path = path;
      asset.images.push_back(std::move(image));
      texture = true;
    }
  }
  if (texture || out_.colours) {
    MaterialDescription material;
    material.name = "PLY";
    material.metallic = 0;
    material.roughness = 1;
    material.doubleSided = true;
    if (texture) material.baseColorTexture.image = 0;
    asset.materials.push_back(std::move(material));
    primitive.material = 0;
  }
  Mesh mesh;
  mesh.name = std::filesystem::path(options_.name).stem().string();
  mesh.primitives.push_back(std::move(primitive));
  AssetNode node;
  node.name = mesh.name;
  node.mesh = 0;
  asset.meshes.push_back(std::move(mesh));
  asset.nodes.push_back(std::move(node));
  asset.generator = header_.generator;

  if (header_.unknownLines > 0) report_.warn(std::to_string(header_.unknownLines) + " header lines not understood; skipped");
  if (out_.shortFaces > 0) report_.warn(std::to_string(out_.shortFaces) + " faces of fewer than three corners left out");
  if (out_.badFaces > 0) {
    report_.warn(std::to_string(out_.badFaces) + " faces left out: a corner outside the " + std::to_string(out_.vertices) +
                 " vertices");
  }
  if (out_.shortLines > 0) report_.warn(std::to_string(out_.shortLines) + " lines with fewer values than the header declares");
  if (!cut_.empty()) report_.warn(cut_);
  if (extraLines_ > 0) report_.warn(std::to_string(extraLines_) + " lines after the last element ignored");
  if (nonFinite > 0) report_.warn(std::to_string(nonFinite) + " vertices with non-finite coordinates");
  return true;
}

bool PlyReader::read(ModelAsset& asset) {
  if (source_.size() == 0) return report_.fail("is empty");
  std::span<const uint8_t> head;
  std::string why;
  if (!source_.window(0, kHeaderLimit, head, &why)) return report_.fail("cannot read: " + why);
  if (!parseHeader(std::string_view(reinterpret_cast<const char*>(head.data()), head.size()), header_, why)) {
    if (why == "header: no end_header line" && head.size() == kHeaderLimit) why = "header: no end_header in its first megabyte";
    return report_.fail(why);
  }
  assignRoles(header_);
  if (!checkSizes()) return false;
  const Element* vertex = nullptr;
  for (const Element& e : header_.elements) {
    if (e.kind == Kind::kVertex) vertex = &e;
  }
  if (vertex == nullptr || vertex->count == 0) return report_.fail("holds no vertices");
  bool has[kRoles] = {};
  for (const Property& p : vertex->properties) has[p.role] = true;
  if (!has[kX] || !has[kY] || !has[kZ]) return report_.fail("its vertices have no x, y and z");
  prepareVertices(*vertex);
  // Room for a triangle a face (more grow the list), as far as the file can hold them.
  for (const Element& e : header_.elements) {
    if (e.kind != Kind::kFace && e.kind != Kind::kStrips) continue;
    const uint64_t least = header_.format == Format::kAscii ? 2 * e.properties.size() : e.minBinaryBytes();
    const uint64_t room = source_.size() / std::max<uint64_t>(least + (header_.format == Format::kAscii ? 6 : 8), 1);
    out_.indices.reserve(static_cast<std::size_t>(std::min<uint64_t>(3 * std::min(e.count, room), UINT32_MAX)));
  }
  const bool ok = header_.format == Format::kAscii ? readAscii()
                  : header_.format == Format::kLittle ? readBinary<false>()
                                                      : readBinary<true>();
  return ok && build(asset);
}

bool readSource(ByteSource& source, const MeshReadOptions& options, ModelAsset& out) {
  out = ModelAsset();
  out.name = options.name;
  out.upAxis = UpAxis::kY;
  out.metresPerUnit = 0;
  PlyReader reader(source, options);
  if (reader.read(out)) return true;
  out = ModelAsset();
  return false;
}

}  // namespace

bool readPly(const std::filesystem::path& file, ModelAsset& out) {
  MeshReadOptions options;
  options.name = file.string();
  options.folder = file.parent_path();
  ByteSource source;
  std::string why;
  if (!source.open(file, &why)) return ReadReport(options.name, false).fail("cannot open: " + why);
  return readSource(source, options, out);
}

bool readPlyBytes(std::span<const uint8_t> bytes, const MeshReadOptions& options, ModelAsset& out) {
  ByteSource source;
  source.openBytes(bytes);
  return readSource(source, options, out);
}
