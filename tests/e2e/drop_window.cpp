// A window that takes drops of models and animations, for the drag-and-drop test: prints
// "window ID" once it is shown, then "dropped PATH" for each file of each drop, in order.
// Files of other types are refused while they are dragged.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/x11_windows.h"

namespace {

bool isModelOrAnimation(const std::string& path) {
  for (const std::string ext : {".mdl", ".dae", ".ani"}) {
    if (path.size() > ext.size() && path.compare(path.size() - ext.size(), ext.size(), ext) == 0) return true;
  }
  return false;
}

}  // namespace

int main() {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  WindowSystem windows;
  std::string error;
  if (!windows.open(&error)) {
    std::fprintf(stderr, "drop_window: %s\n", error.c_str());
    return 1;
  }
  windows.registerClass("DropWindow", [&](XWindow, WindowMessage message, const MessageArgs&) {
    if (message == WindowMessage::CloseRequest) windows.postQuit(0);
  });
  const XWindow window = windows.createWindow("DropWindow", "DropWindow", 0, 200, 150, 400, 300);
  DropHandler handler;
  handler.accepts = [](const std::vector<std::string>& paths) {
    return std::all_of(paths.begin(), paths.end(), isModelOrAnimation);
  };
  handler.dropped = [](std::vector<std::string> paths) {
    for (const std::string& path : paths) std::printf("dropped %s\n", path.c_str());
  };
  windows.acceptDrops(window, std::move(handler));
  windows.show(window);
  std::printf("window 0x%lx\n", window);
  return windows.run();
}
