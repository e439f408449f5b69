#include "platform/xdnd_target.h"

#include <X11/Xatom.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <utility>

#include "platform/uri_list.h"

namespace {

constexpr long kVersion = 5;
// Version 3 is the oldest that every source in use speaks; older ones lack timestamps.
constexpr long kOldestVersion = 3;
// More types than any source offers; a longer XdndTypeList is cut there.
constexpr long kMaxTypes = 64;

// X errors caused by requests about a source's windows (which may be gone by then) are
// swallowed while a trap is open on this thread for that connection; any other error goes
// to the handler that was there before.
thread_local Display* trappedDisplay = nullptr;
XErrorHandler previousHandler = nullptr;

int trapHandler(Display* display, XErrorEvent* error) {
  if (display == trappedDisplay) return 0;
  return previousHandler != nullptr ? previousHandler(display, error) : 0;
}

class ErrorTrap {
 public:
  explicit ErrorTrap(Display* display) : display_(display) {
    static std::once_flag installed;
    std::call_once(installed, [] { previousHandler = XSetErrorHandler(trapHandler); });
    XSync(display_, False);  // earlier requests' errors are not ours to swallow
    trappedDisplay = display_;
  }
  ~ErrorTrap() {
    XSync(display_, False);
    trappedDisplay = nullptr;
  }
  ErrorTrap(const ErrorTrap&) = delete;
  ErrorTrap& operator=(const ErrorTrap&) = delete;

 private:
  Display* display_;
};

// A timestamp from a client message: Xlib hands the 32-bit field over sign-extended, and a
// server up for 25 days has times past 2^31 that must go back to the server unchanged.
Time timestampOf(long field) { return static_cast<Time>(static_cast<unsigned long>(field) & 0xFFFFFFFFul); }

}  // namespace

XdndTarget::XdndTarget(Display* display) : display_(display) {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) == 0) hostName_ = name;
  auto atom = [&](const char* n) { return XInternAtom(display_, n, False); };
  aware_ = atom("XdndAware");
  enter_ = atom("XdndEnter");
  position_ = atom("XdndPosition");
  status_ = atom("XdndStatus");
  leave_ = atom("XdndLeave");
  drop_ = atom("XdndDrop");
  finished_ = atom("XdndFinished");
  typeList_ = atom("XdndTypeList");
  selection_ = atom("XdndSelection");
  actionCopy_ = atom("XdndActionCopy");
  uriList_ = atom("text/uri-list");
  property_ = atom("MODELVIEWER_DROP");
  incr_ = atom("INCR");
}

void XdndTarget::acceptDrops(Window window, DropHandler handler) {
  handlers_[window] = std::move(handler);
  const long version = kVersion;
  XChangeProperty(display_, window, aware_, XA_ATOM, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(&version), 1);
  XFlush(display_);
}

bool XdndTarget::handleEvent(const XEvent& event) {
  if (event.type == SelectionNotify) {
    if (event.xselection.selection != selection_ || handlers_.count(event.xselection.requestor) == 0) return false;
    listArrived(event.xselection);
    return true;
  }
  if (event.type != ClientMessage || event.xclient.format != 32) return false;
  const XClientMessageEvent& message = event.xclient;
  if (handlers_.count(message.window) == 0) return false;
  const Atom type = message.message_type;
  if (type == enter_) {
    enter(message);
  } else if (type == position_) {
    position(message);
  } else if (type == leave_) {
    if (drag_ && drag_->target == message.window && drag_->source == static_cast<Window>(message.data.l[0])) {
      drag_.reset();
    }
  } else if (type == drop_) {
    drop(message);
  } else {
    return false;
  }
  return true;
}

void XdndTarget::enter(const XClientMessageEvent& message) {
  // A new drag replaces one whose source vanished without a leave; a drop still waiting for
  // its list is told it failed.
  if (drag_ && drag_->dropPending) send(*drag_, finished_, 0, 0, 0, 0);
  drag_.reset();
  const long version = (message.data.l[1] >> 24) & 0xFF;
  if (version < kOldestVersion) return;
  Drag drag;
  drag.target = message.window;
  drag.source = static_cast<Window>(message.data.l[0]);
  drag.offersUriList = offersUriList(message);
  drag_ = std::move(drag);
}

bool XdndTarget::offersUriList(const XClientMessageEvent& message) const {
  if ((message.data.l[1] & 1) == 0) {
    for (int i = 2; i < 5; ++i) {
      if (static_cast<Atom>(message.data.l[i]) == uriList_) return true;
    }
    return false;
  }
  // More than three types: they are listed on the source window.
  ErrorTrap trap(display_);
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  bool found = false;
  if (XGetWindowProperty(display_, static_cast<Window>(message.data.l[0]), typeList_, 0, kMaxTypes, False, XA_ATOM,
                         &type, &format, &count, &after, &data) == Success &&
      data != nullptr && type == XA_ATOM && format == 32) {
    const Atom* atoms = reinterpret_cast<const Atom*>(data);
    for (unsigned long i = 0; i < count && !found; ++i) found = atoms[i] == uriList_;
  }
  if (data != nullptr) XFree(data);
  return found;
}

