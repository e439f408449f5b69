#include "model/mesh_formats/stl_reader.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "model/mesh_formats/crease_welder.h"
#include "model/mesh_formats/mesh_reading.h"
#include "model/mesh_formats/mesh_text.h"

namespace {

using meshio::ByteSource;
using meshio::ReadReport;

constexpr std::size_t kHeaderBytes = 80;
constexpr std::size_t kBinaryStart = 84;
constexpr std::size_t kTriangleBytes = 50;
constexpr std::size_t kHeadBytes = 4096;
constexpr std::size_t kBinaryBlockTriangles = 32768;
// The fewest bytes an ASCII facet takes ("facet", three "vertex 0 0 0" lines, "endfacet").
constexpr std::size_t kLeastFacetBytes = 56;
// What a facet takes as exporters write it, indented, with six or more digits a number.
constexpr std::size_t kLikelyFacetBytes = 200;
constexpr std::size_t kTextBlockBytes = 4u << 20;

std::string_view asText(std::span<const uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

uint32_t loadLe32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

bool startsWithSolid(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (meshtext::isBlank(text[i]) || text[i] == '\n')) ++i;
  return text.substr(i, 5) == "solid";
}

// What a read needs beyond the asset: the object colour and the mesh names.
struct StlState {
  float defaultColour[4] = {1, 1, 1, 1};
  bool headerColour = false;    // Materialise: the header names the object's colour
  bool headerSpecular = false;  // ... and its specular colour (MATERIAL=)
  float specular[3] = {0, 0, 0};
  std::string stem;
};

// The material of a coloured file: white under the vertex colours, or the object's colour
// where no face has its own. The Phong rule (model/mesh_formats/mtl_reader.h) gives the rest.
void addMaterial(ModelAsset& out, const StlState& state, bool vertexColours) {
  MaterialDescription material;
  material.name = "STL colour";
  if (!vertexColours) std::copy(state.defaultColour, state.defaultColour + 3, material.baseColor);
  material.metallic = 0;
  material.doubleSided = true;
  const float brightest = std::max({state.specular[0], state.specular[1], state.specular[2]});
  material.roughness = state.headerSpecular ? 1 - 0.6f * brightest : 1;
  out.materials.push_back(std::move(material));
}

void addMesh(ModelAsset& out, std::string name, MeshPrimitive&& primitive) {
  Mesh mesh;
  mesh.name = name;
  mesh.primitives.push_back(std::move(primitive));
  AssetNode node;
  node.name = std::move(name);
  node.mesh = static_cast<int32_t>(out.meshes.size());
  out.meshes.push_back(std::move(mesh));
  out.nodes.push_back(std::move(node));
}

std::size_t nonFinite(const ModelAsset& out) {
  std::size_t count = 0;
  for (const Mesh& mesh : out.meshes) {
    for (const MeshPrimitive& p : mesh.primitives) {
      for (std::size_t i = 0; i + 2 < p.positions.size(); i += 3) {
        count += !(std::isfinite(p.positions[i]) && std::isfinite(p.positions[i + 1]) &&
                   std::isfinite(p.positions[i + 2]));
      }
    }
  }
  return count;
}

// The header's Materialise colours: "COLOR=" and four bytes, "MATERIAL=" and three colours of
// four bytes (diffuse, specular, ambient); the diffuse colour wins over COLOR=.
void readHeaderColours(std::span<const uint8_t> header, StlState& state) {
  const std::string_view text = asText(header.first(kHeaderBytes));
  const float* linear = meshio::srgb8ToLinearTable();
  const std::size_t color = text.find("COLOR=");
  if (color != std::string_view::npos && color + 10 <= kHeaderBytes) {
    for (int i = 0; i < 3; ++i) state.defaultColour[i] = linear[header[color + 6 + static_cast<std::size_t>(i)]];
    state.headerColour = true;
  }
  const std::size_t material = text.find("MATERIAL=");
  if (material != std::string_view::npos && material + 21 <= kHeaderBytes) {
    for (int i = 0; i < 3; ++i) {
      state.defaultColour[i] = linear[header[material + 9 + static_cast<std::size_t>(i)]];
      state.specular[i] = linear[header[material + 13 + static_cast<std::size_t>(i)]];
    }
    state.headerColour = state.headerSpecular = true;
  }
}

// The header's text up to its first NUL or colour, for --info.
std::string headerText(std::span<const uint8_t> header) {
  std::string text;
  for (std::size_t i = 0; i < kHeaderBytes && header[i] != 0; ++i) {
    const char c = static_cast<char>(header[i]);
    if (text.ends_with("COLOR") && c == '=') {
      text.resize(text.size() - 5);
      break;
    }
    text += c >= 0x20 && c < 0x7F ? c : ' ';
  }
  return std::string(meshtext::trimmed(text));
}

bool readBinary(ByteSource& source, std::span<const uint8_t> head, const MeshReadOptions& options,
                const ReadReport& report, StlState& state, ModelAsset& out) {
  const uint64_t size = source.size();
  if (size < kBinaryStart || head.size() < kBinaryStart) {
    return report.fail("not an STL file: " + std::to_string(size) +
                       " bytes, shorter than a binary STL's 84-byte header" +
                       (startsWithSolid(asText(head)) ? ", and no facets follow \"solid\"" : ""));
  }
  const uint32_t count = loadLe32(head.data() + kHeaderBytes);
  const uint64_t expected = kBinaryStart + uint64_t{kTriangleBytes} * count;
  if (expected != size) {
    return report.fail("binary STL header counts " + std::to_string(count) + " triangles (" +
                       std::to_string(expected) + " bytes) but the file has " + std::to_string(size) +
                       " bytes" + (startsWithSolid(asText(head)) ? "; nor is it ASCII (no facets follow \"solid\")" : ""));
  }
  if (count == 0) return report.fail("holds no triangles");
  readHeaderColours(head, state);
  out.generator = headerText(head);

  meshio::Workers workers(meshio::threadsFor(size, options.threads));
  meshio::CreaseWelder welder(workers);
  welder.expect(count, count);
  const std::size_t blockTriangles =
      options.blockBytes != 0 ? std::max<std::size_t>(1, options.blockBytes / kTriangleBytes) : kBinaryBlockTriangles;
  // Two blocks: the next is read on a worker while the one in hand is welded.
  std::vector<uint8_t> blocks[2];
  std::size_t got[2] = {0, 0};
  bool readOk = true;
  std::string why;
  auto readBlock = [&](uint64_t first, int into) {
    const std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(blockTriangles, count - first));
    blocks[into].resize(n * kTriangleBytes);
    readOk = source.readAt(kBinaryStart + first * kTriangleBytes, blocks[into], got[into], &why) && readOk;
  };
  std::vector<uint16_t> colours;
  readBlock(0, 0);
  for (uint64_t done = 0, k = 0; done < count; ++k) {
    const int in = static_cast<int>(k % 2);
    if (!readOk) return report.fail("cannot read: " + why);
    const std::size_t n = blocks[in].size() / kTriangleBytes;
    if (got[in] < blocks[in].size()) return report.fail("ends early: it was cut while it was read");
    const uint8_t* block = blocks[in].data();
    colours.resize(n);
    for (std::size_t t = 0; t < n; ++t) {
      const uint32_t attribute = block[t * kTriangleBytes + 48] | uint32_t{block[t * kTriangleBytes + 49]} << 8;
      if (state.headerColour) {
        // Materialise: bit 15 clear is the face's own colour, red in the low bits.
        colours[t] = (attribute & 0x8000) != 0
                         ? 0
                         : static_cast<uint16_t>(0x8000 | (attribute & 31) << 10 | (attribute & 0x3E0) |
                                                 (attribute >> 10 & 31));
      } else {
        colours[t] = (attribute & 0x8000) != 0 ? static_cast<uint16_t>(attribute) : 0;
      }
    }
    const uint64_t next = done + n;
    const std::function<void()> readNext = [&] {
      if (next < count) readBlock(next, 1 - in);
    };
    if (!welder.add({block + 12, kTriangleBytes, n, colours.data()}, readNext)) {
      return report.fail("more triangles than 32-bit indices reach");
    }
    done = next;
  }
  const bool coloured = welder.coloured();
  for (std::vector<uint8_t>& block : blocks) std::vector<uint8_t>().swap(block);
  std::vector<uint16_t>().swap(colours);
  MeshPrimitive primitive;
  welder.finish(primitive, state.defaultColour);
  if (coloured || state.headerColour) {
    primitive.material = 0;
    addMaterial(out, state, coloured);
  }
  addMesh(out, state.stem, std::move(primitive));
  return true;
}

