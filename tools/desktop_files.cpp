// Writes the files a freedesktop desktop needs to offer the viewer, with the file types the
// table of formats names: the desktop entry and the thumbnailer entry from their templates
// (their MimeType= line filled in) and the shared-mime-info package.
//   desktop_files TEMPLATE_FOLDER OUTPUT_FOLDER
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "model/model_format.h"

namespace fs = std::filesystem;

namespace {

// `text` with its "MimeType=" line (the template's empty one) given the table's types.
std::string withMimeTypes(const std::string& text) {
  std::istringstream in(text);
  std::string out;
  for (std::string line; std::getline(in, line);) out += (line == "MimeType=" ? line + desktopMimeTypes() : line) + "\n";
  return out;
}

// Writes `text` to `path` unless it already holds it, so that the build does not install anew.
bool write(const fs::path& path, const std::string& text) {
  std::ifstream existing(path, std::ios::binary);
  const std::string old((std::istreambuf_iterator<char>(existing)), std::istreambuf_iterator<char>());
  if (existing && old == text) return true;
  std::ofstream out(path, std::ios::binary);
  out << text;
  return static_cast<bool>(out);
}

std::string read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: desktop_files TEMPLATE_FOLDER OUTPUT_FOLDER\n");
    return 2;
  }
  const fs::path templates = argv[1], out = argv[2];
  std::error_code ec;
  fs::create_directories(out, ec);
  const bool ok = write(out / "modelviewer.desktop", withMimeTypes(read(templates / "modelviewer.desktop.in"))) &&
                  write(out / "modelviewer.thumbnailer", withMimeTypes(read(templates / "modelviewer.thumbnailer.in"))) &&
                  write(out / "modelviewer.xml", mimePackage());
  if (!ok) std::fprintf(stderr, "desktop_files: cannot write into %s\n", out.c_str());
  return ok ? 0 : 1;
}
