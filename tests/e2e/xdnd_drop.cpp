// A drag source for the tests, speaking XDND to a window as a file manager does when files are
// dragged onto it and let go:
//
//   xdnd_drop [--window ID] [--x X --y Y] [--type-list] [--repeat N] [--vanish] URI_OR_PATH...
//
// With --window, X and Y are a point in that window (default its centre); without, they are
// screen coordinates and the drop goes to the XdndAware window under them. It owns the
// XdndSelection with the files as "text/uri-list" (a path becomes a file URI), sends XdndEnter
// (the types in the message, or with --type-list in XdndTypeList), then XdndPosition until a
// status accepts or two seconds pass, then XdndDrop if accepted or XdndLeave if not, serves
// the selection, and waits for XdndFinished. Prints "accepted" or "refused", and after a drop
// "finished ok" or "finished failed"; exit status 0 when the conversation completed, 1 for a
// usage error, 2 on a timeout, 3 when no XDND window is there. --repeat lists the files N times
// over, for a list longer than any target should take.
//
// --vanish plays a source that dies mid-drag: after the first status it destroys its window,
// sends one more position and a drop on behalf of the dead window, and exits without serving
// the selection; it prints "vanished".
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/uri_list.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

Display* x = nullptr;
Window source = 0;
std::string uriList;
Atom aAware, aEnter, aPosition, aStatus, aLeave, aDrop, aFinished, aTypeList, aSelection, aCopy, aUriList, aTargets;

Atom atom(const char* name) { return XInternAtom(x, name, False); }

void send(Window target, Window from, Atom type, long l1, long l2, long l3, long l4) {
  XEvent e{};
  e.xclient.type = ClientMessage;
  e.xclient.window = target;
  e.xclient.message_type = type;
  e.xclient.format = 32;
  e.xclient.data.l[0] = static_cast<long>(from);
  e.xclient.data.l[1] = l1;
  e.xclient.data.l[2] = l2;
  e.xclient.data.l[3] = l3;
  e.xclient.data.l[4] = l4;
  XSendEvent(x, target, False, NoEventMask, &e);
  XFlush(x);
}

// The server's time now: the timestamp of a property change on our own window.
Time serverTime() {
  XChangeProperty(x, source, aTypeList, XA_ATOM, 32, PropModeAppend, nullptr, 0);
  XEvent e;
  XWindowEvent(x, source, PropertyChangeMask, &e);
  return e.xproperty.time;
}

void serve(const XSelectionRequestEvent& request) {
  XEvent reply{};
  reply.xselection.type = SelectionNotify;
  reply.xselection.requestor = request.requestor;
  reply.xselection.selection = request.selection;
  reply.xselection.target = request.target;
  reply.xselection.time = request.time;
  reply.xselection.property = None;
  const Atom property = request.property != None ? request.property : request.target;
  if (request.selection == aSelection && request.target == aUriList) {
    XChangeProperty(x, request.requestor, property, aUriList, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(uriList.data()), static_cast<int>(uriList.size()));
    reply.xselection.property = property;
  } else if (request.selection == aSelection && request.target == aTargets) {
    const Atom targets[] = {aTargets, aUriList};
    XChangeProperty(x, request.requestor, property, XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(targets), 2);
    reply.xselection.property = property;
  }
  XSendEvent(x, request.requestor, False, NoEventMask, &reply);
  XFlush(x);
}

// Serves selection requests (unless told not to) until a client message of `type` arrives or
// `limit` passes.
std::optional<XClientMessageEvent> awaitMessage(Atom type, Clock::duration limit, bool serveRequests) {
  const Clock::time_point end = Clock::now() + limit;
  while (Clock::now() < end) {
    while (XPending(x) > 0) {
      XEvent e;
      XNextEvent(x, &e);
      if (e.type == SelectionRequest && serveRequests) serve(e.xselectionrequest);
      if (e.type == ClientMessage && type != None && e.xclient.message_type == type) return e.xclient;
    }
    pollfd fd{ConnectionNumber(x), POLLIN, 0};
    poll(&fd, 1, 20);
  }
  return std::nullopt;
}

long xdndVersion(Window w) {
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  long version = 0;
  if (XGetWindowProperty(x, w, aAware, 0, 1, False, XA_ATOM, &type, &format, &count, &after, &data) == Success &&
      data != nullptr && count == 1) {
    version = static_cast<long>(*reinterpret_cast<Atom*>(data));
  }
  if (data) XFree(data);
  return version;
}

// The XdndAware window under the screen point, as a source finds it while dragging.
Window awareWindowAt(int rootX, int rootY) {
  const Window root = DefaultRootWindow(x);
  Window at = root, child = 0;
  int cx = 0, cy = 0;
  while (XTranslateCoordinates(x, root, at, rootX, rootY, &cx, &cy, &child) && child != 0) {
    at = child;
    if (xdndVersion(at) > 0) return at;
  }
  return 0;
}

