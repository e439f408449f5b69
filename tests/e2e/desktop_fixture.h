// The fixture of the end-to-end tests: the real viewer in a copy of its run folder on a virtual X server (Xvfb, 1920 x 1080), with
// openbox as the window manager where a test needs one, driven with xdotool's real input
// events and inspected through the X server itself.
#pragma once

#include <gtest/gtest.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;


// The Vulkan driver and the font libraries keep allocations until the process ends; leaks are
// checked by the unit tests, every other sanitizer report still aborts the viewer.
inline constexpr char kViewerSanitizerOptions[] = "ASAN_OPTIONS=detect_leaks=0:abort_on_error=1";

inline pid_t spawn(const std::vector<std::string>& argv, const std::string& display, const fs::path& cwd,
            const fs::path& errFile = {}, const std::vector<std::string>& env = {}, const fs::path& outFile = {}) {
  pid_t pid = fork();
  if (pid == 0) {
    // Ends with the test, should the test end without stopping it (a crash): a server left
    // running would hold the test runner's output open.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    setenv("DISPLAY", display.c_str(), 1);
    for (const auto& e : env) putenv(strdup(e.c_str()));
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
    FILE* err = fopen(errFile.empty() ? "/dev/null" : errFile.c_str(), "w");
    if (err) dup2(fileno(err), 2);
    FILE* out = fopen(outFile.empty() ? "/dev/null" : outFile.c_str(), "w");
    if (out) dup2(fileno(out), 1);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  return pid;
}

// Every wait ends as soon as what it waits for happens; its limit only guards against a hang.
// A machine kept busy (both cores loaded, the renderer tests beside these) gets this many times
// the limit a test names, so that a slow moment is never taken for a fault.
inline constexpr int kPatience = 4;

// Waits for a child; -1 when it did not end in time.
inline int waitFor(pid_t pid, std::chrono::milliseconds limit) {
  auto end = std::chrono::steady_clock::now() + limit * kPatience;
  while (std::chrono::steady_clock::now() < end) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::this_thread::sleep_for(20ms);
  }
  return -1;
}

inline void stop(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  if (waitFor(pid, 3000ms) < 0) {
    kill(pid, SIGKILL);
    waitFor(pid, 3000ms);
  }
}

