// Tangents for normal maps, made by the MikkTSpace method (Morten Mikkelsen, "Simulation of
// Wrinkled Surfaces Revisited", 2008), the method glTF, Blender and the common bakers use, so
// that a normal map looks as it did where it was baked. Format-neutral: any reader whose file
// gives normals and texture coordinates but no tangents may call it.
#pragma once

#include "model/model_asset.h"

// Fills `primitive.tangents` (xyzw, w the bitangent's sign: bitangent = cross(normal,
// tangent.xyz) * w, pointing up the image) for a triangle primitive with positions, normals
// and texture coordinate set `texCoordSet` (0 or 1, top-left image origin as the asset keeps
// them). Each corner's tangent is the corner-angle-weighted average of the tangents of the
// faces around its vertex that share its orientation in texture space and are joined to it
// by edges, projected onto the vertex's plane; a vertex whose corners need different tangents
// (a mirrored seam) is split, every attribute and morph target copied, and the indices
// rewritten. Faces with no area in position or texture space take the tangent of their vertex
// from the other faces, else any tangent perpendicular to the normal.
// Returns false, leaving the primitive as it was, when it is not a triangle list or lacks
// positions, normals or that texture coordinate set.
bool generateTangents(MeshPrimitive& primitive, int texCoordSet);
