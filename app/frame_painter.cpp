#include "app/frame_painter.h"

#include <cairo.h>

#include <cstdio>

namespace {

double channel(int32_t value) { return static_cast<double>(value & 0xFF) / 255.0; }

}  // namespace

std::string FpsText(double fps) {
  char buffer[1024];
  std::snprintf(buffer, sizeof buffer, "FPS: %.2f (f/s)", fps);
  return buffer;
}

void PaintFrame(cairo_t* cr, const AppState& s, int width, int height, double fps) {
  cairo_save(cr);
  cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
  cairo_set_source_rgb(cr, channel(s.backColor.r), channel(s.backColor.g), channel(s.backColor.b));
  cairo_paint(cr);
  cairo_set_operator(cr, CAIRO_OPERATOR_OVER);

  cairo_set_source_rgb(cr, channel(s.barColor.r), channel(s.barColor.g), channel(s.barColor.b));
  cairo_rectangle(cr, 0, 0, width, s.barHeight);
  cairo_fill(cr);
  // An 8-pixel pen centred on the edges: 4 pixels of it show inside.
  cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
  cairo_set_line_width(cr, 8.0);
  cairo_move_to(cr, 0, 0);
  cairo_line_to(cr, width, 0);
  cairo_line_to(cr, width, height);
  cairo_line_to(cr, 0, height);
  cairo_close_path(cr);
  cairo_stroke(cr);
  cairo_set_antialias(cr, CAIRO_ANTIALIAS_DEFAULT);

  // The text: em size barHeight x 0.5 points at the screen's resolution, clipped to the bar.
  double points = s.barHeight * 0.5 / static_cast<double>(s.dpiScale);
  double pixels = static_cast<float>(points) * 96.0 * static_cast<double>(s.dpiScale) / 72.0;
  double x = static_cast<float>(width / 50.0);
  double y = static_cast<float>(s.barHeight * static_cast<double>(0.1f));
  cairo_rectangle(cr, x, y, width, s.barHeight);
  cairo_clip(cr);
  cairo_select_font_face(cr, "メイリオ", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, pixels);
  cairo_font_extents_t extents;
  cairo_font_extents(cr, &extents);
  cairo_set_source_rgba(cr, channel(s.backColor.r + 50), channel(s.backColor.g + 50), channel(s.backColor.b + 50),
                        channel(s.backColor.a));
  cairo_move_to(cr, x, y + extents.ascent);
  std::string text = FpsText(fps);
  if (s.barExtraText) {
    std::string extra = s.barExtraText();
    if (!extra.empty()) text += "  " + extra;
  }
  cairo_show_text(cr, text.c_str());
  cairo_restore(cr);
}
