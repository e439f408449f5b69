// AppState: the one application record of the desktop program: screen metrics, the main
// window's geometry and drag state, the frame colours, the configuration, the display view,
// the sound mixer and the three title-bar buttons.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <memory>

#include "app/viewer_config.h"
#include "app/window_layout.h"
#include "platform/x11_windows.h"

typedef struct _cairo_surface cairo_surface_t;
class CCustomButton;
class SoundMixer;
struct DisplayView;

struct ColorArgb {
  int32_t a = 0, r = 0, g = 0, b = 0;
};

struct AppState {
  WindowSystem* windows = nullptr;
  XWindow mainWindow = 0;
  XWindow displayWindow = 0;
  std::filesystem::path startDirectory;
  std::filesystem::path configFolder;  // where config.ini is read and written; empty: startDirectory
  // The primary monitor: its size drives the layout, its origin places the window.
  int32_t screenX = 0, screenY = 0;
  int32_t screenWidth = 0, screenHeight = 0;
  int monitorIndex = -1;  // its place in the X server's monitor list; -1: the whole screen
  int32_t borderWidth = 8, borderHeight = 8;
  int32_t mainWidth = 0, mainHeight = 0;
  int32_t mainX = 0, mainY = 0;
  int32_t barHeight = 0;
  ColorArgb backColor, barColor;
  uint8_t dragging = 0, pressInBar = 0, maximized = 0;
  int32_t lastMouseX = 0, lastMouseY = 0;
  float dpiScale = 1.0f;
  cairo_surface_t* backBitmap = nullptr;  // screen-sized; the frame is painted here first
  ViewerConfig config;
  DisplayView* displayView = nullptr;
  SoundMixer* soundMixer = nullptr;
  CCustomButton* closeButton = nullptr;
  CCustomButton* minimizeButton = nullptr;
  CCustomButton* maximizeButton = nullptr;
  int32_t colorKey[3] = {255, 255, 255};
  bool shapeHoles = false;  // the main window currently has colour-key holes
  // More for the bar after the frame-rate text (the model view's animation), from any thread.
  std::function<std::string()> barExtraText;
  // Called by the close action once config.ini is written: ends the message loop.
  int exitCode = 1;
};

// The process-wide handle through which the button actions reach the AppState.
AppState*& appStateHandle();

// The record's computed values and configuration: metrics from the primary monitor, geometry,
// defaults and config.ini from `configFolder` (set before), the two frame colours.
void InitializeAppState(AppState& state, const ChosenMonitor& monitor, int32_t logicalDpiX);
