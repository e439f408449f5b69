#include "model/model_format.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "model/ani_reader.h"
#include "model/collada_import.h"
#include "model/gltf/gltf_reader.h"
#include "model/load_error.h"
#include "model/mdl_reader.h"
#include "model/mesh_formats/obj_reader.h"
#include "model/mesh_formats/ply_reader.h"
#include "model/mesh_formats/stl_reader.h"
#include "model/model_data.h"
#include "model/model_data_asset.h"
#include "platform/regular_file.h"

namespace {

std::string_view asText(std::span<const uint8_t> head) {
  return {reinterpret_cast<const char*>(head.data()), head.size()};
}

// The text after a byte-order mark and leading white space.
std::string_view trimmedStart(std::span<const uint8_t> head) {
  std::string_view text = asText(head);
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t' || text.front() == '\r' || text.front() == '\n')) {
    text.remove_prefix(1);
  }
  return text;
}

Sniff sniffMdl(std::span<const uint8_t> head, uint64_t) {
  const std::string_view text = asText(head);
  // A collider file begins the same way; its shape lines tell it apart.
  if (text.substr(0, 10) != "<MODEL_ID>") return Sniff::kNo;
  return text.find("<COLLIDER_TYPE>") == std::string_view::npos ? Sniff::kYes : Sniff::kNo;
}

Sniff sniffCollada(std::span<const uint8_t> head, uint64_t) {
  const std::string_view text = trimmedStart(head);
  if (text.empty() || text.front() != '<') return Sniff::kNo;
  if (text.find("<COLLADA") != std::string_view::npos) return Sniff::kYes;
  // An XML document whose root lies past the bytes a sniff sees (a long comment first).
  return text.substr(0, 5) == "<?xml" ? Sniff::kMaybe : Sniff::kNo;
}

bool readMdlData(ModelData& out, const std::filesystem::path& file) { return readMdl(out, file); }
bool readColladaData(ModelData& out, const std::filesystem::path& file) { return importCollada(out, file); }

constexpr std::string_view kMdlSuffixes[] = {".mdl"};
constexpr MimeType::Match kMdlMagic[] = {{"string", "0", "<MODEL_ID>"}};
constexpr MimeType kMdlTypes[] = {{"model/x-modelviewer-mdl", false, "ModelViewer model", "text/plain", kMdlMagic}};
constexpr std::string_view kColladaSuffixes[] = {".dae"};
constexpr MimeType kColladaTypes[] = {{"model/vnd.collada+xml", true}};

// A GLB container by its magic; a .gltf document is JSON whose "asset" member usually comes
// first, but need not: an object with no "asset" in sight is left to the suffix.
Sniff sniffGltf(std::span<const uint8_t> head, uint64_t) {
  if (asText(head).substr(0, 4) == "glTF") return Sniff::kYes;
  const std::string_view text = trimmedStart(head);
  if (text.empty() || text.front() != '{') return Sniff::kNo;
  return text.find("\"asset\"") != std::string_view::npos ? Sniff::kYes : Sniff::kMaybe;
}

constexpr std::string_view kGltfSuffixes[] = {".gltf", ".glb"};
constexpr MimeType kGltfTypes[] = {{"model/gltf+json", true}, {"model/gltf-binary", true}};

// The mesh formats of scans and prints (model/mesh_formats/). A binary STL has no magic, only
// a size that its count fixes; OBJ has none at all.
constexpr std::string_view kStlSuffixes[] = {".stl"};
constexpr MimeType kStlTypes[] = {{"model/stl", true}};
constexpr std::string_view kPlySuffixes[] = {".ply"};
constexpr MimeType::Match kPlyMagic[] = {{"string", "0", "ply\\n"}, {"string", "0", "ply\\r\\n"}};
constexpr MimeType kPlyTypes[] = {{"model/x-ply", false, "PLY model", "", kPlyMagic}};
constexpr std::string_view kObjSuffixes[] = {".obj"};
constexpr MimeType kObjTypes[] = {{"model/obj", true}};

