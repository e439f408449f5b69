// The part of the field the shadow map covers. Written so that GLSL and C++ read it alike: the
// shaders include it, and so does the renderer, which works out on the CPU where shadows can
// fall and must project exactly as the shaders do.

// The shadow map covers this radius, in world units, around the character the follow view
// looks at: the light is far away and low, and only the character casts shadows worth seeing.
const float kShadowRadius = 48.0f;
// The follow view's eye sits this far from its target: |(100, 100, 60)|.
const float kFollowDistance = 153.6229f;
