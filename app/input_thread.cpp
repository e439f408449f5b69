#include "app/input_thread.h"

#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/keyboard_state.h"
#include "render/frame_thread.h"
#include "render/model_stage.h"
#include "scene/model_view.h"
#include "scene/scene.h"

bool PollKeyboardOnce(DisplayView& view, KeyboardDevice* keyboard) {
  if (keyboard == nullptr) return false;  // no device: nothing to poll
  uint8_t state[256];
  std::memset(state, 0, sizeof state);
  if (keyboard->read(state)) {
    // The keys go to the model view while it shows a model, else to the Scene's characters.
    if (std::shared_ptr<ModelView> shown = view.modelStage != nullptr ? view.modelStage->shown() : nullptr) {
      shown->OnKeyboard(state);
      if (view.afterModelKeys) view.afterModelKeys(state);
    } else {
      view.scene->DispatchKeyboard(state);
    }
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
      PollKeyboardOnce(view, keyboard);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(16));
  }
  return 1;
}