// ---- ASCII ----

// Where a solid starts or ends among a part's triangles.
struct SolidEvent {
  std::size_t triangle;  // triangles of the part before it
  bool start;
  std::string name;
};

struct TextPart {
  std::vector<float> triangles;  // nine floats a triangle
  std::vector<SolidEvent> events;
  std::size_t shortFacets = 0, strayVertices = 0;
};

// The first token of the line at `p` (after blanks).
std::string_view firstWord(const char* p, const char* end) {
  p = meshtext::skipBlanks(p, end);
  return {p, static_cast<std::size_t>(meshtext::tokenEnd(p, end) - p)};
}

// Whether a part may start at the line at `p`: no facet is open across it.
bool isCutLine(const char* p, const char* end) {
  const std::string_view word = firstWord(p, end);
  return word == "facet" || word == "solid" || word == "endsolid";
}

void closeFacet(std::vector<float>& corners, TextPart& part) {
  const std::size_t n = corners.size() / 3;
  if (n < 3) {
    part.shortFacets += n > 0 || !corners.empty() ? 1 : 0;
  } else {
    for (std::size_t i = 1; i + 1 < n; ++i) {
      part.triangles.insert(part.triangles.end(), corners.begin(), corners.begin() + 3);
      part.triangles.insert(part.triangles.end(), corners.begin() + 3 * static_cast<std::ptrdiff_t>(i),
                            corners.begin() + 3 * static_cast<std::ptrdiff_t>(i + 2));
    }
  }
  corners.clear();
}

