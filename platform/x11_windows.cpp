#include "platform/x11_windows.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xresource.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>
#include <X11/extensions/shape.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

#include "platform/xdnd_target.h"

WindowSystem::WindowSystem() = default;

WindowSystem::~WindowSystem() {
  if (display_ != nullptr) XCloseDisplay(display_);
  for (int fd : wakePipe_) {
    if (fd >= 0) close(fd);
  }
}

bool WindowSystem::open(std::string* error) {
  display_ = XOpenDisplay(nullptr);
  if (display_ == nullptr) {
    const char* name = std::getenv("DISPLAY");
    if (error) *error = std::string("cannot open the X display ") + (name ? name : "(DISPLAY is not set)");
    return false;
  }
  displayName_ = DisplayString(display_);
  if (pipe2(wakePipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
    if (error) *error = "cannot create the message-loop wake pipe";
    return false;
  }
  wmDeleteWindow_ = XInternAtom(display_, "WM_DELETE_WINDOW", False);
  wmProtocols_ = XInternAtom(display_, "WM_PROTOCOLS", False);
  netWmState_ = XInternAtom(display_, "_NET_WM_STATE", False);
  netWmStateMaxVert_ = XInternAtom(display_, "_NET_WM_STATE_MAXIMIZED_VERT", False);
  netWmStateMaxHorz_ = XInternAtom(display_, "_NET_WM_STATE_MAXIMIZED_HORZ", False);
  netWmStateFullscreen_ = XInternAtom(display_, "_NET_WM_STATE_FULLSCREEN", False);
  netWmStateHidden_ = XInternAtom(display_, "_NET_WM_STATE_HIDDEN", False);
  netWmFullscreenMonitors_ = XInternAtom(display_, "_NET_WM_FULLSCREEN_MONITORS", False);
  motifHints_ = XInternAtom(display_, "_MOTIF_WM_HINTS", False);
  windowManager_ = queryWindowManager();
  return true;
}

int WindowSystem::screenWidth() const { return DisplayWidth(display_, DefaultScreen(display_)); }
int WindowSystem::screenHeight() const { return DisplayHeight(display_, DefaultScreen(display_)); }

std::vector<WindowSystem::Monitor> WindowSystem::monitors() const {
  std::vector<Monitor> out;
  int eventBase = 0, errorBase = 0, major = 0, minor = 0;
  if (!XRRQueryExtension(display_, &eventBase, &errorBase) || !XRRQueryVersion(display_, &major, &minor) ||
      major < 1 || (major == 1 && minor < 5)) {
    return out;
  }
  int count = 0;
  XRRMonitorInfo* list = XRRGetMonitors(display_, DefaultRootWindow(display_), True, &count);
  for (int i = 0; i < count; ++i) {
    out.push_back({list[i].x, list[i].y, list[i].width, list[i].height, list[i].primary != 0});
  }
  if (list) XRRFreeMonitors(list);
  return out;
}

int WindowSystem::logicalDpiX() const {
  int dpi = 96;
  if (char* resources = XResourceManagerString(display_)) {
    XrmInitialize();
    XrmDatabase db = XrmGetStringDatabase(resources);
    char* type = nullptr;
    XrmValue value;
    if (db && XrmGetResource(db, "Xft.dpi", "Xft.Dpi", &type, &value) && value.addr) {
      int parsed = std::atoi(value.addr);
      if (parsed > 0) dpi = parsed;
    }
    if (db) XrmDestroyDatabase(db);
  }
  return dpi;
}

bool WindowSystem::queryWindowManager() const {
  Atom check = XInternAtom(display_, "_NET_SUPPORTING_WM_CHECK", True);
  if (check == None) return false;
  Atom type;
  int format;
  unsigned long count, after;
  unsigned char* data = nullptr;
  bool found = XGetWindowProperty(display_, DefaultRootWindow(display_), check, 0, 1, False, XA_WINDOW, &type,
                                  &format, &count, &after, &data) == Success &&
               count == 1;
  if (data) XFree(data);
  return found;
}

void WindowSystem::registerClass(const std::string& name, WindowProcedure procedure) {
  classes_.emplace(name, std::move(procedure));  // a second registration changes nothing
}

XWindow WindowSystem::createWindow(const std::string& className, const std::string& caption, XWindow parent, int x,
                                   int y, int width, int height) {
  bool topLevel = parent == 0;
  XWindow root = DefaultRootWindow(display_);
  XSetWindowAttributes attributes{};
  attributes.background_pixmap = None;  // everything is painted by the window procedures
  attributes.bit_gravity = NorthWestGravity;
  attributes.event_mask = ExposureMask | StructureNotifyMask | ButtonPressMask | ButtonReleaseMask |
                          PointerMotionMask | (topLevel ? PropertyChangeMask : 0);
  XWindow window = XCreateWindow(display_, topLevel ? root : parent, x, y, static_cast<unsigned>(std::max(width, 1)),
                                 static_cast<unsigned>(std::max(height, 1)), 0, CopyFromParent, InputOutput,
                                 CopyFromParent, CWBackPixmap | CWBitGravity | CWEventMask, &attributes);
  if (topLevel) {
    XStoreName(display_, window, caption.c_str());
    Atom utf8 = XInternAtom(display_, "UTF8_STRING", False);
    XChangeProperty(display_, window, XInternAtom(display_, "_NET_WM_NAME", False), utf8, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(caption.data()), static_cast<int>(caption.size()));
    XClassHint hint{const_cast<char*>("modelviewer"), const_cast<char*>(className.c_str())};
    XSetClassHint(display_, window, &hint);
    Atom protocols[] = {static_cast<Atom>(wmDeleteWindow_)};
    XSetWMProtocols(display_, window, protocols, 1);
    // No decorations: the window draws its own title bar.
    long hints[5] = {2 /* decorations field present */, 0, 0 /* no decorations */, 0, 0};
    XChangeProperty(display_, window, motifHints_, motifHints_, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(hints), 5);
    XSizeHints size{};
    size.flags = USPosition | USSize;
    size.x = x;
    size.y = y;
    size.width = width;
    size.height = height;
    XSetWMNormalHints(display_, window, &size);
    XWMHints wm{};
    wm.flags = InputHint | StateHint;
    wm.input = True;
    wm.initial_state = NormalState;
    XSetWMHints(display_, window, &wm);
  }
  WindowRecord record;
  record.className = className;
  record.parent = parent;
  record.width = width;
  record.height = height;
  windows_[window] = record;
  // Other connections (the frame thread's surface, the keyboard poller) may use it at once.
  XSync(display_, False);
  return window;
}

void WindowSystem::setUserData(XWindow window, void* data) { windows_[window].userData = data; }

void* WindowSystem::userData(XWindow window) const {
  auto it = windows_.find(window);
  return it == windows_.end() ? nullptr : it->second.userData;
}

void WindowSystem::show(XWindow window) {
  XMapWindow(display_, window);
  XFlush(display_);
}

void WindowSystem::move(XWindow window, int x, int y) {
  XMoveWindow(display_, window, x, y);
  XFlush(display_);
}

void WindowSystem::moveResize(XWindow window, int x, int y, int width, int height) {
  XMoveResizeWindow(display_, window, x, y, static_cast<unsigned>(std::max(width, 1)),
                    static_cast<unsigned>(std::max(height, 1)));
  XFlush(display_);
}

void WindowSystem::raise(XWindow window) { XRaiseWindow(display_, window); }

void WindowSystem::invalidateAndUpdate(XWindow window) { dispatch(window, WindowMessage::Paint, {}); }

void WindowSystem::capture(XWindow window) {
  XGrabPointer(display_, window, False, ButtonPressMask | ButtonReleaseMask | PointerMotionMask, GrabModeAsync,
               GrabModeAsync, None, None, CurrentTime);
  captured_ = window;
}

void WindowSystem::releaseCapture() {
  XUngrabPointer(display_, CurrentTime);
  XFlush(display_);
  captured_ = 0;
}

void WindowSystem::clientToScreen(XWindow window, int x, int y, int& sx, int& sy) const {
  XWindow child;
  if (!XTranslateCoordinates(display_, window, DefaultRootWindow(display_), x, y, &sx, &sy, &child)) {
    sx = x;
    sy = y;
  }
}

void WindowSystem::sendStateRequest(XWindow window, bool add, const char* first, const char* second) {
  XEvent e{};
  e.xclient.type = ClientMessage;
  e.xclient.window = window;
  e.xclient.message_type = netWmState_;
  e.xclient.format = 32;
  e.xclient.data.l[0] = add ? 1 : 0;
  e.xclient.data.l[1] = static_cast<long>(XInternAtom(display_, first, False));
  e.xclient.data.l[2] = second ? static_cast<long>(XInternAtom(display_, second, False)) : 0;
  e.xclient.data.l[3] = 1;
  XSendEvent(display_, DefaultRootWindow(display_), False, SubstructureRedirectMask | SubstructureNotifyMask, &e);
  XFlush(display_);
}

// Which monitor a full-screen window covers, where the window manager supports choosing it;
// others ignore the message and use the monitor the window is on. The index is the
// Xinerama number, which RandR 1.5 servers give in the order XRRGetMonitors lists them.
void WindowSystem::sendFullscreenMonitor(XWindow window, int monitorIndex) {
  XEvent e{};
  e.xclient.type = ClientMessage;
  e.xclient.window = window;
  e.xclient.message_type = netWmFullscreenMonitors_;
  e.xclient.format = 32;
  for (int edge = 0; edge < 4; ++edge) e.xclient.data.l[edge] = monitorIndex;  // top, bottom, left, right
  e.xclient.data.l[4] = 1;  // from a normal application
  XSendEvent(display_, DefaultRootWindow(display_), False, SubstructureRedirectMask | SubstructureNotifyMask, &e);
}

void WindowSystem::maximize(XWindow window, int x, int y, int width, int height, int monitorIndex) {
  windowManager_ = queryWindowManager();  // one may have started or ended since
  if (hasWindowManager()) {
    // Full screen, not maximized: a maximized window is kept out of panels, but the layout
    // fills the whole monitor.
    if (monitorIndex >= 0) sendFullscreenMonitor(window, monitorIndex);
    sendStateRequest(window, true, "_NET_WM_STATE_FULLSCREEN", nullptr);
    windows_[window].maximizePending = true;
    return;
  }
  windows_[window].sizeType = kSizeMaximized;
  moveResize(window, x, y, width, height);
  dispatch(window, WindowMessage::Size, {0, 0, 0, 0, kSizeMaximized, width, height});
}

void WindowSystem::restore(XWindow window, int x, int y, int width, int height) {
  windowManager_ = queryWindowManager();  // one may have started or ended since
  WindowRecord& record = windows_[window];
  if (hasWindowManager()) {
    if (record.sizeType == kSizeMinimized) {
      XMapRaised(display_, window);
      XFlush(display_);
    } else {
      // Whichever the window is in: full screen from maximize(), or maximized by the window
      // manager's own command.
      sendStateRequest(window, false, "_NET_WM_STATE_FULLSCREEN", nullptr);
      sendStateRequest(window, false, "_NET_WM_STATE_MAXIMIZED_VERT", "_NET_WM_STATE_MAXIMIZED_HORZ");
    }
    return;
  }
  record.sizeType = kSizeRestored;
  if (!XMapWindow(display_, window)) return;
  dispatch(window, WindowMessage::Size, {0, 0, 0, 0, kSizeRestored, width, height});
  (void)x;
  (void)y;
}

void WindowSystem::minimize(XWindow window) {
  windowManager_ = queryWindowManager();  // one may have started or ended since
  if (hasWindowManager()) {
    XIconifyWindow(display_, window, DefaultScreen(display_));
    XFlush(display_);
    return;
  }
  // Without a window manager there is no icon to go to: the window is hidden.
  windows_[window].sizeType = kSizeMinimized;
  XUnmapWindow(display_, window);
  XFlush(display_);
}

void WindowSystem::setShapeHoles(XWindow window, int width, int height, const std::vector<bool>& holes) {
  bool any = false;
  for (bool h : holes) any = any || h;
  if (!any) {
    XShapeCombineMask(display_, window, ShapeBounding, 0, 0, None, ShapeSet);
    return;
  }
  int stride = (width + 7) / 8;
  std::vector<char> bits(static_cast<std::size_t>(stride) * height, 0);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      if (!holes[static_cast<std::size_t>(y) * width + x]) bits[static_cast<std::size_t>(y) * stride + x / 8] |= static_cast<char>(1 << (x % 8));
    }
  }
  Pixmap mask = XCreateBitmapFromData(display_, window, bits.data(), static_cast<unsigned>(width),
                                      static_cast<unsigned>(height));
  XShapeCombineMask(display_, window, ShapeBounding, 0, 0, mask, ShapeSet);
  XFreePixmap(display_, mask);
  XFlush(display_);
}

