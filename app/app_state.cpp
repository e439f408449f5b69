#include "app/app_state.h"

AppState*& appStateHandle() {
  static AppState* handle = nullptr;
  return handle;
}

void InitializeAppState(AppState& state, const ChosenMonitor& monitor, int32_t logicalDpiX) {
  std::error_code ec;
  state.startDirectory = std::filesystem::current_path(ec);
  MainWindowLayout layout = computeMainWindowLayout(monitor.area, logicalDpiX);
  state.dpiScale = layout.dpiScale;
  state.screenX = monitor.area.x;
  state.screenY = monitor.area.y;
  state.screenWidth = monitor.area.width;
  state.screenHeight = monitor.area.height;
  state.monitorIndex = monitor.index;
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
  ReadConfig(state.config, state.configFolder);
  const ViewerConfig& c = state.config;
  state.backColor = {c.bkColorA, c.bkColorR, c.bkColorG, c.bkColorB};
  state.barColor = {c.barColorA, c.barColorR, c.barColorG, c.barColorB};
}
