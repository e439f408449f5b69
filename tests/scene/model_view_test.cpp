// The model view's controls on the generated skeleton: the orbit, zoom and pan limits, the
// number keys, space and Home, and the animation they choose.
#include "scene/model_view.h"

#include <gtest/gtest.h>

#include "scene/character.h"
#include "scene/drawable_model.h"

namespace {

constexpr uint8_t kKey2 = 0x03, kKeySpace = 0x39, kKeyHome = 0xC7;

void press(ModelView& view, std::initializer_list<uint8_t> codes) {
  uint8_t keys[kModelViewKeys] = {};
  for (uint8_t c : codes) keys[c] = 0x80;
  view.OnKeyboard(keys);
}

TEST(ModelViewControls, OrbitZoomPanHomeAndAnimationKeys) {
  const std::filesystem::path animations[] = {MV_RUN_DIR "/model/walk.ani", MV_RUN_DIR "/model/stand.ani"};
  std::shared_ptr<DrawableModel> model = loadDrawableModel(MV_RUN_DIR "/model/skelton.mdl", animations);
  ASSERT_NE(model, nullptr);
  ModelView view(model);
  view.SetViewport(640, 480);
  EXPECT_EQ(view.animationCount(), 2);
  EXPECT_EQ(view.StatusText(), "WALK 1/2");

  const OrbitCamera home = view.orbitNow();
  EXPECT_GT(home.pitch, 0) << "a view from above";
  float eye[3];
  home.eye(eye);
  const ModelFrame& frame = view.Frame();
  for (int i = 0; i < 3; ++i) EXPECT_FLOAT_EQ(frame.eye[i], eye[i]);

  // A drag to the right turns the model's near side to the right: the eye goes the other way.
  view.Drag(64, 0, DragMode::kOrbit);
  EXPECT_LT(view.orbitNow().yaw, home.yaw);
  view.Drag(0, 100000, DragMode::kOrbit);
  EXPECT_FLOAT_EQ(view.orbitNow().pitch, OrbitCamera::kMaxPitch);
  view.Wheel(100);
  EXPECT_FLOAT_EQ(view.orbitNow().distance, home.homeDistance * 0.4f);
  view.Wheel(-100);
  EXPECT_FLOAT_EQ(view.orbitNow().distance, home.homeDistance * 8.0f);
  view.Drag(100, 0, DragMode::kPan);
  EXPECT_NE(view.orbitNow().target[0], home.target[0]);

  press(view, {kKeyHome});
  const OrbitCamera again = view.orbitNow();
  EXPECT_FLOAT_EQ(again.distance, home.distance);
  EXPECT_FLOAT_EQ(again.yaw, home.yaw);
  EXPECT_FLOAT_EQ(again.target[0], home.target[0]);

  // The walk moves the skeleton's joints from frame to frame; a paused clip holds them.
  view.Advance(0.1);
  const std::vector<Matrix4> walking = view.Frame().joints;
  view.Advance(0.1);
  EXPECT_NE(view.Frame().joints, walking);
  press(view, {kKey2});
  EXPECT_EQ(view.StatusText(), "STAND 2/2");
  press(view, {kKey2, kKeySpace});
  EXPECT_EQ(view.StatusText(), "STAND 2/2 (paused)");
  view.Advance(0.1);
  const std::vector<Matrix4> held = view.Frame().joints;
  view.Advance(0.1);
  EXPECT_FALSE(view.Frame().posed);
  EXPECT_EQ(view.Frame().joints, held);
  press(view, {kKey2, kKeySpace});  // still held: no second toggle
  EXPECT_EQ(view.StatusText(), "STAND 2/2 (paused)");
  press(view, {});
  press(view, {kKeySpace});
  EXPECT_EQ(view.StatusText(), "STAND 2/2");
  press(view, {0x0A});  // "9": no ninth set
  EXPECT_EQ(view.StatusText(), "STAND 2/2");

  EXPECT_EQ(loadDrawableModel(MV_RUN_DIR "/model/none.mdl"), nullptr);
}

}  // namespace
