#include "model/mesh_formats/obj_reader.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <system_error>
#include <unordered_map>

#include "model/mesh_formats/mesh_reading.h"
#include "model/mesh_formats/mesh_text.h"
#include "platform/regular_file.h"
#include "platform/text.h"

namespace {

namespace fs = std::filesystem;
using meshio::ByteSource;
using meshio::ChunkedArray;
using meshio::ReadReport;
using meshio::Workers;

constexpr uint32_t kNone = UINT32_MAX;
constexpr uint32_t kPrimary = 0x80000000u;  // an index that is still a v number, not a vertex
constexpr std::size_t kBlockBytes = 1u << 20;
constexpr uint64_t kLibraryLimit = 64u << 20;
constexpr uint64_t kUtf16Limit = 256u << 20;

enum class Keyword : uint8_t { kOther, kIgnored, kV, kVt, kVn, kF, kL, kP, kO, kG, kUseMtl, kMtlLib };

Keyword keywordOf(std::string_view w) {
  if (w.empty() || w[0] == '#') return Keyword::kIgnored;
  switch (w.size()) {
    case 1:
      switch (w[0]) {
        case 'v': return Keyword::kV;
        case 'f': return Keyword::kF;
        case 'l': return Keyword::kL;
        case 'p': return Keyword::kP;
        case 'o': return Keyword::kO;
        case 'g': return Keyword::kG;
        case 's': return Keyword::kIgnored;
        default: return Keyword::kOther;
      }
    case 2:
      if (w == "vt") return Keyword::kVt;
      if (w == "vn") return Keyword::kVn;
      break;
    default:
      if (w == "usemtl") return Keyword::kUseMtl;
      if (w == "mtllib") return Keyword::kMtlLib;
      break;
  }
  // Free-form geometry and display statements: no part of what is drawn here.
  static constexpr std::string_view kSkipped[] = {"vp",       "cstype",   "deg",      "bmat",   "step",   "curv",
                                                  "curv2",    "surf",     "parm",     "trim",   "hole",   "scrv",
                                                  "sp",       "end",      "con",      "mg",     "bevel",  "c_interp",
                                                  "d_interp", "lod",      "usemap",   "maplib", "shadow_obj",
                                                  "trace_obj", "ctech",   "stech",    "call",   "csh"};
  return std::find(std::begin(kSkipped), std::end(kSkipped), w) != std::end(kSkipped) ? Keyword::kIgnored
                                                                                      : Keyword::kOther;
}

// The end of the line that starts at `p`, joining lines that end in '\' to the next; `next` is
// after its line feed, `continued` whether it was joined.
const char* logicalLineEnd(const char* p, const char* end, const char*& next, bool& continued) {
  continued = false;
  for (;;) {
    const char* feed = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    const char* lineEnd = feed != nullptr ? feed : end;
    const char* last = lineEnd;
    while (last > p && last[-1] == '\r') --last;
    if (feed != nullptr && last > p && last[-1] == '\\') {
      continued = true;
      p = feed + 1;
      continue;
    }
    next = feed != nullptr ? feed + 1 : end;
    return lineEnd;
  }
}

// Whether the '\n' at `at` ends a line that does not go on.
bool endsLogicalLine(std::string_view text, std::size_t at) {
  std::size_t i = at;
  while (i > 0 && text[i - 1] == '\r') --i;
  return i == 0 || text[i - 1] != '\\';
}

// The logical line [p, lineEnd): itself, or when it goes on over several lines, those lines
// joined in `scratch`, each '\' and line end a blank.
std::string_view logicalLine(const char* p, const char* lineEnd, bool continued, std::string& scratch) {
  if (!continued) return {p, static_cast<std::size_t>(lineEnd - p)};
  scratch.clear();
  for (const char* q = p; q < lineEnd; ++q) {
    const bool joint = *q == '\\' && (q + 1 == lineEnd || q[1] == '\n' || q[1] == '\r');
    scratch += joint || *q == '\n' ? ' ' : *q;
  }
  return scratch;
}

std::string_view firstWord(const char* p, const char* end, const char*& wordEnd) {
  p = meshtext::skipBlanks(p, end);
  wordEnd = meshtext::tokenEnd(p, end);
  return {p, static_cast<std::size_t>(wordEnd - p)};
}

struct Corner {
  uint32_t v, vt, vn;  // 0-based; kNone: not given
};

enum class ItemKind : uint8_t { kFace, kLine, kPoint, kObject, kGroup, kUseMtl, kMtlLib };

// A statement of a part, in order: an element with `count` corners, or a name (text index).
struct Item {
  ItemKind kind;
  uint32_t count;
};

struct Part {
  std::size_t begin = 0, end = 0;
  uint64_t v = 0, vt = 0, vn = 0;  // lines of each before the part, then in it
  uint64_t ownV = 0, ownVt = 0, ownVn = 0;
  std::vector<float> positions, colours, uvs, normals;
  std::vector<Corner> corners;
  std::vector<Item> items;
  std::vector<std::string> texts;
  std::size_t badElements = 0, shortElements = 0, unknownLines = 0;
};

// A written index (1-based, or negative from the end of those written so far) as 0-based.
bool resolveIndex(int64_t written, uint64_t before, uint32_t& out) {
  int64_t i = written > 0 ? written - 1 : static_cast<int64_t>(before) + written;
  if (written == 0 || i < 0 || static_cast<uint64_t>(i) >= before) return false;
  out = static_cast<uint32_t>(i);
  return true;
}

// Counts as parsePart parses, so that the two agree on every line.
void countLines(std::string_view text, Part& part) {
  const char* p = text.data() + part.begin;
  const char* end = text.data() + part.end;
  std::string joined;
  while (p < end) {
    const char* next;
    bool continued;
    const char* lineEnd = logicalLineEnd(p, end, next, continued);
    const std::string_view line = logicalLine(p, lineEnd, continued, joined);
    const char* wordEnd;
    const std::string_view word = firstWord(line.data(), line.data() + line.size(), wordEnd);
    if (word.size() <= 2 && !word.empty() && word[0] == 'v') {
      if (word.size() == 1) ++part.ownV;
      else if (word[1] == 't') ++part.ownVt;
      else if (word[1] == 'n') ++part.ownVn;
    }
    p = next;
  }
}

// `limit` is how far past the line the text may be read (for the number conversions).
void parseLine(const char* p, const char* end, const char* limit, Part& part) {
  const char* at;
  const std::string_view word = firstWord(p, end, at);
  const Keyword keyword = keywordOf(word);
  auto numbers = [&](double* values, int most) {
    int n = 0;
    for (at = meshtext::skipBlanks(at, end); at < end; at = meshtext::skipBlanks(at, end)) {
      const double v = meshtext::scanDouble(at, end, limit);
      if (n < most) values[n] = v;
      ++n;
    }
    return n;
  };
  switch (keyword) {
    case Keyword::kV: {
      double v[6] = {0, 0, 0, 0, 0, 0};
      const int n = numbers(v, 6);
      part.positions.insert(part.positions.end(), {static_cast<float>(v[0]), static_cast<float>(v[1]), static_cast<float>(v[2])});
      if (n >= 6 && part.colours.empty()) part.colours.assign(4 * (part.positions.size() / 3 - 1), 1.0f);
      if (n >= 6) {
        part.colours.insert(part.colours.end(), {meshio::srgbToLinear(static_cast<float>(v[3])),
                                                 meshio::srgbToLinear(static_cast<float>(v[4])),
                                                 meshio::srgbToLinear(static_cast<float>(v[5])), 1.0f});
      } else if (!part.colours.empty()) {
        part.colours.insert(part.colours.end(), {1.0f, 1.0f, 1.0f, 1.0f});
      }
      ++part.v;
      break;
    }
    case Keyword::kVt: {
      double v[2] = {0, 0};
      numbers(v, 2);
      part.uvs.insert(part.uvs.end(), {static_cast<float>(v[0]), 1 - static_cast<float>(v[1])});  // v up in the file
      ++part.vt;
      break;
    }
    case Keyword::kVn: {
      double v[3] = {0, 0, 0};
      numbers(v, 3);
      part.normals.insert(part.normals.end(), {static_cast<float>(v[0]), static_cast<float>(v[1]), static_cast<float>(v[2])});
      ++part.vn;
      break;
    }
    case Keyword::kF:
    case Keyword::kL:
    case Keyword::kP: {
      const std::size_t first = part.corners.size();
      bool bad = false;
      for (at = meshtext::skipBlanks(at, end); at < end && !bad; at = meshtext::skipBlanks(at, end)) {
        Corner c{kNone, kNone, kNone};
        int64_t written;
        bad = !meshtext::scanInteger<'/'>(at, end, written, limit) || !resolveIndex(written, part.v, c.v);
        if (!bad && at < end && *at == '/') {
          ++at;
          if (at < end && *at != '/' && !meshtext::isBlank(*at)) {
            bad = !meshtext::scanInteger<'/'>(at, end, written, limit) || !resolveIndex(written, part.vt, c.vt);
          }
          if (!bad && at < end && *at == '/') {
            ++at;
            if (at < end && !meshtext::isBlank(*at)) {
              bad = !meshtext::scanInteger<'/'>(at, end, written, limit) || !resolveIndex(written, part.vn, c.vn);
            }
          }
        }
        if (!bad) part.corners.push_back(c);
      }
      const std::size_t n = part.corners.size() - first;
      const ItemKind kind = keyword == Keyword::kF ? ItemKind::kFace : keyword == Keyword::kL ? ItemKind::kLine : ItemKind::kPoint;
      const std::size_t least = kind == ItemKind::kFace ? 3 : kind == ItemKind::kLine ? 2 : 1;
      if (bad || n < least || n > UINT32_MAX) {
        part.corners.resize(first);
        ++(bad ? part.badElements : part.shortElements);
      } else {
        part.items.push_back({kind, static_cast<uint32_t>(n)});
      }
      break;
    }
    case Keyword::kO:
    case Keyword::kG:
    case Keyword::kUseMtl:
    case Keyword::kMtlLib: {
      part.items.push_back({keyword == Keyword::kO   ? ItemKind::kObject
                            : keyword == Keyword::kG ? ItemKind::kGroup
                            : keyword == Keyword::kUseMtl ? ItemKind::kUseMtl
                                                          : ItemKind::kMtlLib,
                            static_cast<uint32_t>(part.texts.size())});
      part.texts.emplace_back(meshtext::trimmed(std::string_view(at, static_cast<std::size_t>(end - at))));
      break;
    }
    case Keyword::kIgnored: break;
    case Keyword::kOther: ++part.unknownLines; break;
  }
}

void parsePart(std::string_view text, Part& part) {
  const char* p = text.data() + part.begin;
  const char* end = text.data() + part.end;
  std::string joined;
  // Counts from here on are those before each line: the part's start plus its lines so far.
  while (p < end) {
    const char* next;
    bool continued;
    const char* lineEnd = logicalLineEnd(p, end, next, continued);
    const std::string_view line = logicalLine(p, lineEnd, continued, joined);
    parseLine(line.data(), line.data() + line.size(), continued ? line.data() + line.size() : text.data() + text.size(), part);
    p = next;
  }
}

// Cuts `text` into up to `parts` pieces at the ends of lines that do not go on.
std::vector<std::size_t> objSplits(std::string_view text, std::size_t parts) {
  std::vector<std::size_t> ends;
  std::size_t start = 0;
  for (std::size_t i = 1; i < parts; ++i) {
    std::size_t at = std::max(start, text.size() * i / parts);
    for (;;) {
      at = text.find('\n', at);
      if (at == std::string_view::npos || at + 1 >= text.size() || endsLogicalLine(text, at)) break;
      ++at;
    }
    if (at == std::string_view::npos || at + 1 >= text.size()) break;
    if (at + 1 > start) {
      ends.push_back(at + 1);
      start = at + 1;
    }
  }
  ends.push_back(text.size());
  return ends;
}

struct Claim {
  uint32_t prim, vt, vn;  // the first corner of a v: it keeps the v's number
};

struct Secondary {
  uint32_t v, vt, vn, prim;
};

struct PrimBuild {
  uint32_t mesh = 0;
  uint32_t material = kNone;  // in the names used
  PrimitiveMode mode = PrimitiveMode::kTriangles;
  ChunkedArray<uint32_t> indices;  // kPrimary | v, or a secondary
  bool anyUv = false, allNormals = true;
  std::size_t vertices = 0;
  MeshPrimitive out;
};

struct MeshBuild {
  std::string name;
  std::vector<uint32_t> prims;
};

void normalized(float* n) {
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

class ObjReader {
 public:
  ObjReader(const MeshReadOptions& options, std::vector<MtlTextures>* extras)
      : options_(options), report_(options.name, options.quiet), extras_(extras) {}

  bool read(ByteSource& source, ModelAsset& asset);

 private:
  bool merge(Part& part);
  uint32_t primitiveFor(ItemKind kind);
  uint32_t vertexOf(Corner c, uint32_t prim);
  void loadLibraries(ModelAsset& asset);
  int32_t imageFor(std::string_view written, const fs::path& folder, ModelAsset& asset);
  bool build(ModelAsset& asset);
  void gatherShared(std::vector<PrimBuild*>& used);
  void gatherSingle(PrimBuild& prim);

  const MeshReadOptions& options_;
  ReadReport report_;
  std::vector<MtlTextures>* extras_;

  ChunkedArray<float> positions_, colours_, uvs_, normals_;  // as written: colours 4 a v
  ChunkedArray<Claim> claims_;
  std::vector<Secondary> secondaries_;
  std::vector<uint32_t> secondarySlots_;  // secondary + 1; 0 empty
  std::vector<PrimBuild> prims_;
  std::vector<MeshBuild> meshes_;
  std::vector<std::string> materialNames_;
  std::unordered_map<std::string, uint32_t> materialIds_;
  uint32_t material_ = kNone;
  uint32_t current_[3] = {kNone, kNone, kNone};  // the primitive of each kind in use
  std::vector<std::string> libraries_;
  std::vector<uint32_t> corners_;
  uint64_t elementLines_ = 0;
  std::size_t badElements_ = 0, shortElements_ = 0, unknownLines_ = 0;
  bool full_ = false;
  bool coloured_ = false;  // some v has a colour: then every v has one
  std::map<std::string, int32_t> images_;
};

uint32_t ObjReader::primitiveFor(ItemKind kind) {
  const int k = kind == ItemKind::kFace ? 0 : kind == ItemKind::kLine ? 1 : 2;
  if (current_[k] != kNone) return current_[k];
  if (meshes_.empty()) meshes_.push_back({fs::path(options_.name).stem().string(), {}});
  MeshBuild& mesh = meshes_.back();
  const PrimitiveMode mode = k == 0 ? PrimitiveMode::kTriangles : k == 1 ? PrimitiveMode::kLines : PrimitiveMode::kPoints;
  for (uint32_t p : mesh.prims) {
    if (prims_[p].mode == mode && prims_[p].material == material_) return current_[k] = p;
  }
  PrimBuild prim;
  prim.mesh = static_cast<uint32_t>(meshes_.size() - 1);
  prim.material = material_;
  prim.mode = mode;
  mesh.prims.push_back(static_cast<uint32_t>(prims_.size()));
  prims_.push_back(std::move(prim));
  return current_[k] = static_cast<uint32_t>(prims_.size() - 1);
}

inline uint64_t secondaryHash(const Secondary& s) {
  uint64_t h = (uint64_t{s.v} * 0x9E3779B97F4A7C15ull) ^ (uint64_t{s.vt} * 0xC2B2AE3D27D4EB4Full) ^
               ((uint64_t{s.vn} | uint64_t{s.prim} << 32) * 0x165667B19E3779F9ull);
  return h ^ (h >> 29);
}

uint32_t ObjReader::vertexOf(Corner c, uint32_t prim) {
  Claim& claim = claims_[c.v];
  if (claim.prim == kNone) {
    claim = {prim, c.vt, c.vn};
    return kPrimary | c.v;
  }
  if (claim.prim == prim && claim.vt == c.vt && claim.vn == c.vn) return kPrimary | c.v;
  const Secondary key{c.v, c.vt, c.vn, prim};
  if (secondarySlots_.size() < 2 * secondaries_.size() + 2) {
    secondarySlots_.assign(std::max<std::size_t>(64, secondarySlots_.size() * 2), 0);
    const std::size_t mask = secondarySlots_.size() - 1;
    for (uint32_t i = 0; i < secondaries_.size(); ++i) {
      std::size_t j = secondaryHash(secondaries_[i]) & mask;
      while (secondarySlots_[j] != 0) j = (j + 1) & mask;
      secondarySlots_[j] = i + 1;
    }
  }
  const std::size_t mask = secondarySlots_.size() - 1;
  std::size_t j = secondaryHash(key) & mask;
  for (; secondarySlots_[j] != 0; j = (j + 1) & mask) {
    const Secondary& s = secondaries_[secondarySlots_[j] - 1];
    if (s.v == key.v && s.vt == key.vt && s.vn == key.vn && s.prim == key.prim) return secondarySlots_[j] - 1;
  }
  if (secondaries_.size() >= kPrimary - 1) {
    full_ = true;
    return 0;
  }
  secondaries_.push_back(key);
  secondarySlots_[j] = static_cast<uint32_t>(secondaries_.size());
  return static_cast<uint32_t>(secondaries_.size() - 1);
}

bool ObjReader::merge(Part& part) {
  if (positions_.size() / 3 + part.positions.size() / 3 >= kPrimary) {
    return report_.fail("more vertices than 32-bit indices reach");
  }
  // The counting pass and the parse agree line by line; were they ever not to, the indices
  // would not fit the lists: refused rather than read out of bounds.
  if (positions_.size() / 3 + part.positions.size() / 3 != part.v || uvs_.size() / 2 + part.uvs.size() / 2 != part.vt ||
      normals_.size() / 3 + part.normals.size() / 3 != part.vn) {
    return report_.fail("the vertex lists do not add up");
  }
  const std::size_t before = positions_.size() / 3;
  if (!part.colours.empty() && !coloured_) {
    colours_.growTo(4 * before, 1.0f);
    coloured_ = true;
  }
  positions_.append(part.positions.data(), part.positions.size());
  if (coloured_) {
    if (part.colours.empty()) colours_.growTo(positions_.size() / 3 * 4, 1.0f);
    else colours_.append(part.colours.data(), part.colours.size());
  }
  uvs_.append(part.uvs.data(), part.uvs.size());
  normals_.append(part.normals.data(), part.normals.size());
  claims_.growTo(positions_.size() / 3, Claim{kNone, kNone, kNone});
  badElements_ += part.badElements;
  shortElements_ += part.shortElements;
  unknownLines_ += part.unknownLines;
  elementLines_ += part.badElements + part.shortElements;

  std::size_t next = 0;
  for (const Item& item : part.items) {
    switch (item.kind) {
      case ItemKind::kFace:
      case ItemKind::kLine:
      case ItemKind::kPoint: {
        ++elementLines_;
        const uint32_t p = primitiveFor(item.kind);
        PrimBuild& prim = prims_[p];
        const Corner* c = &part.corners[next];
        next += item.count;
        corners_.resize(item.count);
        for (uint32_t i = 0; i < item.count; ++i) {
          Corner corner = c[i];
          if (item.kind != ItemKind::kFace) corner.vn = kNone;  // lines and points are not lit
          prim.anyUv = prim.anyUv || corner.vt != kNone;
          prim.allNormals = prim.allNormals && corner.vn != kNone;
          corners_[i] = vertexOf(corner, p);
        }
        if (item.kind == ItemKind::kFace) {
          for (uint32_t i = 1; i + 1 < item.count; ++i) {
            prim.indices.push(corners_[0]);
            prim.indices.push(corners_[i]);
            prim.indices.push(corners_[i + 1]);
          }
        } else if (item.kind == ItemKind::kLine) {
          for (uint32_t i = 0; i + 1 < item.count; ++i) {
            prim.indices.push(corners_[i]);
            prim.indices.push(corners_[i + 1]);
          }
        } else {
          for (uint32_t i = 0; i < item.count; ++i) prim.indices.push(corners_[i]);
        }
        if (prim.indices.size() >= kPrimary) full_ = true;
        break;
      }
      case ItemKind::kObject:
      case ItemKind::kGroup: {
        const std::string& name = part.texts[item.count];
        std::fill(current_, current_ + 3, kNone);
        if (meshes_.empty()) {
          meshes_.push_back({name, {}});
        } else if (meshes_.back().name != name) {
          bool drawn = false;
          for (uint32_t p : meshes_.back().prims) drawn = drawn || !prims_[p].indices.empty();
          if (drawn) meshes_.push_back({name, {}});
          else meshes_.back().name = name;
        }
        break;
      }
      case ItemKind::kUseMtl: {
        const std::string& name = part.texts[item.count];
        auto [it, added] = materialIds_.try_emplace(name, static_cast<uint32_t>(materialNames_.size()));
        if (added) materialNames_.push_back(name);
        material_ = it->second;
        std::fill(current_, current_ + 3, kNone);
        break;
      }
      case ItemKind::kMtlLib: libraries_.push_back(part.texts[item.count]); break;
    }
  }
  if (full_) return report_.fail("more vertices or indices than 32-bit indices reach");
  return true;
}

int32_t ObjReader::imageFor(std::string_view written, const fs::path& folder, ModelAsset& asset) {
  std::string name(written);
  std::replace(name.begin(), name.end(), '\\', '/');
  fs::path path = (folder / name).lexically_normal();
  auto [it, added] = images_.try_emplace(path.string(), -1);
  if (!added) return it->second;
  std::error_code ec;
  if (options_.files == nullptr && !fs::is_regular_file(path, ec)) {
    // Exporters often write the path of the machine they ran on: the file beside the library.
    const fs::path beside = folder / fs::path(name).filename();
    if (!fs::is_regular_file(beside, ec)) {
      report_.warn("texture \"" + std::string(written) + "\" not found; left out");
      return -1;
    }
    path = beside;
  }
  ImageSource image;
  image.name = std::string(written);
  image.path = path;
  it->second = static_cast<int32_t>(asset.images.size());
  asset.images.push_back(std::move(image));
  return it->second;
}

void ObjReader::loadLibraries(ModelAsset& asset) {
  std::vector<MtlTextures> scratch;
  std::vector<MtlTextures>& extras = extras_ != nullptr ? *extras_ : scratch;
  std::vector<std::string> loaded;
  auto exists = [&](const std::string& name) {
    std::error_code ec;
    return options_.files != nullptr ? options_.files->count(name) != 0
                                     : fs::is_regular_file(options_.folder / name, ec);
  };
  for (const std::string& line : libraries_) {
    // One name with spaces where such a file exists, else names separated by blanks.
    std::vector<std::string> names;
    if (exists(line)) {
      names.push_back(line);
    } else {
      const char* p = line.data();
      const char* end = p + line.size();
      for (p = meshtext::skipBlanks(p, end); p < end; p = meshtext::skipBlanks(p, end)) {
        const char* q = meshtext::tokenEnd(p, end);
        names.emplace_back(p, q);
        p = q;
      }
    }
    for (std::string name : names) {
      std::replace(name.begin(), name.end(), '\\', '/');
      if (std::find(loaded.begin(), loaded.end(), name) != loaded.end()) continue;
      loaded.push_back(name);
      std::string text, why;
      if (options_.files != nullptr) {
        auto found = options_.files->find(name);
        if (found == options_.files->end()) {
          report_.warn("material library \"" + name + "\" not found; its materials are left out");
          continue;
        }
        text = found->second;
      } else if (!platform::readRegularFile(options_.folder / name, text, &why, kLibraryLimit)) {
        report_.warn("material library \"" + name + "\" cannot be read (" + why + "); its materials are left out");
        continue;
      }
      const fs::path folder = (options_.folder / name).parent_path();
      const std::size_t unknown =
          parseMtl(text, asset, extras, [&](std::string_view file) { return imageFor(file, folder, asset); });
      if (unknown > 0) report_.warn("material library \"" + name + "\": " + std::to_string(unknown) + " lines not understood; skipped");
    }
  }
}

// Vertices for primitives that share the v list: each v goes to the primitive that used it
// first, then the corners that differ from a v's first, in order.
void ObjReader::gatherShared(std::vector<PrimBuild*>& used) {
  const std::size_t count = positions_.size() / 3;
  std::vector<std::size_t> sizes(prims_.size(), 0);
  for (std::size_t v = 0; v < count; ++v) {
    if (claims_[v].prim != kNone) ++sizes[claims_[v].prim];
  }
  for (const Secondary& s : secondaries_) ++sizes[s.prim];
  const bool colours = coloured_;
  for (PrimBuild* prim : used) {
    const std::size_t n = sizes[static_cast<std::size_t>(prim - prims_.data())];
    prim->out.positions.reserve(3 * n);
    if (colours) prim->out.colors.reserve(4 * n);
    if (prim->anyUv) prim->out.texCoords[0].reserve(2 * n);
    if (prim->allNormals && prim->mode == PrimitiveMode::kTriangles) prim->out.normals.reserve(3 * n);
  }
  auto add = [&](PrimBuild& prim, uint32_t v, uint32_t vt, uint32_t vn) {
    MeshPrimitive& out = prim.out;
    for (int k = 0; k < 3; ++k) out.positions.push_back(positions_[3 * std::size_t{v} + static_cast<std::size_t>(k)]);
    if (colours) {
      for (int k = 0; k < 4; ++k) out.colors.push_back(colours_[4 * std::size_t{v} + static_cast<std::size_t>(k)]);
    }
    if (prim.anyUv) {
      out.texCoords[0].push_back(vt != kNone ? uvs_[2 * std::size_t{vt}] : 0.0f);
      out.texCoords[0].push_back(vt != kNone ? uvs_[2 * std::size_t{vt} + 1] : 0.0f);
    }
    if (prim.allNormals && prim.mode == PrimitiveMode::kTriangles) {
      float n[3] = {normals_[3 * std::size_t{vn}], normals_[3 * std::size_t{vn} + 1], normals_[3 * std::size_t{vn} + 2]};
      normalized(n);
      out.normals.insert(out.normals.end(), n, n + 3);
    }
    return static_cast<uint32_t>(prim.vertices++);
  };
  // A v's vertex number replaces its vt in the claim once read.
  for (std::size_t v = 0; v < count; ++v) {
    Claim& c = claims_[v];
    if (c.prim != kNone) c.vt = add(prims_[c.prim], static_cast<uint32_t>(v), c.vt, c.vn);
  }
  std::vector<uint32_t> secondaryIds(secondaries_.size());
  for (std::size_t i = 0; i < secondaries_.size(); ++i) {
    const Secondary& s = secondaries_[i];
    secondaryIds[i] = add(prims_[s.prim], s.v, s.vt, s.vn);
  }
  positions_.clear();
  colours_.clear();
  uvs_.clear();
  normals_.clear();
  for (PrimBuild* prim : used) {
    prim->out.indices.reserve(prim->indices.size());
    prim->indices.consume([&](uint32_t x) {
      prim->out.indices.push_back((x & kPrimary) != 0 ? claims_[x & ~kPrimary].vt : secondaryIds[x]);
    });
  }
}

// The vertices of the one primitive that uses every v: the v list itself, in order, then the
// corners that differ from a v's first. Lists whose entries belong to the v of the same number
// are handed on rather than copied.
void ObjReader::gatherSingle(PrimBuild& prim) {
  const std::size_t count = positions_.size() / 3;
  const std::size_t total = count + secondaries_.size();
  MeshPrimitive& out = prim.out;
  out.positions.reserve(3 * total);
  positions_.moveInto(out.positions);
  for (const Secondary& s : secondaries_) {
    for (int k = 0; k < 3; ++k) {
      const float value = out.positions[3 * std::size_t{s.v} + static_cast<std::size_t>(k)];
      out.positions.push_back(value);
    }
  }
  if (coloured_) {
    out.colors.reserve(4 * total);
    colours_.moveInto(out.colors);
    for (const Secondary& s : secondaries_) {
      for (int k = 0; k < 4; ++k) {
        const float value = out.colors[4 * std::size_t{s.v} + static_cast<std::size_t>(k)];
        out.colors.push_back(value);
      }
    }
  }
  // `width` floats an entry of `list`, for the corners' vt (which = 1) or vn (which = 2).
  auto attribute = [&](ChunkedArray<float>& list, std::vector<float>& to, int width, int which, bool normalize) {
    auto index = [&](const Claim& c) { return which == 1 ? c.vt : c.vn; };
    bool same = list.size() >= static_cast<std::size_t>(width) * count;
    for (std::size_t v = 0; v < count && same; ++v) same = index(claims_[v]) == v;
    std::vector<float> tail;
    for (const Secondary& s : secondaries_) {
      const uint32_t i = which == 1 ? s.vt : s.vn;
      for (int k = 0; k < width; ++k) tail.push_back(i != kNone ? list[width * std::size_t{i} + static_cast<std::size_t>(k)] : 0.0f);
    }
    if (same) {
      to.reserve(std::max(list.size(), static_cast<std::size_t>(width) * total));
      list.moveInto(to);
      to.resize(static_cast<std::size_t>(width) * count);
    } else {
      to.reserve(static_cast<std::size_t>(width) * total);
      for (std::size_t v = 0; v < count; ++v) {
        const uint32_t i = index(claims_[v]);
        for (int k = 0; k < width; ++k) to.push_back(i != kNone ? list[width * std::size_t{i} + static_cast<std::size_t>(k)] : 0.0f);
      }
      list.clear();
    }
    to.insert(to.end(), tail.begin(), tail.end());
    if (normalize) {
      for (std::size_t i = 0; i + 2 < to.size(); i += 3) normalized(&to[i]);
    }
  };
  if (prim.anyUv) attribute(uvs_, out.texCoords[0], 2, 1, false);
  if (prim.allNormals && prim.mode == PrimitiveMode::kTriangles) attribute(normals_, out.normals, 3, 2, true);
  uvs_.clear();
  normals_.clear();
  claims_.clear();
  out.indices.reserve(prim.indices.size());
  prim.indices.consume([&](uint32_t x) {
    out.indices.push_back((x & kPrimary) != 0 ? x & ~kPrimary : static_cast<uint32_t>(count) + x);
  });
}

bool ObjReader::build(ModelAsset& asset) {
  const std::size_t count = positions_.size() / 3;
  if (count == 0) return report_.fail("holds no vertices");
  loadLibraries(asset);
  std::unordered_map<std::string, int32_t> byName;
  for (std::size_t i = 0; i < asset.materials.size(); ++i) byName.try_emplace(asset.materials[i].name, static_cast<int32_t>(i));

  std::vector<PrimBuild*> used;
  for (PrimBuild& prim : prims_) {
    if (!prim.indices.empty()) used.push_back(&prim);
  }
  if (elementLines_ > 0 && used.empty()) {
    return report_.fail("holds nothing to draw: every face, line and point was left out (" +
                        std::to_string(badElements_) + " with an index out of range or zero)");
  }
  if (used.empty()) {
    // A point cloud: the v list as it is.
    MeshPrimitive points;
    points.mode = PrimitiveMode::kPoints;
    points.positions.reserve(3 * count);
    positions_.moveInto(points.positions);
    if (coloured_) {
      points.colors.reserve(colours_.size());
      colours_.moveInto(points.colors);
    }
    if (normals_.size() == 3 * count) {
      points.normals.reserve(3 * count);
      normals_.moveInto(points.normals);
      for (std::size_t i = 0; i < points.normals.size(); i += 3) normalized(&points.normals[i]);
    }
    points.indices.resize(count);
    for (std::size_t i = 0; i < count; ++i) points.indices[i] = static_cast<uint32_t>(i);
    Mesh mesh;
    mesh.name = meshes_.empty() ? fs::path(options_.name).stem().string() : meshes_.front().name;
    mesh.primitives.push_back(std::move(points));
    asset.nodes.push_back({});
    asset.nodes.back().name = mesh.name;
    asset.nodes.back().mesh = 0;
    asset.meshes.push_back(std::move(mesh));
  } else {
    std::size_t claimed = 0;
    for (std::size_t v = 0; v < count; ++v) claimed += claims_[v].prim != kNone;
    if (used.size() == 1 && claimed == count) gatherSingle(*used[0]);
    else gatherShared(used);
    claims_.clear();

    std::vector<std::string> missing;
    std::vector<int32_t> materialOf(materialNames_.size(), -1);
    for (std::size_t i = 0; i < materialNames_.size(); ++i) {
      auto found = byName.find(materialNames_[i]);
      if (found != byName.end()) materialOf[i] = found->second;
    }
    for (MeshBuild& build : meshes_) {
      Mesh mesh;
      mesh.name = build.name;
      for (uint32_t p : build.prims) {
        PrimBuild& prim = prims_[p];
        if (prim.out.indices.empty()) continue;
        prim.out.mode = prim.mode;
        if (prim.material != kNone) {
          prim.out.material = materialOf[prim.material];
          if (prim.out.material < 0 &&
              std::find(missing.begin(), missing.end(), materialNames_[prim.material]) == missing.end()) {
            missing.push_back(materialNames_[prim.material]);
          }
        }
        mesh.primitives.push_back(std::move(prim.out));
      }
      if (mesh.primitives.empty()) continue;
      AssetNode node;
      node.name = mesh.name;
      node.mesh = static_cast<int32_t>(asset.meshes.size());
      asset.meshes.push_back(std::move(mesh));
      asset.nodes.push_back(std::move(node));
    }
    if (!missing.empty()) {
      std::string list;
      for (std::size_t i = 0; i < missing.size() && i < 3; ++i) list += (i > 0 ? ", \"" : "\"") + missing[i] + "\"";
      if (missing.size() > 3) list += " and " + std::to_string(missing.size() - 3) + " more";
      report_.warn(std::to_string(missing.size()) + " materials used but not defined (" + list + "); the default material instead");
    }
  }
  std::size_t nonFinite = 0;
  for (const Mesh& mesh : asset.meshes) {
    for (const MeshPrimitive& p : mesh.primitives) {
      for (std::size_t i = 0; i + 2 < p.positions.size(); i += 3) {
        nonFinite += !(std::isfinite(p.positions[i]) && std::isfinite(p.positions[i + 1]) && std::isfinite(p.positions[i + 2]));
      }
    }
  }
  if (badElements_ > 0) {
    report_.warn(std::to_string(badElements_) + " faces, lines or points left out: an index out of range, zero or not a number");
  }
  if (shortElements_ > 0) report_.warn(std::to_string(shortElements_) + " faces of fewer than three corners or lines of one left out");
  if (unknownLines_ > 0) report_.warn(std::to_string(unknownLines_) + " lines not understood; skipped");
  if (nonFinite > 0) report_.warn(std::to_string(nonFinite) + " vertices with non-finite coordinates");
  return true;
}

bool ObjReader::read(ByteSource& source, ModelAsset& asset) {
  Workers workers(meshio::threadsFor(source.size(), options_.threads));
  const std::size_t blockBytes = options_.blockBytes != 0 ? options_.blockBytes : kBlockBytes;
  uint64_t pos = 0;
  std::span<const uint8_t> bytes;
  std::string why;
  if (!source.window(0, 3, bytes, &why)) return report_.fail("cannot read: " + why);
  if (bytes.size() == 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) pos = 3;
  std::size_t want = blockBytes;
  uint64_t v = 0, vt = 0, vn = 0;
  std::vector<Part> parts;
  while (pos < source.size()) {
    if (!source.window(pos, want, bytes, &why)) return report_.fail("cannot read: " + why);
    if (bytes.empty()) break;
    std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (pos + bytes.size() < source.size()) {
      std::size_t cut = text.rfind('\n');
      while (cut != std::string_view::npos && cut > 0 && !endsLogicalLine(text, cut)) cut = text.rfind('\n', cut - 1);
      if (cut == std::string_view::npos || !endsLogicalLine(text, cut)) {
        want = bytes.size() * 2;  // a line longer than the block
        continue;
      }
      text = text.substr(0, cut + 1);
      want = blockBytes;
    }
    const std::vector<std::size_t> ends = objSplits(text, text.size() < (256u << 10) ? 1 : workers.count());
    // The parts' lists are kept from block to block: no memory is let go and taken again.
    if (parts.size() < ends.size()) parts.resize(ends.size());
    parts.resize(ends.size());
    for (std::size_t i = 0; i < ends.size(); ++i) {
      Part& part = parts[i];
      part.begin = i == 0 ? 0 : ends[i - 1];
      part.end = ends[i];
      part.ownV = part.ownVt = part.ownVn = 0;
      part.positions.clear();
      part.colours.clear();
      part.uvs.clear();
      part.normals.clear();
      part.corners.clear();
      part.items.clear();
      part.texts.clear();
      part.badElements = part.shortElements = part.unknownLines = 0;
    }
    // The v, vt and vn lines before each part, so that each resolves its own indices.
    workers.run(parts.size(), [&](std::size_t i) { countLines(text, parts[i]); });
    for (Part& part : parts) {
      part.v = v;
      part.vt = vt;
      part.vn = vn;
      v += part.ownV;
      vt += part.ownVt;
      vn += part.ownVn;
    }
    workers.run(parts.size(), [&](std::size_t i) { parsePart(text, parts[i]); });
    for (Part& part : parts) {
      if (!merge(part)) return false;
    }
    pos += text.size();
  }
  return build(asset);
}

bool readSource(ByteSource& source, const MeshReadOptions& options, ModelAsset& out, std::vector<MtlTextures>* extras) {
  out = ModelAsset();
  out.name = options.name;
  out.upAxis = UpAxis::kY;
  out.metresPerUnit = 0;
  if (extras != nullptr) extras->clear();
  ObjReader reader(options, extras);
  if (source.size() == 0) return ReadReport(options.name, options.quiet).fail("is empty");
  if (reader.read(source, out)) return true;
  out = ModelAsset();
  if (extras != nullptr) extras->clear();
  return false;
}

// UTF-16 text (after its byte-order mark) as UTF-8.
std::string utf16ToUtf8(std::span<const uint8_t> bytes) {
  const bool big = bytes[0] == 0xFE;
  std::u16string units;
  units.reserve(bytes.size() / 2);
  for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
    units.push_back(static_cast<char16_t>(big ? bytes[i] << 8 | bytes[i + 1] : bytes[i + 1] << 8 | bytes[i]));
  }
  return text::toUtf8(units);
}

bool isUtf16(std::span<const uint8_t> bytes) {
  return bytes.size() >= 2 && ((bytes[0] == 0xFF && bytes[1] == 0xFE) || (bytes[0] == 0xFE && bytes[1] == 0xFF));
}

bool readBytes(std::span<const uint8_t> bytes, const MeshReadOptions& options, ModelAsset& out,
               std::vector<MtlTextures>* extras) {
  ByteSource source;
  if (isUtf16(bytes)) {
    const std::string text = utf16ToUtf8(bytes);
    source.openBytes({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
    return readSource(source, options, out, extras);
  }
  source.openBytes(bytes);
  return readSource(source, options, out, extras);
}

}  // namespace

bool looksLikeObj(std::span<const uint8_t> head, uint64_t size) {
  std::string text;
  if (isUtf16(head)) {
    text = utf16ToUtf8(head);
  } else {
    text.assign(reinterpret_cast<const char*>(head.data()), head.size());
    if (text.starts_with("\xEF\xBB\xBF")) text.erase(0, 3);
  }
  if (text.find('\0') != std::string::npos) return false;
  // Whole lines only: the head may end inside one.
  if (head.size() < size) {
    const std::size_t last = text.rfind('\n');
    text.resize(last == std::string::npos ? 0 : last + 1);
  }
  std::size_t statements = 0;
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end) {
    const char* next;
    const std::string_view line = meshtext::lineAt(p, end, next);
    const char* wordEnd;
    const std::string_view word = firstWord(line.data(), line.data() + line.size(), wordEnd);
    if (!word.empty()) {
      if (keywordOf(word) == Keyword::kOther) return false;
      ++statements;
    }
    p = next;
  }
  return statements > 0;
}

bool readObj(const std::filesystem::path& file, ModelAsset& out) {
  MeshReadOptions options;
  options.name = file.string();
  options.folder = file.parent_path();
  ByteSource source;
  std::string why;
  if (!source.open(file, &why)) return ReadReport(options.name, false).fail("cannot open: " + why);
  std::span<const uint8_t> head;
  if (!source.window(0, 2, head, &why)) return ReadReport(options.name, false).fail("cannot read: " + why);
  if (isUtf16(head)) {
    // Rare and small: read whole, as UTF-8.
    std::vector<uint8_t> bytes;
    if (!platform::readRegularFile(file, bytes, &why, kUtf16Limit)) {
      return ReadReport(options.name, false).fail("cannot read: " + why);
    }
    return readBytes(bytes, options, out, nullptr);
  }
  return readSource(source, options, out, nullptr);
}

bool readObjBytes(std::span<const uint8_t> bytes, const MeshReadOptions& options, ModelAsset& out,
                  std::vector<MtlTextures>* extras) {
  return readBytes(bytes, options, out, extras);
}
