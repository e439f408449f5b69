#include "app/main_window.h"

#include <X11/Xlib.h>
#include <cairo-xlib.h>
#include <cairo.h>

#include <cstring>
#include <vector>

#include "app/frame_painter.h"
#include "app/title_buttons.h"
#include "app/window_layout.h"
#include "render/frame_thread.h"

namespace {

void repaint(AppState& s) { s.windows->invalidateAndUpdate(s.mainWindow); }

// Button positions for a frame of width w: same sizes, new lefts.
void placeButtons(AppState& s, int32_t frameWidth) {
  TitleButtonLayout b = titleButtonLayout(frameWidth, s.barHeight);
  const std::pair<CCustomButton*, int32_t> buttons[] = {
      {s.closeButton, b.closeX}, {s.maximizeButton, b.maximizeX}, {s.minimizeButton, b.minimizeX}};
  for (auto [button, left] : buttons) {
    if (button == nullptr) continue;
    s.windows->move(button->buttonWindow, left, button->y);
    s.windows->show(button->buttonWindow);
  }
}

void placeDisplay(AppState& s, int32_t frameWidth, int32_t frameHeight, const DisplayResizedHandler& displayResized) {
  if (s.displayWindow == 0) return;
  PixelRect r = displayRect(frameWidth, frameHeight, s.barHeight);
  s.windows->moveResize(s.displayWindow, r.x, r.y, r.width, r.height);
  s.windows->raise(s.displayWindow);
  s.windows->show(s.displayWindow);
  if (displayResized) displayResized();
}

bool isKey(const AppState& s, int32_t r, int32_t g, int32_t b) {
  return (r & 0xFF) == s.colorKey[0] && (g & 0xFF) == s.colorKey[1] && (b & 0xFF) == s.colorKey[2];
}

}  // namespace

void LayoutMainWindow(AppState& s, int sizeType, const DisplayResizedHandler& displayResized) {
  if (sizeType == kSizeMaximized) {
    s.maximized = 1;
    placeDisplay(s, s.screenWidth, s.screenHeight, displayResized);
    placeButtons(s, s.screenWidth);
    // Under a window manager the full-screen state already covers the monitor.
    if (!s.windows->hasWindowManager()) {
      s.windows->moveResize(s.mainWindow, s.screenX, s.screenY, s.screenWidth, s.screenHeight);
    }
    s.windows->raise(s.mainWindow);
    s.windows->show(s.mainWindow);
  } else if (sizeType == kSizeRestored) {
    s.maximized = 0;
    // Also under a window manager: not every one puts a window back where it was before full
    // screen, and a restored window takes the position it asks for.
    s.windows->moveResize(s.mainWindow, s.mainX, s.mainY, s.mainWidth, s.mainHeight);
    s.windows->raise(s.mainWindow);
    s.windows->show(s.mainWindow);
    placeDisplay(s, s.mainWidth, s.mainHeight, displayResized);
    placeButtons(s, s.mainWidth);
  } else {
    return;  // minimized: nothing to lay out
  }
  repaint(s);
}

void FollowWindowSize(AppState& s, int32_t width, int32_t height, const DisplayResizedHandler& displayResized) {
  if (s.maximized != 0 || width <= 0 || height <= 0) return;
  if (width == s.mainWidth && height == s.mainHeight) return;
  // The restored size is now the one the window manager gave; the frame, the bar, the buttons
  // and the display window are laid out for it as for any other.
  s.mainWidth = width;
  s.mainHeight = height;
  placeDisplay(s, width, height, displayResized);
  placeButtons(s, width);
  repaint(s);
}

