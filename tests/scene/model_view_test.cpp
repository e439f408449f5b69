// The model view's controls on the generated skeleton: the orbit, zoom and pan limits, the
// camera that Update hands on, and the number keys, space and Home through OnKeyboard.
#include "scene/model_view.h"

#include <gtest/gtest.h>

#include "scene/camera.h"

namespace {

constexpr uint8_t kKey2 = 0x03, kKeySpace = 0x39, kKeyHome = 0xC7;

void press(ModelView& view, std::initializer_list<uint8_t> codes) {
  uint8_t keys[kKeyboardStateSize] = {};
  for (uint8_t c : codes) keys[c] = 0x80;
  view.OnKeyboard(keys);
  view.Update();
}

TEST(ModelViewControls, OrbitZoomPanHomeAndAnimationKeys) {
  Camera camera;
  ModelView view(&camera);
  view.SetViewport(640, 480);
  ASSERT_TRUE(view.Load(MV_RUN_DIR "/model/skelton.mdl",
                        {MV_RUN_DIR "/model/walk.ani", MV_RUN_DIR "/model/stand.ani"}, {}));
  EXPECT_EQ(view.animationCount(), 2);
  EXPECT_EQ(view.StatusText(), "WALK 1/2");

  const OrbitCamera home = view.orbitNow();
  view.Update();
  float eye[3];
  home.eye(eye);
  for (int i = 0; i < 3; ++i) EXPECT_FLOAT_EQ(camera.sceneViewEye[i], eye[i]);
  EXPECT_GT(home.pitch, 0) << "a view from above";

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

  press(view, {kKey2});
  EXPECT_EQ(view.StatusText(), "STAND 2/2");
  press(view, {kKey2, kKeySpace});
  EXPECT_EQ(view.StatusText(), "STAND 2/2 (paused)");
  press(view, {kKey2, kKeySpace});  // still held: no second toggle
  EXPECT_EQ(view.StatusText(), "STAND 2/2 (paused)");
  press(view, {});
  press(view, {kKeySpace});
  EXPECT_EQ(view.StatusText(), "STAND 2/2");
  press(view, {0x0A});  // "9": no ninth set
  EXPECT_EQ(view.StatusText(), "STAND 2/2");

  ModelView missing(&camera);
  EXPECT_FALSE(missing.Load(MV_RUN_DIR "/model/none.mdl", {}, {}));
}

}  // namespace
