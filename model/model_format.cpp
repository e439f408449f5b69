#include "model/model_format.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "model/ani_reader.h"
#include "model/assimp/assimp_reader.h"
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

// The formats Assimp reads for us (model/assimp/). Assimp turns texture v to the asset's origin
// and fronts to counter-clockwise; the up axis is the format's, unless the file says it.
constexpr ModelConventions kAssimpYUp = {.upAxis = UpAxis::kY};
constexpr ModelConventions kAssimpZUp = {.upAxis = UpAxis::kZ};
template <const ModelConventions& kConventions>
bool readThroughAssimp(const std::filesystem::path& file, ModelAsset& out) {
  return readAssimp(file, kConventions, out);
}

bool startsWith(std::span<const uint8_t> head, std::string_view magic) { return asText(head).starts_with(magic); }
Sniff magicOrNo(std::span<const uint8_t> head, std::string_view magic) {
  return startsWith(head, magic) ? Sniff::kYes : Sniff::kNo;
}
bool isZip(std::span<const uint8_t> head) { return startsWith(head, "PK\x03\x04"); }

Sniff sniffFbx(std::span<const uint8_t> head, uint64_t) {
  if (startsWith(head, "Kaydara FBX Binary  ") || trimmedStart(head).starts_with("; FBX")) return Sniff::kYes;
  return Sniff::kMaybe;  // an ASCII file may begin with other comments
}
// The main chunk (0x4D4D) spans the whole file.
Sniff sniff3ds(std::span<const uint8_t> head, uint64_t size) {
  if (head.size() < 6 || head[0] != 0x4D || head[1] != 0x4D) return Sniff::kNo;
  const uint32_t length = head[2] | head[3] << 8 | head[4] << 16 | static_cast<uint32_t>(head[5]) << 24;
  return length == size ? Sniff::kYes : Sniff::kMaybe;
}
// [ST][C][N][4][n]OFF; the keyword is optional in the format.
Sniff sniffOff(std::span<const uint8_t> head, uint64_t) {
  std::string_view text = trimmedStart(head);
  for (char prefix : {'S', 'T', 'C', 'N', '4', 'n'}) {
    if (!text.empty() && text.front() == prefix) text.remove_prefix(1);
  }
  return text.starts_with("OFF") ? Sniff::kYes : Sniff::kMaybe;
}
Sniff sniffX(std::span<const uint8_t> head, uint64_t) { return magicOrNo(head, "xof "); }
Sniff sniffSib(std::span<const uint8_t> head, uint64_t) { return startsWith(head, "HEAD") ? Sniff::kMaybe : Sniff::kNo; }
Sniff sniffZip(std::span<const uint8_t> head, uint64_t) { return isZip(head) ? Sniff::kMaybe : Sniff::kNo; }
// XML whose root element `root` names, or (zipped) a zip.
template <const std::string_view& kRoot>
Sniff sniffXml(std::span<const uint8_t> head, uint64_t) {
  if (isZip(head)) return Sniff::kMaybe;
  const std::string_view text = trimmedStart(head);
  if (text.empty() || text.front() != '<') return Sniff::kNo;
  return text.find(kRoot) != std::string_view::npos ? Sniff::kYes : Sniff::kMaybe;
}
Sniff sniffLwo(std::span<const uint8_t> head, uint64_t) {
  const std::string_view text = asText(head);
  if (!text.starts_with("FORM") || text.size() < 12) return Sniff::kNo;
  const std::string_view kind = text.substr(8, 4);
  return kind == "LWO2" || kind == "LWOB" || kind == "LXOB" || kind == "LWO3" ? Sniff::kYes : Sniff::kNo;
}
Sniff sniffLws(std::span<const uint8_t> head, uint64_t) { return trimmedStart(head).starts_with("LWSC") ? Sniff::kYes : Sniff::kNo; }
Sniff sniffAse(std::span<const uint8_t> head, uint64_t) {
  return trimmedStart(head).starts_with("*3DSMAX_ASCIIEXPORT") ? Sniff::kYes : Sniff::kMaybe;
}
Sniff sniffAc3d(std::span<const uint8_t> head, uint64_t) { return magicOrNo(head, "AC3D"); }
Sniff sniffMd2(std::span<const uint8_t> head, uint64_t) { return magicOrNo(head, "IDP2"); }
Sniff sniffMd5(std::span<const uint8_t> head, uint64_t) {
  return trimmedStart(head).starts_with("MD5Version") ? Sniff::kYes : Sniff::kNo;
}
Sniff sniffQ3d(std::span<const uint8_t> head, uint64_t) {
  return startsWith(head, "quick3Do") || startsWith(head, "quick3Ds") ? Sniff::kYes : Sniff::kNo;
}
Sniff sniffSmd(std::span<const uint8_t> head, uint64_t) {
  return trimmedStart(head).starts_with("version 1") ? Sniff::kYes : Sniff::kMaybe;
}
// A .blend file, or one saved compressed.
Sniff sniffBlend(std::span<const uint8_t> head, uint64_t) {
  if (startsWith(head, "BLENDER")) return Sniff::kYes;
  return startsWith(head, "\x1F\x8B") || startsWith(head, "\x28\xB5\x2F\xFD") ? Sniff::kMaybe : Sniff::kNo;
}
// The rest: a magic where the format has one (the game formats, whose .mdl files are not ours).
constexpr std::string_view kOtherZUpMagics[] = {"IDPO", "IDP3", "IDPC", "IDST", "IDSQ", "MDL5", "MDL7",
                                                "IBSP", "INTERQUAKEMODEL", "HMP4", "HMP5", "HMP7"};
