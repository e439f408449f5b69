// Windows on Xlib in the shape the application shell expects of its platform: window classes
// bound to window procedures, per-window user data, a message loop that turns X events into
// size-change, paint, mouse and close messages, synchronous "invalidate and update", mouse
// capture, borderless top-level windows, a colour key through the Shape extension, and the
// maximize, minimize and restore show commands with or without a window manager.
//
// Only the thread that opened the WindowSystem uses its connection; other threads hand work to
// it with post(), which is thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/drop_handler.h"

class XdndTarget;
typedef struct _XDisplay Display;
using XWindow = unsigned long;

// Resized: a window manager gave a restored top-level window a new size of its own accord
// (a drag on its edge, a tiling layout); width and height hold it.
enum class WindowMessage { Paint, Size, Resized, MouseMove, LeftDown, LeftUp, MiddleDown, MiddleUp, Wheel, CloseRequest };

// Size types of the Size message.
inline constexpr int kSizeRestored = 0;
inline constexpr int kSizeMinimized = 1;
inline constexpr int kSizeMaximized = 2;

struct MessageArgs {
  int x = 0, y = 0;    // mouse position in client coordinates
  int rootX = 0, rootY = 0;  // the same on the screen
  int sizeType = 0;    // Size: restored, minimized or maximized
  int width = 0, height = 0;  // Size, Resized: the new client size
  int wheel = 0;        // Wheel: +1 a notch away from the user, -1 towards
  bool shift = false;   // LeftDown, MiddleDown: a shift key was held
};

using WindowProcedure = std::function<void(XWindow, WindowMessage, const MessageArgs&)>;

class WindowSystem {
 public:
  WindowSystem();
  ~WindowSystem();
  WindowSystem(const WindowSystem&) = delete;
  WindowSystem& operator=(const WindowSystem&) = delete;

  // Connects to the display named by DISPLAY. False, with `error` set, when there is none.
  bool open(std::string* error);
  Display* display() const { return display_; }
  const std::string& displayName() const { return displayName_; }

  int screenWidth() const;
  int screenHeight() const;
  // The screen's monitors from RandR 1.5, in the server's order (the order Xinerama numbers
  // them in); empty when RandR is missing, older or reports none.
  struct Monitor {
    int x = 0, y = 0, width = 0, height = 0;
    bool primary = false;
  };
  std::vector<Monitor> monitors() const;
  // Horizontal logical pixels per inch: the X resource Xft.dpi when set, else 96.
  int logicalDpiX() const;
  // Whether a window manager that understands maximize requests is running: asked when the
  // connection opens and again by each show command, not on every event.
  bool hasWindowManager() const { return windowManager_; }

  void registerClass(const std::string& name, WindowProcedure procedure);

  // A top-level window with no decorations (parent 0) or a child window. Not yet shown.
  XWindow createWindow(const std::string& className, const std::string& caption, XWindow parent, int x, int y,
                       int width, int height);
  void setUserData(XWindow window, void* data);
  void* userData(XWindow window) const;

  void show(XWindow window);
  void move(XWindow window, int x, int y);
  void moveResize(XWindow window, int x, int y, int width, int height);
  void raise(XWindow window);
  // Paints the window at once: its procedure receives a Paint message.
  void invalidateAndUpdate(XWindow window);
  // Mouse capture: every mouse message goes to `window` until released.
  void capture(XWindow window);
  void releaseCapture();
  // Screen position of a window's client point.
  void clientToScreen(XWindow window, int x, int y, int& sx, int& sy) const;

  // Show commands. Under a window manager they are requests, and the resulting Size message
  // arrives with the window manager's answer; without one, maximize and restore resize the
  // window themselves and deliver the Size message directly. Maximize covers the monitor
  // (x, y, width, height), number `monitorIndex` of monitors() or -1 for the whole screen:
  // under a window manager it asks for the full-screen state, which no panel's strut shrinks.
  void maximize(XWindow window, int x, int y, int width, int height, int monitorIndex);
  void restore(XWindow window, int x, int y, int width, int height);
  void minimize(XWindow window);

  // Makes the pixels where `holes` is true (width x height, row-major) transparent.
  void setShapeHoles(XWindow window, int width, int height, const std::vector<bool>& holes);

  // Lets files be dropped on the top-level `window` from file managers (XDND version 5,
  // "text/uri-list", copy action): `handler` decides from the file list whether a drag is
  // taken and receives the files of each drop. A second call replaces the handler.
  void acceptDrops(XWindow window, DropHandler handler);

  // Runs the message loop until postQuit; returns its exit code.
  int run();
  void postQuit(int exitCode);
  // Runs `work` on the message-loop thread; callable from any thread.
  void post(std::function<void()> work);

 private:
  struct WindowRecord {
    std::string className;
    void* userData = nullptr;
    XWindow parent = 0;
    int width = 0, height = 0;
    int sizeType = kSizeRestored;
    // maximize() asked the window manager for full screen and the state has not come yet: the
    // sizes it sends meanwhile belong to the new state, not to the restored window.
    bool maximizePending = false;
  };

  void dispatch(XWindow window, WindowMessage message, const MessageArgs& args);
  void handleEvent(void* event);
  void sendStateRequest(XWindow window, bool add, const char* first, const char* second);
  void sendFullscreenMonitor(XWindow window, int monitorIndex);
  bool queryWindowManager() const;
  int currentSizeType(XWindow window) const;
  void noteSizeType(XWindow window, int type);
  void pointerMessage(XWindow eventWindow, WindowMessage message, int rootX, int rootY);
  void drainPosts();

  Display* display_ = nullptr;
  std::string displayName_;
  std::map<std::string, WindowProcedure> classes_;
  std::map<XWindow, WindowRecord> windows_;
  XWindow captured_ = 0;
  bool windowManager_ = false;
  bool quit_ = false;
  int exitCode_ = 0;
  int wakePipe_[2] = {-1, -1};
  std::mutex postMutex_;
  std::vector<std::function<void()>> posted_;
  std::unique_ptr<XdndTarget> xdnd_;
  unsigned long wmDeleteWindow_ = 0, wmProtocols_ = 0, netWmState_ = 0, netWmStateMaxVert_ = 0,
                netWmStateMaxHorz_ = 0, netWmStateFullscreen_ = 0, netWmStateHidden_ = 0,
                netWmFullscreenMonitors_ = 0, motifHints_ = 0;
};