// `limit` is how far past `text` the block may be read (for the number conversions).
void parseText(std::string_view text, const char* limit, TextPart& part) {
  const char* p = text.data();
  const char* end = p + text.size();
  std::vector<float> corners;
  bool inFacet = false;
  while (p < end) {
    const char* q = meshtext::skipBlanks(p, end);
    // Vertex lines, six in seven, first and without cutting the line out.
    if (end - q > 6 && std::memcmp(q, "vertex", 6) == 0 && meshtext::isBlank(q[6])) {
      const char* at = q + 6;
      if (!inFacet) {
        ++part.strayVertices;
      } else {
        for (int i = 0; i < 3; ++i) {
          at = meshtext::skipBlanks(at, end);
          corners.push_back(at < end && *at != '\n' ? static_cast<float>(meshtext::scanDouble(at, end, limit)) : 0.0f);
        }
      }
      const char* feed = static_cast<const char*>(std::memchr(at, '\n', static_cast<std::size_t>(end - at)));
      p = feed != nullptr ? feed + 1 : end;
      continue;
    }
    const char* next;
    const std::string_view line = meshtext::lineAt(q, end, next);
    const char* lineEnd = line.data() + line.size();
    const char* wordEnd = meshtext::tokenEnd(q, lineEnd);
    const std::string_view word(q, static_cast<std::size_t>(wordEnd - q));
    if (word == "facet" || word == "endfacet" || word == "solid" || word == "endsolid") {
      if (inFacet) closeFacet(corners, part);
      inFacet = word == "facet";
      if (word == "solid" || word == "endsolid") {
        const std::string_view name = meshtext::trimmed(std::string_view(wordEnd, static_cast<std::size_t>(lineEnd - wordEnd)));
        part.events.push_back({part.triangles.size() / 9, word == "solid", std::string(name)});
      }
    }
    // "outer loop", "endloop" and anything else: nothing to do.
    p = next;
  }
  if (inFacet) closeFacet(corners, part);
}

