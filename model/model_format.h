// The table of model formats: for each, its suffixes, its MIME types, a sniff of the file's
// first bytes, its reader and its conventions. Everything that decides what a file is asks
// this table: the window, --headless, --thumbnail, --info, drops, and the desktop entry's and
// MIME package's lists, which the build writes from it. Adding a format is adding an entry and
// a reader; nothing else branches on the format.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "model/model_asset.h"
#include "model/model_conventions.h"

struct ModelData;

// What a sniff of a file's first bytes concludes.
enum class Sniff : uint8_t {
  kNo,     // not this format
  kMaybe,  // nothing against it (a format without a magic)
  kYes,    // the format's magic is there
};

struct MimeType {
  std::string_view name;  // "model/gltf-binary"
  // shared-mime-info defines it: the viewer's MIME package must not define it again.
  bool known = false;
  // For the viewer's own definition: its comment, the type it is a kind of, and its magic as
  // shared-mime-info matches write it (any one match, with all of its inner matches, decides).
  std::string_view comment = {};
  std::string_view subClassOf = {};
  struct Match {
    std::string_view type, offset, value;
    std::span<const Match> inner = {};
  };
  std::span<const Match> magic = {};
  int magicPriority = 50;
};

struct ModelFormat {
  std::string_view name;                      // "COLLADA", for messages and --info
  std::span<const std::string_view> suffixes;  // lower case with the dot: ".dae"
  std::span<const MimeType> mimeTypes;
  // `head` is the file's first bytes (up to kSniffBytes), `size` its whole size.
  Sniff (*sniff)(std::span<const uint8_t> head, uint64_t size);
  ModelConventions conventions;
  // One of the two readers. A ModelData format reads into the viewer's own records, which
  // .ani files can extend, and is then turned into an asset; the others write the asset.
  // Both resolve every name the file holds against the file's folder and never change the
  // current directory. False after one line on stderr naming the file and the reason.
  bool (*readData)(ModelData& out, const std::filesystem::path& file) = nullptr;
  bool (*readAsset)(const std::filesystem::path& file, ModelAsset& out) = nullptr;
  // A format with no magic that the bytes of many other files also fit (a zip, any binary):
  // only its suffix names it, and a file of no known suffix is never taken for it.
  bool suffixOnly = false;
};

// How many leading bytes a sniff sees.
inline constexpr std::size_t kSniffBytes = 4096;

// Every format, in the order a sniff tries them.
std::span<const ModelFormat> modelFormats();

// The format of the file at `path`: one whose magic its first bytes hold, else the one its
// suffix (any letter case) names, else one that cannot be ruled out without a magic where the
// suffix names none. Null when it is none of them; `why` then says so, naming the file. A file
// that cannot be opened, or is not a regular file, is null with the reason.
const ModelFormat* formatOfFile(const std::filesystem::path& path, std::string* why = nullptr);
// The format the suffix of `name` (any letter case) names, without looking inside; null for none.
const ModelFormat* formatOfName(const std::filesystem::path& name);

// Whether `name` is an animation file (.ani, any letter case), which extends a ModelData model.
bool isAnimationFileName(const std::filesystem::path& name);

// Reads `file` (its format by formatOfFile) into `out`; `animations` extend a ModelData model
// (an animation file that cannot be read is left out with a warning; for other formats each is
// left out with a warning). False after one line on stderr naming the file and the reason.
bool readModelAsset(const std::filesystem::path& file, std::span<const std::filesystem::path> animations,
                    ModelAsset& out);

// The desktop entry's MimeType= value: every type of every format, then the viewer's .ani and
// .cdr types, separated and ended by ";".
std::string desktopMimeTypes();
// The viewer's shared-mime-info package: every type the table names that shared-mime-info does
// not know, with its globs and magic.
std::string mimePackage();