int WindowSystem::currentSizeType(XWindow window) const {
  Atom type;
  int format;
  unsigned long count, after;
  unsigned char* data = nullptr;
  bool vert = false, horz = false, fullscreen = false, hidden = false;
  if (XGetWindowProperty(display_, window, netWmState_, 0, 64, False, XA_ATOM, &type, &format, &count, &after,
                         &data) == Success &&
      data != nullptr) {
    auto* atoms = reinterpret_cast<Atom*>(data);
    for (unsigned long i = 0; i < count; ++i) {
      vert = vert || atoms[i] == netWmStateMaxVert_;
      horz = horz || atoms[i] == netWmStateMaxHorz_;
      fullscreen = fullscreen || atoms[i] == netWmStateFullscreen_;
      hidden = hidden || atoms[i] == netWmStateHidden_;
    }
  }
  if (data) XFree(data);
  if (hidden) return kSizeMinimized;
  return fullscreen || (vert && horz) ? kSizeMaximized : kSizeRestored;
}

// The window manager changed the window's state: a Size message, as a show command gives.
void WindowSystem::noteSizeType(XWindow window, int type) {
  WindowRecord& record = windows_[window];
  if (type == record.sizeType || !hasWindowManager()) return;
  record.sizeType = type;
  record.maximizePending = false;
  dispatch(window, WindowMessage::Size, {0, 0, 0, 0, type, record.width, record.height});
}

