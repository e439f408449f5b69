#include "app/app_state.h"

#include "app/window_layout.h"

AppState*& appStateHandle() {
  static AppState* handle = nullptr;
  return handle;
}

void InitializeAppState(AppState& state, int32_t screenWidth, int32_t screenHeight, int32_t logicalDpiX) {
  std::error_code ec;
  state.startDirectory = std::filesystem::current_path(ec);
  MainWindowLayout layout = computeMainWindowLayout(screenWidth, screenHeight, logicalDpiX);
  state.dpiScale = layout.dpiScale;
  state.screenWidth = screenWidth;
  state.screenHeight = screenHeight;
  state.borderWidth = kBorderWidth;
  state.borderHeight = kBorderHeight;
  state.mainWidth = layout.mainWidth;
  state.mainHeight = layout.mainHeight;
  state.barHeight = layout.barHeight;
  state.mainX = layout.mainX;
  state.mainY = layout.mainY;
  state.dragging = state.pressInBar = state.maximized = 0;
  state.lastMouseX = state.lastMouseY = 0;
  state.config = ViewerConfig{};
  ReadConfig(state.config);
  const ViewerConfig& c = state.config;
  state.backColor = {c.bkColorA, c.bkColorR, c.bkColorG, c.bkColorB};
  state.barColor = {c.barColorA, c.barColorR, c.barColorG, c.barColorB};
}
