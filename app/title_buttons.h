// The three title-bar buttons: child windows that paint a normal or a pressed PNG image over a
// black square and act when the left button is released on them.
#pragma once

#include <cstdint>
#include <string>

#include "platform/x11_windows.h"

typedef struct _cairo_surface cairo_surface_t;

class CCustomButton {
 public:
  virtual ~CCustomButton();
  // Creates the button's child window at (x, y) in `parent` and shows it.
  bool Create(WindowSystem& windows, int32_t x, int32_t y, int32_t width, int32_t height, XWindow parent);
  // Loads both images; a missing or unreadable file draws nothing (only the black square).
  bool LoadImages(const std::string& normalPath, const std::string& pressedPath);
  virtual bool OnClick() = 0;

  // The button window procedure's work for one message.
  void HandleMessage(WindowMessage message);
  void Paint();

  WindowSystem* windows = nullptr;
  XWindow buttonWindow = 0;
  int32_t x = 0, y = 0;
  int32_t imageX = 0, imageY = 0;
  int32_t width = 0, height = 0;
  int32_t backA = 255, backR = 0, backG = 0, backB = 0;
  uint8_t pressed = 0;
  cairo_surface_t* normalImage = nullptr;
  cairo_surface_t* pressedImage = nullptr;
};

// Writes config.ini in the start folder and ends the program with exit status 1.
class CButtonClose : public CCustomButton {
 public:
  bool OnClick() override;
};

// Maximizes the main window, or restores it when it is maximized.
class CButtonMaximize : public CCustomButton {
 public:
  bool OnClick() override;
};

// Minimizes the main window; the maximized flag is kept.
class CButtonMinimize : public CCustomButton {
 public:
  bool OnClick() override;
};

// The close action, shared by the close button and a close request from the window manager.
void CloseViewer();
