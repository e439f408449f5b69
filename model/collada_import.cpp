#include "model/collada_import.h"

#include <cstdio>
#include <memory>
#include <string>

#include "model/collada/collada_context.h"
#include "model/load_error.h"
#include "model/model_data.h"
#include "platform/number_text.h"
#include "platform/regular_file.h"
#include "platform/text.h"

namespace {

// The file's base name: a case-sensitive ".dae" suffix dropped, then the last piece between
// "/", "\" and line feeds.
std::u16string modelIdFor(const std::filesystem::path& fileName) {
  std::u16string name = text::fromUtf8(fileName.string());
  constexpr std::u16string_view kSuffix = u".dae";
  if (name.size() >= kSuffix.size() && name.compare(name.size() - kSuffix.size(), kSuffix.size(),
                                                    kSuffix) == 0) {
    name.resize(name.size() - kSuffix.size());
  }
  std::u16string_view last;
  text::forEachToken(std::u16string_view(name), std::u16string_view(u"/\\\n"),
                     [&](std::u16string_view piece) {
                       last = piece;
                       return true;
                     });
  return text::boundedName(last);
}

// The defaults skip comments, processing instructions and the declaration, which play no part,
// and turn every line end into a line feed, which the number lists rely on.
constexpr unsigned kParseOptions = pugi::parse_default;

bool importDocument(ModelData& model, const pugi::xml_document& document, const std::string& name,
                    const std::filesystem::path& fileName, std::FILE* messages,
                    ColladaSceneClock* sceneClock = nullptr) {
  collada::ImportContext context{model, document, name, messages};
  collada::numberNotes() = {};
  if (!document.child("COLLADA")) context.warn("no COLLADA element; nothing to import");
  model.modelId = modelIdFor(fileName);
  collada::importImages(context);
  collada::importMaterials(context);
  collada::importGeometries(context);
  collada::importSkins(context);
  collada::importNodes(context);
  collada::importAnimations(context);
  // Beside what the steps above made, never changing it: how the visual scene places it.
  if (sceneClock != nullptr) sceneClock->start = std::chrono::steady_clock::now();
  collada::readScene(context);
  if (sceneClock != nullptr) sceneClock->end = std::chrono::steady_clock::now();
  const collada::NumberNotes& notes = collada::numberNotes();
  if (notes.decimalCommas > 0) {
    context.warn("%lld numbers are written with a decimal comma (\"%s\"); read with the comma as the decimal point",
                 static_cast<long long>(notes.decimalCommas), notes.firstComma.c_str());
  }
  if (notes.notNumbers > context.reportedNotNumbers) {
    context.warn("%lld number tokens are no numbers (\"%s\"); read as 0",
                 static_cast<long long>(notes.notNumbers - context.reportedNotNumbers), notes.firstNotNumber.c_str());
  }
  return true;
}

bool reportParseError(const std::string& name, const pugi::xml_parse_result& result,
                      std::FILE* messages) {
  if (messages == nullptr) return false;
  std::string line;
  if (result.status == pugi::status_file_not_found || result.status == pugi::status_io_error) {
    line = name + ": cannot read the file";
  } else {
    line = name + ": not a readable XML document: " + result.description() + " at byte " +
           std::to_string(result.offset);
  }
  // On stderr it is the load's error line, which a caller may show beside.
  if (messages == stderr) printLoadError("%s", line.c_str());
  else std::fprintf(messages, "%s\n", line.c_str());
  return false;
}

}  // namespace

bool importCollada(ModelData& model, const std::filesystem::path& fileName, ColladaSceneClock* sceneClock) {
  const std::string name = fileName.string();
  // Read through the regular-file check: a FIFO or a device is refused, never waited on.
  std::string bytes, why;
  if (!platform::readRegularFile(fileName, bytes, &why)) {
    printLoadError("%s: cannot open: %s", name.c_str(), why.c_str());
    return false;
  }
  // Parsed where it lies: the document's strings point into the bytes, which outlive it.
  auto document = std::make_unique<pugi::xml_document>();
  pugi::xml_parse_result result = document->load_buffer_inplace(bytes.data(), bytes.size(), kParseOptions);
  if (!result) return reportParseError(name, result, stderr);
  return importDocument(model, *document, name, fileName, stderr, sceneClock);
}

bool importColladaText(ModelData& model, std::string_view xml,
                       const std::filesystem::path& fileName, std::FILE* messages) {
  const std::string name = fileName.string();
  auto document = std::make_unique<pugi::xml_document>();
  pugi::xml_parse_result result = document->load_buffer(xml.data(), xml.size(), kParseOptions);
  if (!result) return reportParseError(name, result, messages);
  return importDocument(model, *document, name, fileName, messages);
}