// Splits `text` into up to `parts` pieces, each starting at a line where no facet is open.
std::vector<std::size_t> facetSplits(std::string_view text, std::size_t parts) {
  std::vector<std::size_t> ends;
  std::size_t start = 0;
  const char* base = text.data();
  for (std::size_t i = 1; i < parts; ++i) {
    std::size_t at = std::max(start, text.size() * i / parts);
    for (;;) {
      const std::size_t lineEnd = text.find('\n', at);
      if (lineEnd == std::string_view::npos || lineEnd + 1 >= text.size()) {
        at = std::string_view::npos;
        break;
      }
      at = lineEnd + 1;
      if (isCutLine(base + at, base + text.size())) break;
    }
    if (at == std::string_view::npos) break;
    if (at > start) {
      ends.push_back(at);
      start = at;
    }
  }
  ends.push_back(text.size());
  return ends;
}

bool readAscii(ByteSource& source, const MeshReadOptions& options, const ReadReport& report, StlState& state,
               ModelAsset& out) {
  const uint64_t size = source.size();
  meshio::Workers workers(meshio::threadsFor(size, options.threads));
  meshio::CreaseWelder welder(workers);
  // Room for the rest of the file, likely as much as the solid before had (a file of many
  // small solids must not make room for the whole rest again and again).
  auto expectFrom = [&](uint64_t pos, std::size_t likely) {
    const uint64_t rest = size - std::min(size, pos);
    welder.expect(static_cast<std::size_t>(std::min<uint64_t>(rest / kLeastFacetBytes + 1, UINT32_MAX / 3)),
                  static_cast<std::size_t>(std::min<uint64_t>({rest / kLikelyFacetBytes + 1, likely, UINT32_MAX / 3})));
  };
  expectFrom(0, SIZE_MAX);
  const std::size_t blockBytes = options.blockBytes != 0 ? options.blockBytes : kTextBlockBytes;
  std::string solidName;
  std::size_t shortFacets = 0, strayVertices = 0;
  const float white[4] = {1, 1, 1, 1};
  uint64_t pos = 0;
  auto finishSolid = [&] {
    const std::size_t triangles = welder.triangles();
    if (triangles == 0) return;
    MeshPrimitive primitive;
    welder.finish(primitive, white);
    addMesh(out, solidName.empty() ? state.stem : solidName, std::move(primitive));
    expectFrom(pos, triangles);
  };

  std::vector<TextPart> parts;
  std::size_t want = blockBytes;
  while (pos < source.size()) {
    std::span<const uint8_t> bytes;
    std::string why;
    if (!source.window(pos, want, bytes, &why)) return report.fail("cannot read: " + why);
    std::string_view text = asText(bytes);
    const bool last = pos + bytes.size() >= source.size();
    if (!last) {
      // Up to the last line where no facet is open; a block without one is read bigger.
      std::size_t cut = std::string_view::npos;
      for (std::size_t at = text.rfind('\n'); at != std::string_view::npos && at > 0; at = text.rfind('\n', at - 1)) {
        if (at + 1 < text.size() && isCutLine(text.data() + at + 1, text.data() + text.size())) {
          cut = at + 1;
          break;
        }
        if (text.size() - at > (1u << 16)) break;  // facets are short: look no further back
      }
      if (cut == std::string_view::npos) {
        want = bytes.size() * 2;
        continue;
      }
      text = text.substr(0, cut);
      want = blockBytes;
    }
    const std::vector<std::size_t> ends = facetSplits(text, text.size() < (1u << 20) ? 1 : workers.count());
    // The parts' lists are kept from block to block: no memory is let go and taken again.
    if (parts.size() < ends.size()) parts.resize(ends.size());
    for (TextPart& part : parts) {
      part.triangles.clear();
      part.events.clear();
      part.shortFacets = part.strayVertices = 0;
    }
    workers.run(ends.size(), [&](std::size_t i) {
      const std::size_t from = i == 0 ? 0 : ends[i - 1];
      parseText(text.substr(from, ends[i] - from), text.data() + text.size(), parts[i]);
    });
    for (std::size_t i = 0; i < ends.size(); ++i) {
      TextPart& part = parts[i];
      shortFacets += part.shortFacets;
      strayVertices += part.strayVertices;
      std::size_t done = 0;
      auto addUpTo = [&](std::size_t triangle) {
        if (triangle > done) {
          // A failed add leaves the welder full, which the part's end reports.
          welder.add({reinterpret_cast<const uint8_t*>(part.triangles.data() + 9 * done), 36, triangle - done, nullptr});
          done = triangle;
        }
      };
      for (const SolidEvent& event : part.events) {
        addUpTo(event.triangle);
        finishSolid();
        solidName = event.start ? event.name : std::string();
      }
      addUpTo(part.triangles.size() / 9);
      if (welder.full()) return report.fail("more triangles than 32-bit indices reach");
    }
    pos += text.size();
  }
  finishSolid();
  if (out.meshes.empty()) return report.fail("holds no triangles");
  if (shortFacets > 0) report.warn(std::to_string(shortFacets) + " facets of fewer than three vertices left out");
  if (strayVertices > 0) report.warn(std::to_string(strayVertices) + " vertices outside any facet ignored");
  return true;
}

