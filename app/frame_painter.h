// The main window's frame as the paint draws it: background, title bar, border and the
// frame-rate text, on a Cairo image. No window here, so tests paint into memory.
#pragma once

#include <cstdint>
#include <string>

#include "app/app_state.h"

typedef struct _cairo cairo_t;

// The text the bar shows for a measured rate: "FPS: 59.94 (f/s)".
std::string FpsText(double fps);

// Paints W x H of the frame into `cr`: the background in backColor, the bar of barHeight and an
// 8-pixel pen around the edges in barColor, the text in the background colour lightened by 50
// per channel (wrapping) with the background's alpha. Colours take the lowest 8 bits.
void PaintFrame(cairo_t* cr, const AppState& state, int width, int height, double fps);