constexpr std::string_view kOtherYUpMagics[] = {"MS3D000000", "BB3D"};
template <const auto& kMagics>
Sniff sniffMagics(std::span<const uint8_t> head, uint64_t) {
  for (std::string_view magic : kMagics) {
    if (startsWith(head, magic)) return Sniff::kYes;
  }
  return Sniff::kMaybe;
}

constexpr std::string_view kFbxSuffixes[] = {".fbx"};
constexpr MimeType::Match kFbxMagic[] = {{"string", "0", "Kaydara FBX Binary"}, {"string", "0", "; FBX"}};
constexpr MimeType kFbxTypes[] = {{"model/x-fbx", false, "FBX model", "", kFbxMagic}};
constexpr std::string_view k3dsSuffixes[] = {".3ds"};
constexpr MimeType k3dsTypes[] = {{"image/x-3ds", true}};
constexpr std::string_view kOffSuffixes[] = {".off"};
constexpr MimeType::Match kOffMagic[] = {{"string", "0", "OFF"}, {"string", "0", "COFF"}, {"string", "0", "NOFF"},
                                         {"string", "0", "STOFF"}, {"string", "0", "CNOFF"}};
constexpr MimeType kOffTypes[] = {{"model/x-off", false, "OFF model", "text/plain", kOffMagic}};
constexpr std::string_view kXSuffixes[] = {".x"};
constexpr MimeType::Match kXMagic[] = {{"string", "0", "xof "}};
constexpr MimeType kXTypes[] = {{"model/x-directx", false, "DirectX model", "", kXMagic}};
constexpr std::string_view k3mfSuffixes[] = {".3mf"};
constexpr MimeType k3mfTypes[] = {{"model/3mf", true}};
constexpr std::string_view kAmfSuffixes[] = {".amf"};
constexpr MimeType kAmfTypes[] = {{"model/x-amf", false, "Additive manufacturing model", "application/xml"}};
constexpr std::string_view kAmfRoot = "<amf";
constexpr std::string_view kLwoSuffixes[] = {".lwo", ".lxo"};
constexpr MimeType kLwoTypes[] = {{"image/x-lwo", true}};
constexpr std::string_view kLwsSuffixes[] = {".lws"};
constexpr MimeType kLwsTypes[] = {{"image/x-lws", true}};
constexpr std::string_view kAseSuffixes[] = {".ase", ".ask"};
constexpr MimeType::Match kAseMagic[] = {{"string", "0", "*3DSMAX_ASCIIEXPORT"}};
constexpr MimeType kAseTypes[] = {{"model/x-ase", false, "ASCII scene export", "text/plain", kAseMagic}};
constexpr std::string_view kAc3dSuffixes[] = {".ac", ".ac3d", ".acc"};
constexpr MimeType::Match kAc3dMagic[] = {{"string", "0", "AC3D"}};
constexpr MimeType kAc3dTypes[] = {{"model/x-ac3d", false, "AC3D model", "text/plain", kAc3dMagic}};
constexpr std::string_view kMd2Suffixes[] = {".md2"};
constexpr MimeType::Match kMd2Magic[] = {{"string", "0", "IDP2"}};
constexpr MimeType kMd2Types[] = {{"model/x-md2", false, "MD2 model", "", kMd2Magic}};
constexpr std::string_view kMd5Suffixes[] = {".md5mesh", ".md5anim", ".md5camera"};
constexpr MimeType::Match kMd5Magic[] = {{"string", "0", "MD5Version"}};
constexpr MimeType kMd5Types[] = {{"model/x-md5", false, "MD5 model", "text/plain", kMd5Magic}};
constexpr std::string_view kOgreSuffixes[] = {".mesh.xml"};
constexpr MimeType kOgreTypes[] = {{"model/x-ogre-xml", false, "Ogre XML mesh", "application/xml"}};
constexpr std::string_view kOgreRoot = "<mesh";
constexpr std::string_view kQ3dSuffixes[] = {".q3o", ".q3s"};
constexpr MimeType::Match kQ3dMagic[] = {{"string", "0", "quick3Do"}, {"string", "0", "quick3Ds"}};
constexpr MimeType kQ3dTypes[] = {{"model/x-quick3d", false, "Quick3D model", "", kQ3dMagic}};
constexpr std::string_view kSibSuffixes[] = {".sib"};
constexpr MimeType kSibTypes[] = {{"model/x-sib", false, "Silo model"}};
constexpr std::string_view kSmdSuffixes[] = {".smd", ".vta"};
constexpr MimeType kSmdTypes[] = {{"model/x-smd", false, "StudioMdl model", "text/plain"}};
constexpr std::string_view kX3dSuffixes[] = {".x3d", ".x3db"};
constexpr MimeType kX3dTypes[] = {{"model/x3d+xml", false, "X3D model", "application/xml"}};
constexpr std::string_view kX3dRoot = "<X3D";
constexpr std::string_view kBlendSuffixes[] = {".blend"};
constexpr MimeType kBlendTypes[] = {{"application/x-blender", true}};
// What else Assimp's importer list names, by up axis; no MIME types: their suffixes are shared
// with other programs' files (.raw, .scn, .cob), and "Open with" must not offer the viewer for
// those.
constexpr std::string_view kOtherZUpSuffixes[] = {".3d", ".bsp", ".pk3", ".md3", ".mdc", ".hmp", ".ter", ".iqm",
                                                  ".dxf", ".ifc", ".ifczip", ".step", ".stp", ".cob", ".scn",
                                                  ".uc", ".ogex", ".prj", ".xgl", ".zgl"};