// Mouse messages go to the capturing window, or else to the window under the pointer: X
// reports a release to the window that saw the press, but a release over another window
// belongs to that one.
void WindowSystem::pointerMessage(XWindow eventWindow, WindowMessage message, int rootX, int rootY) {
  XWindow target = captured_;
  if (target == 0) {
    XWindow root = DefaultRootWindow(display_), at = root, child = 0;
    int x = 0, y = 0;
    while (XTranslateCoordinates(display_, root, at, rootX, rootY, &x, &y, &child) && child != 0) at = child;
    target = windows_.count(at) ? at : eventWindow;
  }
  int x = 0, y = 0;
  XWindow child = 0;
  XTranslateCoordinates(display_, DefaultRootWindow(display_), target, rootX, rootY, &x, &y, &child);
  dispatch(target, message, {x, y, rootX, rootY, 0, 0, 0});
}

void WindowSystem::dispatch(XWindow window, WindowMessage message, const MessageArgs& args) {
  auto record = windows_.find(window);
  if (record == windows_.end()) return;
  auto procedure = classes_.find(record->second.className);
  if (procedure != classes_.end()) procedure->second(window, message, args);
}

void WindowSystem::acceptDrops(XWindow window, DropHandler handler) {
  if (!xdnd_) xdnd_ = std::make_unique<XdndTarget>(display_);
  xdnd_->acceptDrops(window, std::move(handler));
}

