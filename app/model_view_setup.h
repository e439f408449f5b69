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

// Loads `model` with `animations` into `view`, then shows it as ShowModelView does. False after
// one line on stderr.
bool LoadModelView(ModelView& view, Scene& scene, Camera& camera, RenderDevice& device, const std::string& model,
                   const std::vector<std::string>& animations, int32_t width, int32_t height);

// Uploads what a loaded `view` draws, puts it in place of whatever the Scene's lists hold, and
// shapes and points the camera for a `width` x `height` picture. False, with `error` set, nothing
// left uploaded (the view's textures released too) and the Scene as it was, when the device runs
// out of memory.
bool ShowModelView(ModelView& view, Scene& scene, Camera& camera, RenderDevice& device, int32_t width,
                   int32_t height, std::string* error);

// The picture's new size: the camera's aspect and render size, and the view's framing limits.
void SetModelViewSize(ModelView& view, Camera& camera, int32_t width, int32_t height);