bool readSource(ByteSource& source, const MeshReadOptions& options, ModelAsset& out) {
  const ReadReport report(options.name, options.quiet);
  if (source.size() == 0) return report.fail("is empty");
  std::span<const uint8_t> head;
  std::string why;
  if (!source.window(0, kHeadBytes, head, &why)) return report.fail("cannot read: " + why);
  std::vector<uint8_t> headCopy(head.begin(), head.end());
  StlState state;
  state.stem = std::filesystem::path(options.name).stem().string();
  out = ModelAsset();
  out.name = options.name;
  out.upAxis = UpAxis::kZ;
  out.metresPerUnit = 0;
  const bool ascii = stlKindOf(headCopy, source.size()) == StlKind::kAscii;
  const bool ok = ascii ? readAscii(source, options, report, state, out)
                        : readBinary(source, headCopy, options, report, state, out);
  if (!ok) {
    out = ModelAsset();
    return false;
  }
  if (const std::size_t bad = nonFinite(out); bad > 0) {
    report.warn(std::to_string(bad) + " vertices with non-finite coordinates");
  }
  return true;
}

}  // namespace

StlKind stlKindOf(std::span<const uint8_t> head, uint64_t size) {
  // A size that the count fixes exactly is binary even where the header's text says "solid"
  // and "facet": text cannot come out at that size but by chance.
  if (head.size() >= kBinaryStart && size == kBinaryStart + uint64_t{kTriangleBytes} * loadLe32(head.data() + kHeaderBytes)) {
    return StlKind::kBinary;
  }
  const std::string_view text = asText(head.first(std::min(head.size(), kHeadBytes)));
  if (startsWithSolid(text) &&
      (text.find("facet") != std::string_view::npos || text.find("endsolid") != std::string_view::npos)) {
    return StlKind::kAscii;
  }
  return StlKind::kNone;
}

bool readStl(const std::filesystem::path& file, ModelAsset& out) {
  MeshReadOptions options;
  options.name = file.string();
  options.folder = file.parent_path();
  ByteSource source;
  std::string why;
  if (!source.open(file, &why)) return ReadReport(options.name, false).fail("cannot open: " + why);
  return readSource(source, options, out);
}

bool readStlBytes(std::span<const uint8_t> bytes, const MeshReadOptions& options, ModelAsset& out) {
  ByteSource source;
  source.openBytes(bytes);
  return readSource(source, options, out);
}