void XdndTarget::position(const XClientMessageEvent& message) {
  if (!drag_ || drag_->target != message.window || drag_->source != static_cast<Window>(message.data.l[0])) return;
  // The status can only judge the files once their list is here; until then the drag is
  // refused, and the source is asked to keep sending positions so that a later one hears
  // the answer.
  if (drag_->offersUriList && !drag_->requested) requestList(timestampOf(message.data.l[3]));
  const bool accept = drag_->listKnown && drag_->accepted;
  const long sendPositionsInside = 2;
  send(*drag_, status_, (accept ? 1 : 0) | sendPositionsInside, 0, 0,
       accept ? static_cast<long>(actionCopy_) : 0);
}

void XdndTarget::drop(const XClientMessageEvent& message) {
  if (!drag_ || drag_->target != message.window || drag_->source != static_cast<Window>(message.data.l[0])) return;
  if (drag_->listKnown || !drag_->offersUriList) {
    deliver();
    return;
  }
  if (!drag_->requested) requestList(timestampOf(message.data.l[2]));
  drag_->dropPending = true;
  drag_->dropSince = std::chrono::steady_clock::now();
}

void XdndTarget::requestList(Time time) {
  drag_->requested = true;
  drag_->requestTime = time;
  XDeleteProperty(display_, drag_->target, property_);
  XConvertSelection(display_, selection_, uriList_, property_, drag_->target, time);
  XFlush(display_);
}

void XdndTarget::listArrived(const XSelectionEvent& notify) {
  // Only the answer to this drag's own request counts, not a late one for an earlier drag;
  // some owners answer with CurrentTime in place of the request's time.
  if (!drag_ || !drag_->requested || drag_->listKnown || notify.requestor != drag_->target ||
      (notify.time != drag_->requestTime && notify.time != CurrentTime)) {
    return;
  }
  drag_->listKnown = true;
  if (notify.property != None) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display_, drag_->target, notify.property, 0, kMaxListBytes / 4, False, AnyPropertyType,
                           &type, &format, &count, &after, &data) == Success &&
        data != nullptr) {
      // An INCR answer announces a list too long for one property.
      if (type == incr_ || after > 0) {
        std::fprintf(stderr, "Warning: a dragged file list over %ld bytes is refused\n", kMaxListBytes);
      } else if (format == 8) {
        drag_->paths = text::filePathsFromUriList(
            std::string_view(reinterpret_cast<const char*>(data), count), hostName_);
      }
    }
    if (data != nullptr) XFree(data);
    XDeleteProperty(display_, drag_->target, notify.property);
  }
  if (!drag_->paths.empty()) {
    // Copied: the handler may replace itself.
    const DropHandler handler = handlers_[drag_->target];
    drag_->accepted = handler.accepts && handler.accepts(drag_->paths);
  }
  if (drag_->dropPending) deliver();
}

void XdndTarget::deliver() {
  Drag drag = std::move(*drag_);
  drag_.reset();
  const bool ok = drag.listKnown && drag.accepted;
  if (ok) {
    const DropHandler handler = handlers_[drag.target];
    if (handler.dropped) handler.dropped(std::move(drag.paths));
  }
  send(drag, finished_, ok ? 1 : 0, ok ? static_cast<long>(actionCopy_) : 0, 0, 0);
}

void XdndTarget::expire(std::chrono::steady_clock::time_point now) {
  if (!drag_ || !drag_->dropPending || now - drag_->dropSince < kDropWait) return;
  std::fprintf(stderr, "Warning: a drop from window 0x%lx is given up: its file list did not come\n",
               static_cast<unsigned long>(drag_->source));
  drag_->listKnown = true;
  drag_->accepted = false;
  deliver();
}

void XdndTarget::send(const Drag& drag, Atom type, long l1, long l2, long l3, long l4) const {
  XEvent e{};
  e.xclient.type = ClientMessage;
  e.xclient.display = display_;
  e.xclient.window = drag.source;
  e.xclient.message_type = type;
  e.xclient.format = 32;
  e.xclient.data.l[0] = static_cast<long>(drag.target);
  e.xclient.data.l[1] = l1;
  e.xclient.data.l[2] = l2;
  e.xclient.data.l[3] = l3;
  e.xclient.data.l[4] = l4;
  ErrorTrap trap(display_);
  XSendEvent(display_, drag.source, False, NoEventMask, &e);
}
