#include "app/input_thread.h"

#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/keyboard_state.h"
#include "render/frame_thread.h"
#include "scene/scene.h"

bool PollKeyboardOnce(Scene& scene, KeyboardDevice* keyboard) {
  if (keyboard == nullptr) return false;  // no device: nothing to poll
  uint8_t state[256];
  std::memset(state, 0, sizeof state);
  if (keyboard->read(state)) {
    scene.DispatchKeyboard(state);
    return true;
  }
  keyboard->acquire();
  keyboard->read(state);  // ignored: this poll dispatches nothing
  return false;
}

int InputThread(DisplayView& view, KeyboardDevice* keyboard) {
  while (view.stopFlag.load() == 0) {
    {
      // The frame thread may swap the Scene's lists between frames.
      std::lock_guard<std::mutex> lock(view.sceneMutex);
      PollKeyboardOnce(*view.scene, keyboard);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(16));
  }
  return 1;
}