void PaintMainWindow(AppState& s) {
  int w = s.maximized ? s.screenWidth : s.mainWidth;
  int h = s.maximized ? s.screenHeight : s.mainHeight;
  double fps = s.displayView != nullptr ? s.displayView->fps.load() : 0.0;
  cairo_t* cr = cairo_create(s.backBitmap);
  PaintFrame(cr, s, w, h, fps);
  cairo_destroy(cr);
  cairo_surface_flush(s.backBitmap);

  Display* display = s.windows->display();
  cairo_surface_t* target =
      cairo_xlib_surface_create(display, s.mainWindow, DefaultVisual(display, DefaultScreen(display)), w, h);
  cairo_t* out = cairo_create(target);
  cairo_set_operator(out, CAIRO_OPERATOR_SOURCE);
  cairo_set_source_surface(out, s.backBitmap, 0, 0);
  cairo_rectangle(out, 0, 0, w, h);
  cairo_fill(out);
  cairo_destroy(out);
  cairo_surface_flush(target);
  cairo_surface_destroy(target);

  // The colour key: only worth a scan when a painted colour can be pure white.
  ColorArgb text{s.backColor.a, s.backColor.r + 50, s.backColor.g + 50, s.backColor.b + 50};
  bool keyPossible = isKey(s, s.backColor.r, s.backColor.g, s.backColor.b) ||
                     isKey(s, s.barColor.r, s.barColor.g, s.barColor.b) || isKey(s, text.r, text.g, text.b);
  if (!keyPossible && !s.shapeHoles) return;
  std::vector<bool> holes(static_cast<std::size_t>(w) * h, false);
  if (keyPossible) {
    const unsigned char* data = cairo_image_surface_get_data(s.backBitmap);
    int stride = cairo_image_surface_get_stride(s.backBitmap);
    const uint32_t key = 0xFF000000u | (static_cast<uint32_t>(s.colorKey[0]) << 16) |
                         (static_cast<uint32_t>(s.colorKey[1]) << 8) | static_cast<uint32_t>(s.colorKey[2]);
    PixelRect d = displayRect(w, h, s.barHeight);
    TitleButtonLayout b = titleButtonLayout(w, s.barHeight);
    auto covered = [&](int x, int y) {
      if (x >= d.x && x < d.x + d.width && y >= d.y && y < d.y + d.height) return true;
      if (y < b.top || y >= b.top + b.side) return false;
      for (int left : {b.closeX, b.maximizeX, b.minimizeX}) {
        if (x >= left && x < left + b.side) return true;
      }
      return false;
    };
    for (int y = 0; y < h; ++y) {
      const uint32_t* row = reinterpret_cast<const uint32_t*>(data + static_cast<std::size_t>(y) * stride);
      for (int x = 0; x < w; ++x) {
        if (row[x] == key && !covered(x, y)) holes[static_cast<std::size_t>(y) * w + x] = true;
      }
    }
  }
  s.windows->setShapeHoles(s.mainWindow, w, h, holes);
  s.shapeHoles = keyPossible;
}

void MainWindowProcedure(AppState& s, WindowMessage message, const MessageArgs& a,
                         const DisplayResizedHandler& displayResized) {
  switch (message) {
    case WindowMessage::LeftDown:
      s.dragging = 1;
      s.pressInBar = a.y < s.barHeight ? 1 : 0;
      s.lastMouseX = a.rootX;
      s.lastMouseY = a.rootY;
      s.windows->capture(s.mainWindow);
      repaint(s);
      break;
    case WindowMessage::MouseMove:
      if (s.dragging == 1 && s.pressInBar == 1 && s.maximized == 0) {
        s.mainX += a.rootX - s.lastMouseX;
        s.mainY += a.rootY - s.lastMouseY;
        s.lastMouseX = a.rootX;
        s.lastMouseY = a.rootY;
        s.windows->move(s.mainWindow, s.mainX, s.mainY);
        repaint(s);
      }
      break;
    case WindowMessage::LeftUp:
      s.windows->releaseCapture();
      s.dragging = 0;
      s.pressInBar = 0;
      repaint(s);
      break;
    case WindowMessage::Size:
      LayoutMainWindow(s, a.sizeType, displayResized);
      break;
    case WindowMessage::Resized:
      FollowWindowSize(s, a.width, a.height, displayResized);
      break;
    case WindowMessage::Paint:
      PaintMainWindow(s);
      break;
    case WindowMessage::CloseRequest:
      CloseViewer();  // a close from the window manager does what the close button does
      break;
    case WindowMessage::MiddleDown:
    case WindowMessage::MiddleUp:
    case WindowMessage::Wheel:
      break;
  }
}
