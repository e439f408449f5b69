// A model read into the viewer's own records (a .mdl model, a COLLADA document, with the .ani
// files that extend it) turned into a ModelAsset, the form every format reaches before it is
// drawn. The records stay as their readers made them; this only reads them.
//
// The material rule. The records give Phong colours (diffuse, ambient, specular, emission) and
// at most one texture, the diffuse colour's. Colours are display (sRGB) values and become linear.
// - base colour := the diffuse colour with its alpha; with a texture, white (its alpha kept):
//   a colour given as an image leaves the colour itself black, and the image alone colours;
// - metallic := 0: a Phong surface is a dielectric;
// - roughness := 1 - 0.6 x the brightest channel of the specular colour (a black specular
//   colour, a matte surface, gives 1; a white one 0.4);
// - emissive := the emission colour;
// - alpha mode := blend when the alpha is below 1, else opaque;
// - double-sided: always, as the viewer has always drawn these models; the ambient colour
//   plays no part (the view's light gives the ambient share).
// A primitive whose material the records lack gets none (-1): the drawable model's neutral
// light grey.
//
// Geometry: every distinct corner (position, normal, colour, texture coordinates) becomes one
// vertex of its geometry's mesh, each geometry one mesh however often the scene places it. The
// format's conventions (winding, texture origin, time unit) are applied, so the asset keeps
// its own.
#pragma once

#include <filesystem>

#include "model/model_asset.h"
#include "model/model_conventions.h"

struct ModelData;

// Turns `data`, read from `file`, into `out`. False after one line on stderr naming the file
// when it holds nothing to draw.
bool modelDataToAsset(const ModelData& data, const std::filesystem::path& file, const ModelConventions& conventions,
                      ModelAsset& out);
