#include "platform/keyboard_state.h"

#include <X11/Xlib.h>

#include <cstring>

uint8_t ScanCodeOfKeycode(unsigned keycode) {
  if (keycode < 8) return 0;
  unsigned evdev = keycode - 8;
  if (evdev >= 1 && evdev <= 0x58) return static_cast<uint8_t>(evdev);  // the main block
  switch (evdev) {
    case 96: return 0x9C;   // keypad enter
    case 97: return 0x9D;   // right control
    case 98: return 0xB5;   // keypad divide
    case 100: return 0xB8;  // right alt
    case 102: return 0xC7;  // home
    case 103: return 0xC8;  // up
    case 104: return 0xC9;  // page up
    case 105: return 0xCB;  // left
    case 106: return 0xCD;  // right
    case 107: return 0xCF;  // end
    case 108: return 0xD0;  // down
    case 109: return 0xD1;  // page down
    case 110: return 0xD2;  // insert
    case 111: return 0xD3;  // delete
    default: return 0;
  }
}

void ScanCodeStateFromKeymap(const char keymap[32], uint8_t state[256]) {
  std::memset(state, 0, 256);
  for (unsigned keycode = 0; keycode < 256; ++keycode) {
    if (keymap[keycode / 8] & (1 << (keycode % 8))) {
      uint8_t code = ScanCodeOfKeycode(keycode);
      if (code != 0) state[code] = 0x80;
    }
  }
}

KeyboardPoller::~KeyboardPoller() {
  if (display_ != nullptr) XCloseDisplay(display_);
}

bool KeyboardPoller::open(const std::string& displayName, XWindow window) {
  display_ = XOpenDisplay(displayName.c_str());
  window_ = window;
  return display_ != nullptr;
}

// The window, or one of its children, has the input focus; with focus following the pointer,
// the pointer is over it.
bool KeyboardPoller::foreground() {
  XWindow focus = 0;
  int revert = 0;
  XGetInputFocus(display_, &focus, &revert);
  if (focus == PointerRoot) {
    XWindow root, child;
    int rx, ry, wx, wy;
    unsigned mask;
    XWindowAttributes attributes;
    return XQueryPointer(display_, window_, &root, &child, &rx, &ry, &wx, &wy, &mask) &&
           XGetWindowAttributes(display_, window_, &attributes) && wx >= 0 && wy >= 0 && wx < attributes.width &&
           wy < attributes.height;
  }
  for (XWindow w = focus; w != 0 && w != None;) {
    if (w == window_) return true;
    XWindow root = 0, parent = 0, *children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(display_, w, &root, &parent, &children, &count)) break;
    if (children) XFree(children);
    if (parent == root) break;
    w = parent;
  }
  return false;
}

bool KeyboardPoller::read(uint8_t state[256]) {
  if (display_ == nullptr || !acquired_) return false;
  if (!foreground()) {
    acquired_ = false;
    return false;
  }
  char keymap[32];
  XQueryKeymap(display_, keymap);
  ScanCodeStateFromKeymap(keymap, state);
  return true;
}

bool KeyboardPoller::acquire() {
  acquired_ = display_ != nullptr && foreground();
  return acquired_;
}
