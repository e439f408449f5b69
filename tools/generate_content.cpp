// Writes the viewer's sample content into a run folder: the skeleton with its texture,
// collider file and two animations, the 49 field tiles with their collider files and grass
// texture, and the six title-bar button images. Deterministic: the same files every run.
//
// usage: generate_content RUN_FOLDER
#include <stb_image_write.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "tools/button_images.h"
#include "tools/field_content.h"
#include "tools/model_writer.h"
#include "tools/skeleton_content.h"

namespace fs = std::filesystem;

namespace {

bool failed = false;

// Writes only when the content differs, so the build's time stamps stay meaningful.
void writeFile(const fs::path& path, const std::string& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (in) {
    std::string old((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (old == bytes) return;
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out) {
    std::fprintf(stderr, "%s: cannot write\n", path.c_str());
    failed = true;
  }
}

void appendBytes(void* context, void* data, int size) {
  static_cast<std::string*>(context)->append(static_cast<const char*>(data), static_cast<std::size_t>(size));
}

void writePng(const fs::path& path, const content::Image& image) {
  std::string bytes;
  if (!stbi_write_png_to_func(appendBytes, &bytes, image.width, image.height, 4, image.rgba.data(),
                              image.width * 4)) {
    std::fprintf(stderr, "%s: cannot encode PNG\n", path.c_str());
    failed = true;
    return;
  }
  writeFile(path, bytes);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: generate_content RUN_FOLDER\n");
    return 2;
  }
  fs::path root = argv[1];
  std::error_code ec;
  fs::create_directories(root / "model" / "field", ec);
  fs::create_directories(root / "pict", ec);
  if (ec) {
    std::fprintf(stderr, "%s: %s\n", root.c_str(), ec.message().c_str());
    return 1;
  }

  auto skeleton = content::makeSkeletonModel();
  writeFile(root / "model" / "skelton.mdl", mdlText(*skeleton));
  writePng(root / "model" / "skelton.png", content::makeBoneTexture());
  writeFile(root / "model" / "skelton.cdr", cdrText(*content::makeSkeletonColliders()));
  writeFile(root / "model" / "walk.ani", aniText(skeleton->modelId, *content::makeWalkAnimation(*skeleton)));
  writeFile(root / "model" / "stand.ani", aniText(skeleton->modelId, *content::makeStandAnimation(*skeleton)));

  for (int row = 1; row <= content::kFieldSize; ++row) {
    for (int column = 1; column <= content::kFieldSize; ++column) {
      std::string stem = "field" + std::to_string(row) + "-" + std::to_string(column);
      writeFile(root / "model" / "field" / (stem + ".mdl"), mdlText(*content::makeTileModel(row, column)));
      writeFile(root / "model" / "field" / (stem + ".cdr"), cdrText(*content::makeTileColliders(row, column)));
    }
  }
  writePng(root / "model" / "field" / "grass.png", content::makeGrassTexture());

  for (const auto& button : content::makeButtonImages()) writePng(root / "pict" / button.fileName, button.image);
  return failed ? 1 : 0;
}
