// Setting up the model view for the desktop program and the headless mode alike: the model
// loaded through the render device's textures, its meshes uploaded, its objects in the Scene,
// and the camera's picture shape.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class Camera;
class ModelView;
class RenderDevice;
class Scene;

// The model view's shadow target side: its shadow area is always the same size around the
// model (scaled to a fixed size), so it needs no more than this whatever the picture's size.
inline constexpr int32_t kModelViewShadowSize = 1024;

// Loads `model` with `animations` into `view`, uploads what it draws, adds it to `scene` and
// shapes the camera for a `width` x `height` picture. False after one line on stderr.
bool LoadModelView(ModelView& view, Scene& scene, Camera& camera, RenderDevice& device, const std::string& model,
                   const std::vector<std::string>& animations, int32_t width, int32_t height);

// The picture's new size: the camera's aspect and render size, and the view's framing limits.
void SetModelViewSize(ModelView& view, Camera& camera, int32_t width, int32_t height);
