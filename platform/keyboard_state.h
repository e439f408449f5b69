// The keyboard as a 256-byte state indexed by scan code (0xC8 up, 0xCB left, 0xCD right,
// 0xD0 down, ...), a key being down when its byte has the high bit set, read by polling
// XQueryKeymap on a connection of the polling thread's own.
#pragma once

#include <cstdint>
#include <string>

typedef struct _XDisplay Display;
using XWindow = unsigned long;

// The scan code of an X key code, 0 for keys without one. X key codes on Linux are evdev codes
// plus 8, and evdev codes of the main block are the scan codes themselves.
uint8_t ScanCodeOfKeycode(unsigned keycode);

// Fills `state` (256 bytes) from XQueryKeymap's 32-byte bit vector.
void ScanCodeStateFromKeymap(const char keymap[32], uint8_t state[256]);

// What the input thread polls: a 256-byte state that can be read once acquired.
class KeyboardDevice {
 public:
  virtual ~KeyboardDevice() = default;
  virtual bool read(uint8_t state[256]) = 0;
  virtual bool acquire() = 0;
};

class KeyboardPoller : public KeyboardDevice {
 public:
  KeyboardPoller() = default;
  ~KeyboardPoller() override;
  KeyboardPoller(const KeyboardPoller&) = delete;
  KeyboardPoller& operator=(const KeyboardPoller&) = delete;

  // Opens a connection to `displayName` for the window `window`. False when that fails; the
  // poller then has no device.
  bool open(const std::string& displayName, XWindow window);
  bool hasDevice() const { return display_ != nullptr; }

  // Reads the state. Fails when the keyboard is not acquired, or not in the foreground (the
  // window does not have the input focus), which also loses the acquisition.
  bool read(uint8_t state[256]) override;
  // Acquires the keyboard when the window is in the foreground.
  bool acquire() override;

 private:
  bool foreground();

  Display* display_ = nullptr;
  XWindow window_ = 0;
  bool acquired_ = false;
};