void WindowSystem::handleEvent(void* raw) {
  XEvent& e = *static_cast<XEvent*>(raw);
  if (xdnd_ && xdnd_->handleEvent(e)) return;
  XWindow window = e.xany.window;
  auto record = windows_.find(window);
  if (record == windows_.end()) return;
  bool topLevel = record->second.parent == 0;
  switch (e.type) {
    case Expose:
      if (e.xexpose.count == 0) dispatch(window, WindowMessage::Paint, {});
      break;
    case ButtonPress: {
      MessageArgs args{e.xbutton.x, e.xbutton.y, e.xbutton.x_root, e.xbutton.y_root, 0, 0, 0};
      args.shift = (e.xbutton.state & ShiftMask) != 0;
      if (e.xbutton.button == Button1) {
        dispatch(window, WindowMessage::LeftDown, args);
      } else if (e.xbutton.button == Button2) {
        dispatch(window, WindowMessage::MiddleDown, args);
      } else if (e.xbutton.button == Button4 || e.xbutton.button == Button5) {
        args.wheel = e.xbutton.button == Button4 ? 1 : -1;
        dispatch(window, WindowMessage::Wheel, args);
      }
      break;
    }
    case ButtonRelease:
      if (e.xbutton.button == Button1) {
        pointerMessage(window, WindowMessage::LeftUp, e.xbutton.x_root, e.xbutton.y_root);
      } else if (e.xbutton.button == Button2) {
        pointerMessage(window, WindowMessage::MiddleUp, e.xbutton.x_root, e.xbutton.y_root);
      }
      break;
    case MotionNotify: {
      // Only the latest position of a burst matters. Only motions queued right behind this one
      // are skipped: a search of the whole queue would take a later motion ahead of a button
      // press queued before it, and a drag begun by that press would miss its movement.
      XEvent next;
      while (XPending(display_) > 0 && (XPeekEvent(display_, &next), next.type == MotionNotify) &&
             next.xmotion.window == window) {
        XNextEvent(display_, &e);
      }
      pointerMessage(window, WindowMessage::MouseMove, e.xmotion.x_root, e.xmotion.y_root);
      break;
    }
    case ConfigureNotify: {
      WindowRecord& r = record->second;
      const bool resized = e.xconfigure.width != r.width || e.xconfigure.height != r.height;
      r.width = e.xconfigure.width;
      r.height = e.xconfigure.height;
      if (!topLevel) break;
      noteSizeType(window, currentSizeType(window));
      // A size the window manager chose for a restored window: the contents follow it.
      if (resized && hasWindowManager() && r.sizeType == kSizeRestored && !r.maximizePending) {
        dispatch(window, WindowMessage::Resized, {0, 0, 0, 0, kSizeRestored, r.width, r.height});
      }
      break;
    }
    case PropertyNotify:
      if (topLevel && e.xproperty.atom == netWmState_) noteSizeType(window, currentSizeType(window));
      break;
    case UnmapNotify:
      if (topLevel && hasWindowManager()) noteSizeType(window, kSizeMinimized);
      break;
    case MapNotify:
      if (topLevel && record->second.sizeType == kSizeMinimized) noteSizeType(window, currentSizeType(window));
      break;
    case ClientMessage:
      if (static_cast<unsigned long>(e.xclient.message_type) == wmProtocols_ &&
          static_cast<unsigned long>(e.xclient.data.l[0]) == wmDeleteWindow_) {
        dispatch(window, WindowMessage::CloseRequest, {});
      }
      break;
    default:
      break;
  }
}

