// The main window procedure: dragging by the title bar, the maximized and restored layouts of
// the display window and the buttons, and the paint of the frame through the back bitmap.
#pragma once

#include <functional>

#include "app/app_state.h"

// Called after the display window was moved or resized (its swapchain follows).
using DisplayResizedHandler = std::function<void()>;

void MainWindowProcedure(AppState& state, WindowMessage message, const MessageArgs& args,
                         const DisplayResizedHandler& displayResized);

// The layout for a size-change of `sizeType`.
void LayoutMainWindow(AppState& state, int sizeType, const DisplayResizedHandler& displayResized);

// A restored main window that the window manager made `width` x `height`: the layout follows.
void FollowWindowSize(AppState& state, int32_t width, int32_t height, const DisplayResizedHandler& displayResized);

// Paints the frame into the back bitmap and copies it to the main window, making the pixels of
// the colour key transparent (except where a child window covers them).
void PaintMainWindow(AppState& state);
