// What the reader tests compare with Assimp: an asset's (or Assimp's own scene's) element
// counts and the bounds of its meshes' vertices as the file places them in each mesh.
#pragma once

#include <assimp/Importer.hpp>
#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <filesystem>
#include <string>

#include "model/model_asset.h"

inline const std::filesystem::path kAssimpModels = "/usr/share/assimp/models";

struct Summary {
  bool read = false;
  std::size_t triangles = 0, lines = 0, points = 0;
  float min[3] = {INFINITY, INFINITY, INFINITY}, max[3] = {-INFINITY, -INFINITY, -INFINITY};
  void include(float x, float y, float z) {
    const float v[3] = {x, y, z};
    for (int i = 0; i < 3; ++i) {
      if (!std::isfinite(v[i])) continue;
      min[i] = std::min(min[i], v[i]);
      max[i] = std::max(max[i], v[i]);
    }
  }
};

inline Summary summaryOf(const ModelAsset& asset) {
  Summary s;
  s.read = true;
  for (const Mesh& mesh : asset.meshes) {
    for (const MeshPrimitive& p : mesh.primitives) {
      (p.mode == PrimitiveMode::kTriangles ? s.triangles : p.mode == PrimitiveMode::kLines ? s.lines : s.points) +=
          p.elementCount();
      for (std::size_t i = 0; i + 2 < p.positions.size(); i += 3) s.include(p.positions[i], p.positions[i + 1], p.positions[i + 2]);
    }
  }
  return s;
}

inline Summary assimpSummary(const std::filesystem::path& file) {
  Summary s;
  Assimp::Importer importer;
  const aiScene* scene = importer.ReadFile(file.string(), aiProcess_Triangulate | aiProcess_JoinIdenticalVertices);
  if (scene == nullptr) return s;
  s.read = scene->mNumMeshes > 0;
  for (unsigned m = 0; m < scene->mNumMeshes; ++m) {
    const aiMesh* mesh = scene->mMeshes[m];
    for (unsigned f = 0; f < mesh->mNumFaces; ++f) {
      const unsigned n = mesh->mFaces[f].mNumIndices;
      (n == 3 ? s.triangles : n == 2 ? s.lines : s.points) += 1;
    }
    for (unsigned v = 0; v < mesh->mNumVertices; ++v) s.include(mesh->mVertices[v].x, mesh->mVertices[v].y, mesh->mVertices[v].z);
  }
  return s;
}

inline std::size_t lineCount(const std::string& text) { return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')); }