int usage() {
  std::fprintf(stderr, "usage: xdnd_drop [--window ID] [--x X --y Y] [--type-list] [--repeat N] [--vanish] URI_OR_PATH...\n");
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  Window target = 0;
  std::optional<int> px, py;
  bool typeList = false, vanish = false;
  int repeat = 1;
  std::vector<std::string> items;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == "--window" && hasValue) {
      target = std::strtoul(argv[++i], nullptr, 0);
    } else if (a == "--x" && hasValue) {
      px = std::atoi(argv[++i]);
    } else if (a == "--y" && hasValue) {
      py = std::atoi(argv[++i]);
    } else if (a == "--repeat" && hasValue) {
      repeat = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--type-list") {
      typeList = true;
    } else if (a == "--vanish") {
      vanish = true;
    } else if (a.rfind("--", 0) == 0) {
      return usage();
    } else {
      items.push_back(a);
    }
  }
  if (items.empty() || (target == 0 && (!px || !py))) return usage();
  for (const std::string& item : items) {
    const bool isUri = item.find(':') != std::string::npos && item.find(':') < item.find('/');
    uriList += isUri ? item : text::fileUri(std::filesystem::absolute(item).lexically_normal().string());
    uriList += "\r\n";
  }
  const std::string once = uriList;
  for (int i = 1; i < repeat; ++i) uriList += once;

  x = XOpenDisplay(nullptr);
  if (x == nullptr) {
    std::fprintf(stderr, "xdnd_drop: cannot open the display\n");
    return 2;
  }
  aAware = atom("XdndAware");
  aEnter = atom("XdndEnter");
  aPosition = atom("XdndPosition");
  aStatus = atom("XdndStatus");
  aLeave = atom("XdndLeave");
  aDrop = atom("XdndDrop");
  aFinished = atom("XdndFinished");
  aTypeList = atom("XdndTypeList");
  aSelection = atom("XdndSelection");
  aCopy = atom("XdndActionCopy");
  aUriList = atom("text/uri-list");
  aTargets = atom("TARGETS");

  const Window root = DefaultRootWindow(x);
  int rootX = 0, rootY = 0;
  if (target != 0) {
    XWindowAttributes a{};
    if (!XGetWindowAttributes(x, target, &a)) return 3;
    Window child = 0;
    XTranslateCoordinates(x, target, root, px.value_or(a.width / 2), py.value_or(a.height / 2), &rootX, &rootY,
                          &child);
  } else {
    rootX = *px;
    rootY = *py;
    target = awareWindowAt(rootX, rootY);
  }
  const long version = target != 0 ? std::min(xdndVersion(target), 5L) : 0;
  if (version < 3) {
    std::fprintf(stderr, "xdnd_drop: no XDND window there\n");
    return 3;
  }

  XSetWindowAttributes attributes{};
  attributes.event_mask = PropertyChangeMask;
  source = XCreateWindow(x, root, -10, -10, 1, 1, 0, 0, InputOnly, CopyFromParent, CWEventMask, &attributes);
  const Atom types[] = {atom("UTF8_STRING"), atom("text/plain"), atom("STRING"), aUriList};
  XChangeProperty(x, source, aTypeList, XA_ATOM, 32, PropModeReplace, reinterpret_cast<const unsigned char*>(types),
                  4);
  Time time = serverTime();
  XSetSelectionOwner(x, aSelection, source, time);

  if (typeList) {
    send(target, source, aEnter, version << 24 | 1, 0, 0, 0);
  } else {
    send(target, source, aEnter, version << 24, static_cast<long>(aUriList), 0, 0);
  }
  const long where = static_cast<long>(rootX) << 16 | (rootY & 0xFFFF);
  // A file manager sends a position whenever the pointer moves; this one sends one after each
  // status, as a hand that keeps moving.
  const bool serveRequests = !vanish;
  bool answered = false, accepted = false;
  const Clock::time_point end = Clock::now() + 2s;  // how long the pointer stays before letting go
  while (!accepted && Clock::now() < end) {
    time = serverTime();
    send(target, source, aPosition, 0, where, static_cast<long>(time), static_cast<long>(aCopy));
    const std::optional<XClientMessageEvent> status = awaitMessage(aStatus, 1s, serveRequests);
    if (!status) continue;
    answered = true;
    accepted = (status->data.l[1] & 1) != 0;
    if (vanish) break;
    if (!accepted) awaitMessage(None, 50ms, serveRequests);
  }
  if (!answered) {
    send(target, source, aLeave, 0, 0, 0, 0);
    std::puts("no status");
    return 2;
  }
  if (vanish) {
    // Gone with the selection unserved; a position and a drop from the dead window still
    // arrive, as they would when sent just before it died.
    const Window dead = source;
    XDestroyWindow(x, source);
    XSync(x, False);
    send(target, dead, aPosition, 0, where, static_cast<long>(time), static_cast<long>(aCopy));
    send(target, dead, aDrop, 0, static_cast<long>(time), 0, 0);
    XCloseDisplay(x);
    std::puts("vanished");
    return 0;
  }
  if (!accepted) {
    send(target, source, aLeave, 0, 0, 0, 0);
    std::puts("refused");
    return 0;
  }
  std::puts("accepted");
  send(target, source, aDrop, 0, static_cast<long>(time), 0, 0);
  const std::optional<XClientMessageEvent> finished = awaitMessage(aFinished, 10s, true);
  if (!finished) {
    std::puts("no finish");
    return 2;
  }
  std::puts((finished->data.l[1] & 1) != 0 ? "finished ok" : "finished failed");
  return 0;
}
