// Every format Assimp reads that no reader of ours takes (FBX, 3DS, OFF, X, 3MF, Blender and the
// rest of its importer list) into a ModelAsset, through Debian's libassimp.
//
// Assimp opens files only through this reader's file system: regular files alone (a FIFO or a
// device is refused, never opened to block), every relative name resolved against the model's
// folder, nothing written and the current directory never changed. Its post-processing is
// what the drawable model needs and no more: triangulate, join identical vertices, sort by
// primitive type (points and lines become primitives of their own), smooth normals where the
// file has none (faces meeting at 30 degrees or more keep a crease, as the STL welder does),
// at most four bone weights a vertex, texture v turned to the asset's top-left origin, and
// its validation of the result.
//
// What becomes of the scene:
// - each aiMesh is a mesh of one primitive; a node placing several meshes gets one child node
//   for each after its first, so that each placement has its own skin;
// - the node tree keeps its matrices (transposed to the asset's row vectors); animated nodes
//   are split into translation, rotation and scale for their channels;
// - bones become one skin per skinned mesh, joints found by name, inverse binds the bones'
//   offset matrices; animations keep every node channel, key times in seconds (Assimp's ticks
//   at its ticks per second, 25 where the file gives none), linear;
// - materials by the physically based keys where the file has them (base colour, metallic,
//   roughness, emissive intensity, clearcoat), else by the Phong rule of the MTL reader
//   (model/mesh_formats/mtl_reader.h): base colour the diffuse colour (white with a texture,
//   the colour then shows where the texture cannot), alpha the opacity, metallic 0, roughness
//   from the shininess exponent, else from the specular colour; double-sided as every Phong
//   format; textures: base colour (diffuse), normals, emissive, ambient occlusion (or light
//   map), each with its coordinate set, wrap mode and transform;
// - textures held in the file (FBX, "*N" names) are ImageSource bytes: compressed ones as they
//   are, raw texels written as an uncompressed TGA image; other names are files beside the
//   model (a path of another machine is looked for by its name in the model's folder);
// - the up axis is the format's (FBX: its UpAxis), the unit FBX's UnitScaleFactor where given.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>

#include "model/model_asset.h"
#include "model/model_conventions.h"

// Reads `file` through Assimp into `out`; `conventions` are the format's (up axis and unit
// unless the file says otherwise). False after one line on stderr naming the file and
// Assimp's reason; problems that leave something out print one warning each.
bool readAssimp(const std::filesystem::path& file, const ModelConventions& conventions, ModelAsset& out);

// As readAssimp, for a file's bytes in memory whose format's suffix is `suffix` ("fbx"); the
// file can name no other file.
bool readAssimpBytes(std::span<const uint8_t> bytes, const char* suffix, const ModelConventions& conventions,
                     ModelAsset& out);