constexpr std::string_view kOtherYUpSuffixes[] = {".b3d", ".bvh", ".csm", ".irr", ".irrmesh", ".ms3d", ".nff",
                                                  ".enff", ".pmx", ".raw", ".zae", ".assbin",
                                                  ".ndo", ".mot", ".mesh"};

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
    {"FBX", kFbxSuffixes, kFbxTypes, sniffFbx, kAssimpYUp, nullptr, readThroughAssimp<kAssimpYUp>, true},
    {"3DS", k3dsSuffixes, k3dsTypes, sniff3ds, kAssimpZUp, nullptr, readThroughAssimp<kAssimpZUp>, true},
    {"OFF", kOffSuffixes, kOffTypes, sniffOff, kAssimpYUp, nullptr, readThroughAssimp<kAssimpYUp>, true},
    {"DirectX", kXSuffixes, kXTypes, sniffX, kAssimpYUp, nullptr, readThroughAssimp<kAssimpYUp>},
    {"3MF", k3mfSuffixes, k3mfTypes, sniffZip, kAssimpZUp, nullptr, readThroughAssimp<kAssimpZUp>, true},
    {"AMF", kAmfSuffixes, kAmfTypes, sniffXml<kAmfRoot>, kAssimpZUp, nullptr, readThroughAssimp<kAssimpZUp>, true},
    {"LightWave", kLwoSuffixes, kLwoTypes, sniffLwo, kAssimpYUp, nullptr, readThroughAssimp<kAssimpYUp>},
    {"LightWave scene", kLwsSuffixes, kLwsTypes, sniffLws, kAssimpYUp, nullptr, readThroughAssimp<kAssimpYUp>},
    {"ASE", kAseSuffixes, kAseTypes, sniffAse, kAssimpZUp, nullptr, readThroughAssimp<kAssimpZUp>, true},
    {"AC3D", kAc3dSuffixes, kAc3dTypes, sniffAc3d, kAssimpYUp, nullptr, readThroughAssimp<kAssimpYUp>},
    {"MD2", kMd2Suffixes, kMd2Types, sniffMd2, kAssimpYUp, nullptr, readThroughAssimp<kAssimpYUp>},
    {"MD5", kMd5Suffixes, kMd5Types, sniffMd5, kAssimpZUp, nullptr, readThroughAssimp<kAssimpZUp>},
    {"Ogre XML", kOgreSuffixes, kOgreTypes, sniffXml<kOgreRoot>, kAssimpYUp, nullptr, readThroughAssimp<kAssimpYUp>,
     true},
    {"Quick3D", kQ3dSuffixes, kQ3dTypes, sniffQ3d, kAssimpZUp, nullptr, readThroughAssimp<kAssimpZUp>},
    {"Silo", kSibSuffixes, kSibTypes, sniffSib, kAssimpYUp, nullptr, readThroughAssimp<kAssimpYUp>, true},
    {"StudioMdl", kSmdSuffixes, kSmdTypes, sniffSmd, kAssimpZUp, nullptr, readThroughAssimp<kAssimpZUp>, true},
    {"X3D", kX3dSuffixes, kX3dTypes, sniffXml<kX3dRoot>, kAssimpYUp, nullptr, readThroughAssimp<kAssimpYUp>, true},
    {"Blender", kBlendSuffixes, kBlendTypes, sniffBlend, kAssimpZUp, nullptr, readThroughAssimp<kAssimpZUp>},
    {"model (Assimp, Z up)", kOtherZUpSuffixes, {}, sniffMagics<kOtherZUpMagics>, kAssimpZUp, nullptr, readThroughAssimp<kAssimpZUp>,
     true},
    {"model (Assimp, Y up)", kOtherYUpSuffixes, {}, sniffMagics<kOtherYUpMagics>, kAssimpYUp, nullptr, readThroughAssimp<kAssimpYUp>,
     true},
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
    if (sniff == Sniff::kMaybe && maybe == nullptr && !format.suffixOnly) maybe = &format;
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
