#include "app/viewer_tools.h"

#include <cairo.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "app/dropped_models.h"
#include "app/png_writer.h"
#include "app/whole_file.h"
#include "model/model_format.h"
#include "render/model_stage.h"
#include "scene/model_view.h"

namespace fs = std::filesystem;

namespace {

constexpr uint8_t kKeyH = 0x23, kKeyF12 = 0x58, kKeyPageUp = 0xC9, kKeyPageDown = 0xD1;

// Every key and mouse action of the model view, as the overlay lists them.
constexpr const char* kActions[][2] = {
    {"Left drag", "orbit"},
    {"Middle drag, Shift + left drag", "pan"},
    {"Wheel, Up / Down", "zoom"},
    {"Left / Right", "orbit"},
    {"Shift + Up / Down", "tilt"},
    {"Home", "frame the model again"},
    {"F5  F6  F7  F8", "front, side, top, three-quarter view"},
    {"1 ... 9", "play an animation set"},
    {"Space", "pause or go on"},
    {"M, then two clicks", "measure between two points"},
    {"Esc", "clear the measured points"},
    {"G", "grid and axes under the model"},
    {"Page Down / Page Up", "next / previous model of the folder"},
    {"F12", "save a picture beside the model"},
    {"H", "show or hide these keys"},
    {"Drop files", "open models, add animations"},
};

// The keys' list on a dark panel, its size following the picture's height so that it reads
// alike in a small window and on a large screen; premultiplied RGBA.
std::vector<uint8_t> paintKeys(int32_t width, int32_t height) {
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
  cairo_t* cr = cairo_create(surface);
  const double size = std::clamp(height / 34.0, 11.0, 40.0), line = size * 1.45, pad = size;
  cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, size);
  double keyWidth = 0, actionWidth = 0;
  for (const auto& action : kActions) {
    cairo_text_extents_t e;
    cairo_text_extents(cr, action[0], &e);
    keyWidth = std::max(keyWidth, e.x_advance);
    cairo_text_extents(cr, action[1], &e);
    actionWidth = std::max(actionWidth, e.x_advance);
  }
  const double panelWidth = keyWidth + actionWidth + 3 * pad, panelHeight = line * std::size(kActions) + pad;
  cairo_set_source_rgba(cr, 0.08, 0.08, 0.1, 0.78);
  cairo_rectangle(cr, pad, pad, panelWidth, panelHeight);
  cairo_fill(cr);
  for (std::size_t i = 0; i < std::size(kActions); ++i) {
    const double y = pad + pad * 0.5 + line * (static_cast<double>(i) + 0.75);
    cairo_set_source_rgba(cr, 1.0, 0.85, 0.45, 1.0);
    cairo_move_to(cr, 2 * pad, y);
    cairo_show_text(cr, kActions[i][0]);
    cairo_set_source_rgba(cr, 1.0, 1.0, 1.0, 1.0);
    cairo_move_to(cr, 2 * pad + keyWidth + pad, y);
    cairo_show_text(cr, kActions[i][1]);
  }
  cairo_destroy(cr);
  cairo_surface_flush(surface);
  // Cairo's pixels are premultiplied 32-bit ARGB words: B, G, R, A in memory here.
  std::vector<uint8_t> rgba(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4);
  const uint8_t* data = cairo_image_surface_get_data(surface);
  const int stride = cairo_image_surface_get_stride(surface);
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t* row = data + static_cast<std::ptrdiff_t>(y) * stride;
    uint8_t* out = rgba.data() + static_cast<std::size_t>(y) * width * 4;
    for (int32_t x = 0; x < width; ++x) {
      out[x * 4] = row[x * 4 + 2], out[x * 4 + 1] = row[x * 4 + 1], out[x * 4 + 2] = row[x * 4], out[x * 4 + 3] = row[x * 4 + 3];
    }
  }
  cairo_surface_destroy(surface);
  return rgba;
}

bool down(const uint8_t* keys, uint8_t code) { return (keys[code] & 0x80) != 0; }

}  // namespace

fs::path NeighbourModel(const fs::path& file, int step) {
  std::vector<fs::path> models;
  std::error_code ec;
  for (fs::directory_iterator it(file.parent_path(), ec), end; !ec && it != end; it.increment(ec)) {
    if (formatOfName(it->path()) != nullptr && it->is_regular_file(ec)) models.push_back(it->path());
  }
  std::sort(models.begin(), models.end(), [](const fs::path& a, const fs::path& b) { return a.filename() < b.filename(); });
  if (models.empty()) return file;
  // The shown file may be gone: its place is where its name would be.
  const auto at = std::lower_bound(models.begin(), models.end(), file,
                                   [](const fs::path& a, const fs::path& b) { return a.filename() < b.filename(); });
  const bool present = at != models.end() && at->filename() == file.filename();
  const long n = static_cast<long>(models.size()), i = at - models.begin();
  long next = step > 0 ? (present ? i + step : i + step - 1) : i + step;
  next = ((next % n) + n) % n;
  return models[static_cast<std::size_t>(next)];
}

fs::path FreePictureName(const fs::path& folder, const std::string& stem) {
  std::error_code ec;
  for (int n = 1;; ++n) {
    fs::path candidate = folder / (stem + "-" + std::to_string(n) + ".png");
    if (!fs::exists(fs::symlink_status(candidate, ec)) || n == INT_MAX) return candidate;
  }
}

ViewerTools::ViewerTools(DroppedModels& drops, ModelStage& stage, fs::path workingFolder, Post post)
    : drops_(drops), stage_(stage), workingFolder_(std::move(workingFolder)), post_(std::move(post)) {
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ >= 0) watcher_ = std::thread([this] { watchLoop(); });
}

