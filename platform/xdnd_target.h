// The receiving side of XDND (version 5), the drag-and-drop protocol of X desktops, for the
// windows of one connection: answers a source's enter, position, leave and drop messages,
// fetches the dragged "text/uri-list" from the XdndSelection while the drag is still moving,
// so that the status can accept or refuse by file type, and hands the files of a drop to the
// window's DropHandler. Only the copy action is offered.
//
// Sources are other programs that may vanish at any moment or send nonsense: X errors from
// talking to a source are trapped, the fetched list is bounded, and a drop whose list never
// comes is given up after a few seconds. Used by WindowSystem on its message-loop thread only.
#pragma once

#include <X11/Xlib.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/drop_handler.h"

class XdndTarget {
 public:
  explicit XdndTarget(Display* display);

  // Marks the top-level `window` as a drop target (XdndAware) served by `handler`.
  void acceptDrops(Window window, DropHandler handler);

  // Handles `event` when it is part of a drag onto one of the windows (an Xdnd client message
  // or the answer to a fetch of the file list); false for every other event.
  bool handleEvent(const XEvent& event);

  // Gives up a drop that has waited longer than kDropWait for its file list: the source is
  // told the drop failed. Called now and then by the message loop.
  void expire(std::chrono::steady_clock::time_point now);

  // How long a drop waits for its file list.
  static constexpr std::chrono::seconds kDropWait{3};
  // The largest file list taken; a drag of more is refused.
  static constexpr long kMaxListBytes = 1 << 20;

 private:
  struct Drag {
    Window target = 0, source = 0;
    bool offersUriList = false;
    bool requested = false;
    Time requestTime = 0;
    bool listKnown = false;
    std::vector<std::string> paths;
    bool accepted = false;
    bool dropPending = false;
    std::chrono::steady_clock::time_point dropSince;
  };

  void enter(const XClientMessageEvent& message);
  void position(const XClientMessageEvent& message);
  void drop(const XClientMessageEvent& message);
  void listArrived(const XSelectionEvent& notify);
  void requestList(Time time);
  void deliver();
  bool offersUriList(const XClientMessageEvent& enterMessage) const;
  // An Xdnd message from the drag's target to its source (whose window may be gone).
  void send(const Drag& drag, Atom type, long l1, long l2, long l3, long l4) const;

  Display* display_;
  std::string hostName_;
  std::map<Window, DropHandler> handlers_;
  std::optional<Drag> drag_;
  Atom aware_, enter_, position_, status_, leave_, drop_, finished_, typeList_, selection_, actionCopy_,
      uriList_, property_, incr_;
};
