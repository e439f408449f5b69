// Writes models, animations and collider sets in the viewer's own text formats (.mdl, .ani,
// .cdr): every keyword between "<" and ">", values on the keyword line or the line after it,
// numbers in their shortest exact form so that reading them back gives the same floats.
#pragma once

#include <string>

struct AnimationSet;
struct ColliderSet;
struct ModelData;

std::string mdlText(const ModelData& model);
std::string aniText(const std::u16string& targetModelId, const AnimationSet& animation);
std::string cdrText(const ColliderSet& colliders);
