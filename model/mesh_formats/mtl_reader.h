// MTL material libraries (the materials of OBJ files) into MaterialDescription. Internal to
// model/mesh_formats/; the OBJ reader (obj_reader.h) finds the libraries and their textures.
//
// The material rule. Colours are display (sRGB) values and become linear. Phong values map by
// the rule of model/model_data_asset.h; physically based values (the PBR extension) are taken
// as they are and win over the Phong ones.
// - base colour := Kd (white without Kd); with map_Kd, white: the image alone colours;
//   alpha := d, else 1 - Tr, else 1; map_d (opacity) goes to MtlTextures::opacity;
//   alpha mode := blend when the alpha is below 1 or there is a map_d, else opaque;
// - metallic := Pm, else 0 (a Phong surface is a dielectric); map_Pm is MtlTextures::metallic;
// - roughness := Pr where given (map_Pr is MtlTextures::roughness); else 1 for illum 0 or 1
//   (no highlight) and for a black Ks; else from Ns where given: a Blinn-Phong exponent n is
//   a microfacet alpha of sqrt(2 / (n + 2)), and roughness is the square root of alpha, so
//   (2 / (Ns + 2))^(1/4) (Ns 10: 0.64, 100: 0.37, 1000: 0.21); else from Ks,
//   1 - 0.6 x its brightest channel; else 1;
// - emissive := Ke; map_Ke is the emissive texture (with no Ke, the emission is white so
//   that the texture shows);
// - illum 0 (colour only, no lighting) := unlit;
// - map_Bump, bump and norm are the normal texture, -bm its scale; map_Ks is the specular
//   colour texture (KHR_materials_specular); Ps and map_Ps the sheen colour; Pc and Pcr the
//   clearcoat factor and roughness; Ka, map_Ka, Ni, Tf, aniso and anisor play no part;
// - double-sided: always, as for every Phong format.
// Texture options: -o and -s become the texture transform (v flipped to the asset's top-left
// origin), -clamp on a clamping sampler, -imfchan the channel of a single-channel map; the
// others (-blendu -blendv -boost -mm -t -texres -cc -type) are skipped with their values. The
// file name is the rest of the line, spaces included.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "model/model_asset.h"

// What a material needs beyond MaterialDescription: MTL gives metallic and roughness as two
// single-channel maps, where MaterialDescription holds glTF's one packed texture (blue
// metallic, green roughness), and an opacity map apart from the colour map. To be merged into
// MaterialDescription.
struct MtlTextures {
  TextureRef metallic, roughness, opacity;
  // Which channel of each map holds the value: 0 red (the default), 1 green, 2 blue, 3 alpha.
  uint8_t metallicChannel = 0, roughnessChannel = 0, opacityChannel = 0;
};

// Gives the asset's image for a texture file named as the library writes it, adding it to
// the asset where needed; -1 leaves the texture out (the resolver warns).
using MtlImageResolver = std::function<int32_t(std::string_view name)>;

// Parses the library `text`, appending its materials to asset.materials (and any sampler they
// need to asset.samplers) and one MtlTextures each to `extras`. Returns the number of lines it
// did not understand (skipped).
std::size_t parseMtl(std::string_view text, ModelAsset& asset, std::vector<MtlTextures>& extras,
                     const MtlImageResolver& image);