// The viewer's own animation and collider files: not models, but its MIME package and desktop
// entry name them beside the models. Their suffixes are also claimed by other programs' types
// (animated cursors, drawings), so their magic decides between them.
constexpr MimeType::Match kAniMagic[] = {{"string", "0", "<TARGET_MODEL_ID>"}, {"string", "0", "<ANIMATION_ID>"}};
// A .mdl model and a .cdr collider file both begin with <MODEL_ID>; a collider file is told
// apart by its <COLLIDER_TYPE> lines.
constexpr MimeType::Match kColliderShapeMagic[] = {{"string", "0:4096", "<COLLIDER_TYPE>"}};
constexpr MimeType::Match kCdrMagic[] = {{"string", "0", "<MODEL_ID>", kColliderShapeMagic}};
constexpr MimeType kCompanionTypes[] = {
    {"model/x-modelviewer-ani", false, "ModelViewer animation", "text/plain", kAniMagic},
    {"model/x-modelviewer-cdr", false, "ModelViewer collider file", "text/plain", kCdrMagic, 60},
};
constexpr std::string_view kCompanionGlobs[] = {"*.ani", "*.cdr"};

constexpr ModelFormat kFormats[] = {
    {"ModelViewer model", kMdlSuffixes, kMdlTypes, sniffMdl,
     {.clockwiseFronts = true, .textureOriginAtBottom = true, .secondsPerTimeUnit = 1.0 / 12.0,
      .upAxis = UpAxis::kZ},
     readMdlData},
    // The scene reading turns every document to Z up and keeps its unit.
    {"COLLADA", kColladaSuffixes, kColladaTypes, sniffCollada,
     {.textureOriginAtBottom = true, .upAxis = UpAxis::kZ}, readColladaData},
    {"glTF", kGltfSuffixes, kGltfTypes, sniffGltf, {.upAxis = UpAxis::kY, .metresPerUnit = 1}, nullptr, readGltf},
    // No units: metresPerUnit 0. The readers turn texture v and apply the rest themselves.
    {"STL", kStlSuffixes, kStlTypes, sniffStl<Sniff>, {.upAxis = UpAxis::kZ}, nullptr, readStl},
    {"PLY", kPlySuffixes, kPlyTypes, sniffPly<Sniff>, {.textureOriginAtBottom = true, .upAxis = UpAxis::kY}, nullptr,
     readPly},
    {"OBJ", kObjSuffixes, kObjTypes, sniffObj<Sniff>, {.textureOriginAtBottom = true, .upAxis = UpAxis::kY}, nullptr,
     readObj},
};

std::string lowerCase(std::string s) {
  for (char& c : s) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  return s;
}

bool hasSuffix(const std::string& lowerName, std::string_view suffix) {
  return lowerName.size() > suffix.size() &&
         lowerName.compare(lowerName.size() - suffix.size(), suffix.size(), suffix) == 0;
}

void xmlEscaped(std::string& out, std::string_view s) {
  for (char c : s) {
    if (c == '<') out += "&lt;";
    else if (c == '>') out += "&gt;";
    else if (c == '&') out += "&amp;";
    else if (c == '"') out += "&quot;";
    else out += c;
  }
}

void magicMatches(std::string& out, std::span<const MimeType::Match> matches, int depth) {
  const std::string indent(static_cast<std::size_t>(6 + 2 * depth), ' ');
  for (const MimeType::Match& m : matches) {
    out += indent;
    out += "<match type=\"";
    out += m.type;
    out += "\" offset=\"";
    out += m.offset;
    out += "\" value=\"";
    xmlEscaped(out, m.value);
    if (m.inner.empty()) {
      out += "\"/>\n";
      continue;
    }
    out += "\">\n";
    magicMatches(out, m.inner, depth + 1);
    out += indent + "</match>\n";
  }
}

void mimeTypeEntry(std::string& out, const MimeType& type, std::span<const std::string> globs) {
  out += "  <mime-type type=\"";
  out += type.name;
  out += "\">\n    <comment>";
  xmlEscaped(out, type.comment);
  out += "</comment>\n";
  if (!type.subClassOf.empty()) {
    out += "    <sub-class-of type=\"";
    out += type.subClassOf;
    out += "\"/>\n";
  }
  for (const std::string& glob : globs) {
    out += "    <glob pattern=\"";
    out += glob;
    out += "\"/>\n";
  }
  if (!type.magic.empty()) {
    out += "    <magic priority=\"" + std::to_string(type.magicPriority) + "\">\n";
    magicMatches(out, type.magic, 0);
    out += "    </magic>\n";
  }
  out += "  </mime-type>\n";
}

}  // namespace

