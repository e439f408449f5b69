// The input thread: every 16 ms it reads the 256-byte keyboard state and hands it to the model
// view while it shows a model, else to the Scene, which passes it to every character. A failed read (the keyboard not acquired, or the
// window not in the foreground) is answered by one acquire and one re-read, and nothing is
// dispatched in that poll.
#pragma once

#include <cstdint>

class KeyboardDevice;
struct DisplayView;

// One poll. Returns true when a state was dispatched.
bool PollKeyboardOnce(DisplayView& view, KeyboardDevice* keyboard);

// The thread body: polls while `view.stopFlag` is 0; without a keyboard it only waits. Returns 1.
int InputThread(DisplayView& view, KeyboardDevice* keyboard);
