#include "app/title_buttons.h"

#include <X11/Xlib.h>
#include <cairo-xlib.h>
#include <cairo.h>

#include <cstdio>

#include "app/app_state.h"

namespace {

constexpr const char* kButtonClass = "CLASS_CUSTOMBUTTON";

cairo_surface_t* loadPng(const std::string& path) {
  cairo_surface_t* image = cairo_image_surface_create_from_png(path.c_str());
  if (cairo_surface_status(image) != CAIRO_STATUS_SUCCESS) {
    std::fprintf(stderr, "Warning: %s: %s; the button shows no image\n", path.c_str(),
                 cairo_status_to_string(cairo_surface_status(image)));
    cairo_surface_destroy(image);
    return nullptr;
  }
  return image;
}

}  // namespace

CCustomButton::~CCustomButton() {
  if (normalImage) cairo_surface_destroy(normalImage);
  if (pressedImage) cairo_surface_destroy(pressedImage);
}

bool CCustomButton::Create(WindowSystem& system, int32_t atX, int32_t atY, int32_t w, int32_t h, XWindow parent) {
  windows = &system;
  system.registerClass(kButtonClass, [&system](XWindow window, WindowMessage message, const MessageArgs&) {
    if (auto* button = static_cast<CCustomButton*>(system.userData(window))) button->HandleMessage(message);
  });
  x = atX;
  y = atY;
  width = w;
  height = h;
  buttonWindow = system.createWindow(kButtonClass, "", parent, x, y, width, height);
  system.setUserData(buttonWindow, this);
  system.show(buttonWindow);
  return true;
}

bool CCustomButton::LoadImages(const std::string& normalPath, const std::string& pressedPath) {
  normalImage = loadPng(normalPath);
  pressedImage = loadPng(pressedPath);
  return true;
}

void CCustomButton::HandleMessage(WindowMessage message) {
  switch (message) {
    case WindowMessage::Paint:
      Paint();
      break;
    case WindowMessage::LeftDown:
      windows->capture(buttonWindow);
      pressed = 1;
      windows->invalidateAndUpdate(buttonWindow);
      break;
    case WindowMessage::LeftUp:
      windows->releaseCapture();
      pressed = 0;
      OnClick();
      windows->invalidateAndUpdate(buttonWindow);
      break;
    default:
      break;
  }
}

void CCustomButton::Paint() {
  Display* display = windows->display();
  cairo_surface_t* target = cairo_xlib_surface_create(display, buttonWindow, DefaultVisual(display, DefaultScreen(display)),
                                                      width, height);
  cairo_t* cr = cairo_create(target);
  cairo_set_source_rgba(cr, (backR & 0xFF) / 255.0, (backG & 0xFF) / 255.0, (backB & 0xFF) / 255.0, (backA & 0xFF) / 255.0);
  cairo_rectangle(cr, imageX, imageY, width, height);
  cairo_fill(cr);
  if (cairo_surface_t* image = pressed ? pressedImage : normalImage) {
    // Stretched into the button's square.
    double sx = static_cast<double>(width) / cairo_image_surface_get_width(image);
    double sy = static_cast<double>(height) / cairo_image_surface_get_height(image);
    cairo_translate(cr, imageX, imageY);
    cairo_scale(cr, sx, sy);
    cairo_set_source_surface(cr, image, 0, 0);
    cairo_paint(cr);
  }
  cairo_destroy(cr);
  cairo_surface_flush(target);
  cairo_surface_destroy(target);
  XFlush(display);
}

void CloseViewer() {
  AppState* state = appStateHandle();
  if (state == nullptr) return;
  std::error_code ec;
  std::filesystem::current_path(state->startDirectory, ec);
  std::filesystem::path folder = state->configFolder.empty() ? state->startDirectory : state->configFolder;
  std::filesystem::create_directories(folder, ec);  // the user's configuration folder may be new
  if (!WriteConfig(state->config, folder)) {
    std::fprintf(stderr, "Warning: %s cannot be written\n", (folder / kConfigFileName).c_str());
  }
  state->windows->postQuit(1);
}

bool CButtonClose::OnClick() {
  CloseViewer();
  return true;
}

bool CButtonMaximize::OnClick() {
  AppState* state = appStateHandle();
  if (state->maximized == 1) {
    state->windows->restore(state->mainWindow, state->mainX, state->mainY, state->mainWidth, state->mainHeight);
    state->maximized = 0;
  } else {
    state->windows->maximize(state->mainWindow, state->screenX, state->screenY, state->screenWidth,
                             state->screenHeight, state->monitorIndex);
    state->maximized = 1;
  }
  return true;
}

bool CButtonMinimize::OnClick() {
  AppState* state = appStateHandle();
  state->windows->minimize(state->mainWindow);
  return true;
}