std::span<const ModelFormat> modelFormats() { return kFormats; }

const ModelFormat* formatOfName(const std::filesystem::path& name) {
  const std::string lower = lowerCase(name.filename().string());
  for (const ModelFormat& format : kFormats) {
    for (std::string_view suffix : format.suffixes) {
      if (hasSuffix(lower, suffix)) return &format;
    }
  }
  return nullptr;
}

const ModelFormat* formatOfFile(const std::filesystem::path& path, std::string* why) {
  std::vector<uint8_t> head;
  uint64_t size = 0;
  std::string reason;
  if (!platform::readFileHead(path, kSniffBytes, head, size, &reason)) {
    if (why != nullptr) *why = path.string() + ": cannot open: " + reason;
    return nullptr;
  }
  const ModelFormat* named = formatOfName(path);
  const ModelFormat* maybe = nullptr;
  for (const ModelFormat& format : kFormats) {
    const Sniff sniff = format.sniff(head, size);
    if (sniff == Sniff::kYes) return &format;
    if (sniff == Sniff::kMaybe && maybe == nullptr) maybe = &format;
  }
  // The name decides where no magic does, unless the bytes rule its format out.
  if (named != nullptr && named->sniff(head, size) != Sniff::kNo) return named;
  if (named == nullptr && maybe != nullptr) return maybe;
  if (why != nullptr) {
    std::string& line = *why = path.string();
    if (named != nullptr) {
      line += ": not a ";
      line += named->name;
      line += " file";
    } else {
      line += ": not a model file (the viewer opens ";
      bool first = true;
      for (const ModelFormat& format : kFormats) {
        for (std::string_view suffix : format.suffixes) {
          line += first ? "" : ", ";
          line += suffix;
          first = false;
        }
      }
      line += ")";
    }
  }
  return nullptr;
}

bool isAnimationFileName(const std::filesystem::path& name) {
  return hasSuffix(lowerCase(name.filename().string()), ".ani");
}

bool readModelAsset(const std::filesystem::path& file, std::span<const std::filesystem::path> animations,
                    ModelAsset& out) {
  std::string why;
  const ModelFormat* format = formatOfFile(file, &why);
  if (format == nullptr) {
    printLoadError("%s", why.c_str());
    return false;
  }
  if (format->readAsset != nullptr) {
    for (const std::filesystem::path& animation : animations) {
      std::fprintf(stderr, "Warning: %s: animation files extend only .mdl and .dae models; it is left out\n",
                   animation.c_str());
    }
    out.file = file;
    return format->readAsset(file, out);
  }
  ModelData data;
  if (!format->readData(data, file)) return false;
  for (const std::filesystem::path& animation : animations) {
    const std::size_t before = data.animations.size();
    if (!readAni(data, animation) || data.animations.size() == before) {
      std::fprintf(stderr, "Warning: %s: no animation read; it is left out\n", animation.c_str());
    }
  }
  out.file = file;
  return modelDataToAsset(data, file, format->conventions, out);
}

std::string desktopMimeTypes() {
  std::string list;
  for (const ModelFormat& format : kFormats) {
    for (const MimeType& type : format.mimeTypes) list += std::string(type.name) + ";";
  }
  for (const MimeType& type : kCompanionTypes) list += std::string(type.name) + ";";
  return list;
}

std::string mimePackage() {
  std::string out =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!-- Written by the build from the viewer's table of formats. Types shared-mime-info already\n"
      "     knows are not defined again. -->\n"
      "<mime-info xmlns=\"http://www.freedesktop.org/standards/shared-mime-info\">\n";
  for (const ModelFormat& format : kFormats) {
    std::vector<std::string> globs;
    for (std::string_view suffix : format.suffixes) globs.push_back(std::string("*").append(suffix));
    for (const MimeType& type : format.mimeTypes) {
      if (!type.known) mimeTypeEntry(out, type, globs);
    }
  }
  for (std::size_t i = 0; i < std::size(kCompanionTypes); ++i) {
    const std::string glob[] = {std::string(kCompanionGlobs[i])};
    mimeTypeEntry(out, kCompanionTypes[i], glob);
  }
  out += "</mime-info>\n";
  return out;
}
