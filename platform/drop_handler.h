// What a window does with files dragged onto it from a file manager.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct DropHandler {
  // Whether a drop of these files (absolute paths, in the order the source lists them) would
  // be taken. Asked once per drag, as soon as the list is known, on the message-loop thread;
  // false refuses the drag in the status the source shows while dragging.
  std::function<bool(const std::vector<std::string>& paths)> accepts;
  // The files of a drop that accepts() took, on the message-loop thread.
  std::function<void(std::vector<std::string> paths)> dropped;
};