void WindowSystem::drainPosts() {
  char buffer[64];
  while (read(wakePipe_[0], buffer, sizeof buffer) > 0) {
  }
  std::vector<std::function<void()>> work;
  {
    std::lock_guard<std::mutex> lock(postMutex_);
    work.swap(posted_);
  }
  for (auto& w : work) w();
}

void WindowSystem::post(std::function<void()> work) {
  {
    std::lock_guard<std::mutex> lock(postMutex_);
    posted_.push_back(std::move(work));
  }
  char byte = 1;
  ssize_t ignored = write(wakePipe_[1], &byte, 1);  // a full pipe already wakes the loop
  (void)ignored;
}

void WindowSystem::postQuit(int exitCode) {
  quit_ = true;
  exitCode_ = exitCode;
}

int WindowSystem::run() {
  XFlush(display_);
  while (!quit_) {
    while (!quit_ && XPending(display_) > 0) {
      XEvent e;
      XNextEvent(display_, &e);
      handleEvent(&e);
    }
    if (quit_) break;
    drainPosts();
    if (quit_) break;
    if (xdnd_) xdnd_->expire(std::chrono::steady_clock::now());
    XFlush(display_);
    if (XPending(display_) > 0) continue;
    pollfd fds[2] = {{ConnectionNumber(display_), POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
    poll(fds, 2, 100);
  }
  return exitCode_;
}