inline void xdotool(const std::string& display, const std::string& args) {
  std::string command = "DISPLAY=" + display + " xdotool " + args + " >/dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

inline bool retry(std::chrono::milliseconds limit, const std::function<bool()>& ok) {
  auto end = std::chrono::steady_clock::now() + limit * kPatience;
  while (std::chrono::steady_clock::now() < end) {
    if (ok()) return true;
    std::this_thread::sleep_for(50ms);
  }
  return ok();
}

struct Rect {
  int x = 0, y = 0, width = 0, height = 0;
};

struct Rgb {
  int r = 0, g = 0, b = 0;
  bool operator==(const Rgb& o) const { return r == o.r && g == o.g && b == o.b; }
};

// One virtual screen with an optional window manager, and the viewer in a run folder of its
// own (links to the built content, so that config.ini lands in a fresh folder).
class Desktop : public ::testing::Test {
 protected:
  enum class Content { Full, NoTiles, NoSkeleton };

  void SetUp() override {
    for (int n = 140 + (getpid() % 200); n < 400; ++n) {
      if (!fs::exists("/tmp/.X11-unix/X" + std::to_string(n)) && !fs::exists("/tmp/.X" + std::to_string(n) + "-lock")) {
        display_ = ":";  // built in two steps: gcc 12 warns falsely on "literal" + string
        display_ += std::to_string(n);
        break;
      }
    }
    xvfb_ = spawn({"Xvfb", display_, "-screen", "0", "1920x1080x24", "-nolisten", "tcp"}, display_, {});
    ASSERT_TRUE(retry(10s, [&] { return (x_ = XOpenDisplay(display_.c_str())) != nullptr; }))
        << "SKIPPED? Xvfb did not start on " << display_;
    // A window that vanishes (the viewer ended) fails the query that named it, not the test
    // process: Xlib's default handler would end it, leaving the server running.
    XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    folder_ = fs::temp_directory_path() /
              ("mv_e2e_" + std::to_string(getpid()) + "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder_);
    fs::create_directories(folder_);
  }

  void TearDown() override {
    stop(viewer_);
    stop(openbox_);
    if (x_) XCloseDisplay(x_);
    stop(xvfb_);
    if (!HasFailure()) fs::remove_all(folder_);
  }

  void startWindowManager() {
    openbox_ = spawn({"openbox", "--sm-disable"}, display_, {});
    Atom check = XInternAtom(x_, "_NET_SUPPORTING_WM_CHECK", False);
    ASSERT_TRUE(retry(10s, [&] {
      Atom type;
      int format;
      unsigned long count = 0, after;
      unsigned char* data = nullptr;
      XGetWindowProperty(x_, DefaultRootWindow(x_), check, 0, 1, False, XA_WINDOW, &type, &format, &count, &after, &data);
      if (data) XFree(data);
      return count == 1;
    })) << "openbox did not start";
  }

  void prepareFolder(Content content, const std::string& config = {}) {
    fs::path run = MV_RUN_DIR;
    fs::create_symlink(run / "shader", folder_ / "shader");
    fs::create_symlink(run / "pict", folder_ / "pict");
    if (content == Content::Full) {
      fs::create_symlink(run / "model", folder_ / "model");
    } else {
      fs::create_directories(folder_ / "model");
      for (const auto& entry : fs::directory_iterator(run / "model")) {
        std::string name = entry.path().filename().string();
        bool skeletonFile = name.rfind("skelton", 0) == 0;
        if (name == "field" ? content == Content::NoTiles : (skeletonFile && content == Content::NoSkeleton)) continue;
        fs::create_symlink(entry.path(), folder_ / "model" / name);
      }
    }
    if (!config.empty()) std::ofstream(folder_ / "config.ini") << config;
  }

  void startViewer(std::vector<std::string> env = {}, std::vector<std::string> argv = {MV_PROGRAM}) {
    env.push_back(kViewerSanitizerOptions);
    viewer_ = spawn(argv, display_, folder_, folder_ / "stderr.txt", env, folder_ / "stdout.txt");
    ASSERT_TRUE(retry(60s, [&] { return (window_ = findWindow(DefaultRootWindow(x_))) != 0; }))
        << "no ModelViewer window; stderr: " << stderrText();
    // The frame is painted once the scene is loaded and the window shown; give the first
    // frames time to arrive.
    ASSERT_TRUE(retry(30s, [&] { return pixel(displayCentre()) != Rgb{0, 0, 0}; })) << stderrText();
  }

  std::string fileText(const char* name) const {
    std::ifstream in(folder_ / name);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  std::string stderrText() const { return fileText("stderr.txt"); }

  Window findWindow(Window w) {
    char* name = nullptr;
    if (XFetchName(x_, w, &name) && name) {
      bool match = std::string(name) == "ModelViewer";
      XFree(name);
      if (match) {
        XWindowAttributes a;
        XGetWindowAttributes(x_, w, &a);
        if (a.map_state == IsViewable) return w;
      }
    }
    Window root, parent, *children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(x_, w, &root, &parent, &children, &count)) return 0;
    Window found = 0;
    for (unsigned i = 0; i < count && !found; ++i) found = findWindow(children[i]);
    if (children) XFree(children);
    return found;
  }

  // A window's rectangle on the screen.
  Rect screenRect(Window w) {
    XWindowAttributes a{};
    XGetWindowAttributes(x_, w, &a);
    int x = 0, y = 0;
    Window child;
    XTranslateCoordinates(x_, w, DefaultRootWindow(x_), 0, 0, &x, &y, &child);
    return {x, y, a.width, a.height};
  }

  std::vector<Window> children(Window w) {
    Window root, parent, *list = nullptr;
    unsigned count = 0;
    std::vector<Window> out;
    if (XQueryTree(x_, w, &root, &parent, &list, &count)) out.assign(list, list + count);
    if (list) XFree(list);
    return out;
  }

  // The display child: the one child larger than a button.
  Window displayWindow() {
    for (Window c : children(window_)) {
      if (screenRect(c).width > 100) return c;
    }
    return 0;
  }

  std::vector<Rect> buttonRects() {
    std::vector<Rect> out;
    for (Window c : children(window_)) {
      Rect r = screenRect(c);
      if (r.width < 100) out.push_back(r);
    }
    std::sort(out.begin(), out.end(), [](const Rect& a, const Rect& b) { return a.x > b.x; });
    return out;  // close, maximize, minimize
  }

  struct Point {
    int x, y;
  };
  Point displayCentre() {
    Rect d = screenRect(displayWindow());
    return {d.x + d.width / 2, d.y + d.height / 2};
  }

  Rgb pixel(Point p) {
    XImage* image = XGetImage(x_, DefaultRootWindow(x_), p.x, p.y, 1, 1, AllPlanes, ZPixmap);
    if (!image) return {};
    unsigned long v = XGetPixel(image, 0, 0);
    XDestroyImage(image);
    return {static_cast<int>((v >> 16) & 0xFF), static_cast<int>((v >> 8) & 0xFF), static_cast<int>(v & 0xFF)};
  }

  std::vector<uint32_t> capture(Rect r) {
    std::vector<uint32_t> out;
    XImage* image = XGetImage(x_, DefaultRootWindow(x_), r.x, r.y, static_cast<unsigned>(r.width),
                              static_cast<unsigned>(r.height), AllPlanes, ZPixmap);
    if (!image) return out;
    for (int y = 0; y < r.height; ++y)
      for (int x = 0; x < r.width; ++x) out.push_back(static_cast<uint32_t>(XGetPixel(image, x, y) & 0xFFFFFF));
    XDestroyImage(image);
    return out;
  }

  static int differing(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b) {
    int n = 0;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) n += a[i] != b[i];
    return n;
  }

  int countColour(Rect r, const std::function<bool(uint32_t)>& match) {
    int n = 0;
    for (uint32_t v : capture(r)) n += match(v);
    return n;
  }

  // What a window manager sends for its close command.
  void requestClose() {
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = window_;
    e.xclient.message_type = XInternAtom(x_, "WM_PROTOCOLS", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = static_cast<long>(XInternAtom(x_, "WM_DELETE_WINDOW", False));
    e.xclient.data.l[1] = CurrentTime;
    XSendEvent(x_, window_, False, NoEventMask, &e);
    XFlush(x_);
  }

  void click(Point p) {
    xdotool(display_, "mousemove " + std::to_string(p.x) + " " + std::to_string(p.y) + " click 1");
  }

  // The work area's height, -1 while the window manager has not published one.
  long workAreaHeight() {
    Atom type;
    int format;
    unsigned long count = 0, after;
    unsigned char* data = nullptr;
    XGetWindowProperty(x_, DefaultRootWindow(x_), XInternAtom(x_, "_NET_WORKAREA", False), 0, 4, False, XA_CARDINAL,
                       &type, &format, &count, &after, &data);
    long height = count == 4 ? reinterpret_cast<long*>(data)[3] : -1;
    if (data) XFree(data);
    return height;
  }

  // A panel along the bottom of the screen, `height` pixels tall, that the window manager keeps
  // other windows' maximized size clear of. Returns once the work area has shrunk by it.
  void mapBottomDock(int height) {
    // A dock mapped while openbox is still starting up may never count.
    ASSERT_TRUE(retry(5s, [&] { return workAreaHeight() > 0; })) << "no work area";
    Window dock = XCreateSimpleWindow(x_, DefaultRootWindow(x_), 0, 1080 - height, 1920, static_cast<unsigned>(height),
                                      0, 0, 0x404040);
    Atom dockType = XInternAtom(x_, "_NET_WM_WINDOW_TYPE_DOCK", False);
    XChangeProperty(x_, dock, XInternAtom(x_, "_NET_WM_WINDOW_TYPE", False), XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&dockType), 1);
    // left, right, top, bottom, then the start and end of each: the bottom edge, all across.
    long strut[12] = {0, 0, 0, height, 0, 0, 0, 0, 0, 0, 0, 1919};
    XChangeProperty(x_, dock, XInternAtom(x_, "_NET_WM_STRUT_PARTIAL", False), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(strut), 12);
    XChangeProperty(x_, dock, XInternAtom(x_, "_NET_WM_STRUT", False), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(strut), 4);
    XMapWindow(x_, dock);
    XFlush(x_);
    ASSERT_TRUE(retry(5s, [&] { return workAreaHeight() == 1080 - height; }))
        << "the window manager ignored the dock's strut";
  }

  std::string display_;
  Display* x_ = nullptr;
  pid_t xvfb_ = -1, openbox_ = -1, viewer_ = -1;
  fs::path folder_;
  Window window_ = 0;
};