ViewerTools::~ViewerTools() {
  stop();
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

void ViewerTools::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  followShown();  // wakes the watch, which sees the stop
  if (watcher_.joinable()) watcher_.join();
}

void ViewerTools::followShown() {
  if (wakeFd_ < 0) return;
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(wakeFd_, &one, sizeof one);
}

void ViewerTools::onKeys(const uint8_t keys[256]) {
  auto pressed = [&](uint8_t code) { return down(keys, code) && !down(previous_, code); };
  if (pressed(kKeyPageDown)) nextModel(1);
  if (pressed(kKeyPageUp)) nextModel(-1);
  if (pressed(kKeyF12)) takePicture();
  if (pressed(kKeyH)) {
    keysShown_ = !keysShown_;
    stage_.setOverlay(keysShown_ ? ModelStage::OverlayPainter(paintKeys) : nullptr);
  }
  std::copy_n(keys, 256, previous_);
}

void ViewerTools::nextModel(int step) {
  const std::string shown = drops_.shownFile();
  if (shown.empty()) return;
  const fs::path next = NeighbourModel(shown, step);
  if (next == fs::path(shown)) return;
  drops_.drop({next.string()});
  followShown();
}

void ViewerTools::takePicture() {
  stage_.requestPicture([this](std::vector<uint8_t> rgba, int32_t width, int32_t height) {
    // Encoding and writing wait for the UI thread: the frame thread goes on drawing.
    auto pixels = std::make_shared<std::vector<uint8_t>>(std::move(rgba));
    post_([this, pixels, width, height] { writePicture(std::move(*pixels), width, height); });
  });
}

void ViewerTools::writePicture(std::vector<uint8_t> rgba, int32_t width, int32_t height) {
  if (rgba.size() != static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4 || width <= 0) {
    drops_.showMessage("The picture could not be read back");
    return;
  }
  const fs::path model = drops_.shownFile();
  fs::path folder = model.parent_path();
  if (folder.empty() || ::access(folder.c_str(), W_OK) != 0) folder = workingFolder_;
  const fs::path file = FreePictureName(folder, model.empty() ? "modelviewer" : model.stem().string());
  const std::string png = EncodePng(rgba.data(), width, height, int64_t{width} * 4);
  std::string why;
  if (png.empty() || !WriteFileWhole(file, png, &why)) {
    std::fprintf(stderr, "%s: cannot write the picture: %s\n", file.c_str(), png.empty() ? "cannot encode it" : why.c_str());
    drops_.showMessage("Cannot write " + file.filename().string());
    return;
  }
  drops_.showMessage("Saved " + file.string());
}

// The folders of the shown file and of the image files it uses are watched (editors and
// exporters often write a new file and rename it over the old one, which a watch on the file
// itself would miss); events for one of those names start or prolong the settling time, after
// which the model is read again.
void ViewerTools::watchLoop() {
  const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) return;
  std::map<fs::path, int> watches;            // folder: its watch
  std::map<int, std::set<std::string>> names;  // watch: the names in it that count
  bool pending = false;
  std::chrono::steady_clock::time_point due;
  alignas(inotify_event) char buffer[16 * 1024];
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) break;
    }
    // What the shown model is made of: its file, and its images' files.
    std::vector<fs::path> files;
    if (const std::string shown = drops_.shownFile(); !shown.empty()) files.emplace_back(shown);
    if (std::shared_ptr<ModelView> view = stage_.shown()) {
      for (const DrawableImage& image : view->model().images) {
        if (!image.file.empty()) files.push_back(image.file);
      }
    }
    std::map<fs::path, std::set<std::string>> wanted;
    for (const fs::path& file : files) wanted[file.parent_path()].insert(file.filename().string());
    for (auto it = watches.begin(); it != watches.end();) {
      if (wanted.count(it->first) != 0) {
        ++it;
        continue;
      }
      ::inotify_rm_watch(fd, it->second);
      names.erase(it->second);
      it = watches.erase(it);
    }
    for (const auto& [folder, inFolder] : wanted) {
      auto found = watches.find(folder);
      if (found == watches.end()) {
        const int watch = ::inotify_add_watch(fd, folder.c_str(), IN_CLOSE_WRITE | IN_MODIFY | IN_MOVED_TO | IN_CREATE);
        if (watch < 0) continue;
        found = watches.emplace(folder, watch).first;
      }
      names[found->second] = inFolder;
    }
    // The shown model changes when a load ends, which nothing signals here: look again now and then.
    int timeout = 1000;
    if (pending) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - std::chrono::steady_clock::now());
      timeout = static_cast<int>(std::clamp<long long>(left.count(), 0, 1000));
    }
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    ::poll(fds, 2, timeout);
    if (fds[1].revents & POLLIN) {
      uint64_t count = 0;
      [[maybe_unused]] const ssize_t got = ::read(wakeFd_, &count, sizeof count);
    }
    if (fds[0].revents & POLLIN) {
      for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
        for (char* p = buffer; p < buffer + n;) {
          const auto* event = reinterpret_cast<const inotify_event*>(p);
          const auto watched = names.find(event->wd);
          if (event->len > 0 && watched != names.end() && watched->second.count(event->name) != 0) {
            pending = true;
            due = std::chrono::steady_clock::now() + kSettleTime;
          }
          p += sizeof(inotify_event) + event->len;
        }
      }
    }
    if (pending && std::chrono::steady_clock::now() >= due) {
      pending = false;
      drops_.reload();
    }
  }
  ::close(fd);
}
