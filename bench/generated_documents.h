// COLLADA documents the benchmarks generate into temporary files: a skinned, animated grid of
// 200,000 triangles (about 25 MB), a scene of 10,000 placed nodes, and a plain mesh of 5
// million triangles (about 166 MB).
#pragma once

#include <filesystem>

// The path of the document `write` makes, made the first time it is asked for (named after
// `stem` and this process) and removed at exit.
const std::filesystem::path& generatedDocument(const char* stem, void (*write)(const std::filesystem::path&));

// A grid mesh bent along x, skinned to a chain of 60 joints along x, each joint animated with
// a matrix channel of 100 keys.
void writeSkinnedGrid(const std::filesystem::path& path);
// 10,000 nodes: 100 shared parts in library_nodes (translate, rotate, scale, one cube each) and
// 99 groups of 99 scene nodes, each placed by translate, two rotates and scale and instancing
// one part.
void writeNodeScene(const std::filesystem::path& path);
// A grid of 2,500 x 1,000 cells, two triangles each, with its positions and normals sharing
// one index per corner: 5 million triangles.
void writeLargeMesh(const std::filesystem::path& path);
