#include "app/video_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cassert>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "app/whole_file.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

namespace fs = std::filesystem;

namespace {

constexpr int kMaxSide = 16384;
constexpr int kMaxFps = 120;
// Frames queued or being encoded: enough that a slow frame on either side does not stall the
// other, few enough that a large picture does not multiply the memory it takes.
constexpr std::size_t kQueueDepth = 4;

enum class Kind { kMp4, kWebm, kGif };

struct Format {
  const char* suffix;
  Kind kind;
  const char* muxer;
  const char* codec;                    // as messages name it
  std::array<const char*, 2> encoders;  // FFmpeg's names, the first one present is used
};

constexpr Format kFormats[] = {
    {".mp4", Kind::kMp4, "mp4", "H.264", {"libx264", "libopenh264"}},
    {".webm", Kind::kWebm, "webm", "VP9", {"libvpx-vp9", nullptr}},
    {".gif", Kind::kGif, "gif", "GIF", {"gif", nullptr}},
};

const Format* formatFor(const fs::path& out) {
  std::string suffix = out.extension().string();
  std::transform(suffix.begin(), suffix.end(), suffix.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  for (const Format& format : kFormats) {
    if (suffix == format.suffix) return &format;
  }
  return nullptr;
}

bool fail(std::string* why, const std::string& line) {
  if (why != nullptr) *why = line;
  return false;
}

// FFmpeg's messages never reach stderr; the last error one thread met explains that thread's
// failure in the line the caller prints.
thread_local std::string lastLibraryError;

void keepLastError(void* object, int level, const char* format, va_list args) {
  if (level > AV_LOG_ERROR) return;
  char line[512];
  int printPrefix = 0;
  av_log_format_line2(object, level, format, args, line, sizeof line, &printPrefix);
  std::string text(line);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  if (!text.empty()) lastLibraryError = text;
}

void quietenLibraries() {
  static std::once_flag once;
  std::call_once(once, [] {
    av_log_set_level(AV_LOG_ERROR);
    av_log_set_callback(keepLastError);
  });
}

// "what: FFmpeg's reason (its last message)".
std::string libraryError(const std::string& what, int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  std::string line = what + ": " + text;
  if (!lastLibraryError.empty()) line += " (" + lastLibraryError + ")";
  lastLibraryError.clear();
  return line;
}

// The encoded file, in memory until it is written whole: the muxers seek back to patch sizes,
// and an MP4's index moves to the front only once every sample is known.
struct MemoryFile {
  std::string bytes;
  int64_t position = 0;
};

struct MemoryReader {
  const MemoryFile* file;
  int64_t position = 0;
};

#if LIBAVFORMAT_VERSION_MAJOR >= 61
using WrittenBytes = const uint8_t*;
#else
using WrittenBytes = uint8_t*;
#endif

int writeToMemory(void* opaque, WrittenBytes data, int size) {
  auto* file = static_cast<MemoryFile*>(opaque);
  const auto end = static_cast<std::size_t>(file->position) + static_cast<std::size_t>(size);
  try {
    if (end > file->bytes.size()) file->bytes.resize(end);
  } catch (const std::bad_alloc&) {
    return AVERROR(ENOMEM);
  }
  std::memcpy(file->bytes.data() + file->position, data, static_cast<std::size_t>(size));
  file->position += size;
  return size;
}

// A seek in a file of `size` bytes from `position`, as lseek does it; AVSEEK_SIZE asks the size.
int64_t seekWithin(int64_t& position, int64_t size, int64_t offset, int whence) {
  whence &= ~AVSEEK_FORCE;
  if (whence == AVSEEK_SIZE) return size;
  int64_t base = 0;
  if (whence == SEEK_CUR)
    base = position;
  else if (whence == SEEK_END)
    base = size;
  else if (whence != SEEK_SET)
    return AVERROR(EINVAL);
  if (offset < -base) return AVERROR(EINVAL);
  position = base + offset;
  return position;
}

int64_t seekInMemory(void* opaque, int64_t offset, int whence) {
  auto* file = static_cast<MemoryFile*>(opaque);
  return seekWithin(file->position, static_cast<int64_t>(file->bytes.size()), offset, whence);
}

int readFromMemory(void* opaque, uint8_t* data, int size) {
  auto* reader = static_cast<MemoryReader*>(opaque);
  const auto available = static_cast<int64_t>(reader->file->bytes.size()) - reader->position;
  if (available <= 0) return AVERROR_EOF;
  const int n = static_cast<int>(std::min<int64_t>(available, size));
  std::memcpy(data, reader->file->bytes.data() + reader->position, static_cast<std::size_t>(n));
  reader->position += n;
  return n;
}

int64_t seekReader(void* opaque, int64_t offset, int whence) {
  auto* reader = static_cast<MemoryReader*>(opaque);
  return seekWithin(reader->position, static_cast<int64_t>(reader->file->bytes.size()), offset, whence);
}

constexpr int kIoBufferSize = 1 << 16;

// The MP4 muxer moves the index to the front by opening its output again for reading
// (movflags faststart); here that output is the file in memory, and nothing else may be opened.
int openForReading(AVFormatContext* s, AVIOContext** pb, const char* url, int flags, AVDictionary**) {
  if ((flags & AVIO_FLAG_WRITE) != 0 || url == nullptr || s->url == nullptr || std::strcmp(url, s->url) != 0) {
    return AVERROR(EPERM);
  }
  auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBufferSize));
  if (buffer == nullptr) return AVERROR(ENOMEM);
  auto* reader = new (std::nothrow) MemoryReader{static_cast<const MemoryFile*>(s->opaque)};
  *pb = reader == nullptr ? nullptr
                          : avio_alloc_context(buffer, kIoBufferSize, 0, reader, readFromMemory, nullptr, seekReader);
  if (*pb == nullptr) {
    delete reader;
    av_free(buffer);
    return AVERROR(ENOMEM);
  }
  return 0;
}

int closeReader(AVFormatContext*, AVIOContext* pb) {
  if (pb == nullptr) return 0;
  delete static_cast<MemoryReader*>(pb->opaque);
  av_freep(&pb->buffer);
  avio_context_free(&pb);
  return 0;
}

// One encoder feeding one muxer that writes into memory.
class Encoding {
 public:
  Encoding() = default;
  Encoding(const Encoding&) = delete;
  Encoding& operator=(const Encoding&) = delete;
  ~Encoding() {
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    avcodec_free_context(&codec_);
    avformat_free_context(format_);
    if (io_ != nullptr) av_freep(&io_->buffer);
    avio_context_free(&io_);
  }

  // Opens the encoder and the muxer and writes the header. False with the reason.
  bool open(const Format& format, const AVCodec* encoder, const std::string& url, int width, int height, int fps,
            std::string* reason) {
    int ret = avformat_alloc_output_context2(&format_, nullptr, format.muxer, url.c_str());
    if (ret < 0) return fail(reason, libraryError("no muxer", ret));
    codec_ = avcodec_alloc_context3(encoder);
    packet_ = av_packet_alloc();
    frame_ = av_frame_alloc();
    if (codec_ == nullptr || packet_ == nullptr || frame_ == nullptr) return fail(reason, "out of memory");
    codec_->width = width;
    codec_->height = height;
    codec_->time_base = AVRational{1, fps};
    codec_->framerate = AVRational{fps, 1};
    codec_->sample_aspect_ratio = AVRational{1, 1};
    AVDictionary* options = nullptr;
    if (format.kind == Kind::kGif) {
      codec_->pix_fmt = AV_PIX_FMT_PAL8;
    } else {
      codec_->pix_fmt = AV_PIX_FMT_YUV420P;
      // The frames are sRGB; BT.709 is the tag players honour for it.
      codec_->color_primaries = AVCOL_PRI_BT709;
      codec_->color_trc = AVCOL_TRC_BT709;
      codec_->colorspace = AVCOL_SPC_BT709;
      codec_->color_range = AVCOL_RANGE_MPEG;
      codec_->chroma_sample_location = AVCHROMA_LOC_LEFT;
    }
    const std::string name = encoder->name;
    const int cores = static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 16u));
    if (name == "libx264") {
      // "fast" takes about a fifth less time than "medium" for files within a few per cent.
      av_dict_set(&options, "preset", "fast", 0);
      av_dict_set(&options, "crf", "20", 0);
    } else if (name == "libvpx-vp9") {
      // Constant quality (no bit rate) and rows encoded in parallel. The "realtime" deadline
      // encodes about five times faster than "good" at its fastest (6 s of 800 x 600 in 2 s
      // rather than 8 to 10 on two cores) for files about a fifth larger of the same SSIM.
      codec_->bit_rate = 0;
      codec_->thread_count = cores;
      av_dict_set(&options, "crf", "32", 0);
      av_dict_set(&options, "row-mt", "1", 0);
      av_dict_set(&options, "deadline", "realtime", 0);
      av_dict_set(&options, "cpu-used", "5", 0);
      av_dict_set(&options, "tile-columns", "2", 0);
    } else if (format.kind != Kind::kGif) {
      codec_->bit_rate = int64_t{width} * height * fps / 4;  // about a quarter of a bit a pixel
    }
    if ((format_->oformat->flags & AVFMT_GLOBALHEADER) != 0) codec_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    ret = avcodec_open2(codec_, encoder, &options);
    av_dict_free(&options);
    if (ret < 0) return fail(reason, libraryError(std::string("cannot start ") + encoder->name, ret));

    AVStream* stream = avformat_new_stream(format_, nullptr);
    if (stream == nullptr) return fail(reason, "out of memory");
    stream->time_base = codec_->time_base;
    ret = avcodec_parameters_from_context(stream->codecpar, codec_);
    if (ret < 0) return fail(reason, libraryError("cannot describe the stream", ret));

    auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBufferSize));
    if (buffer != nullptr) {
      io_ = avio_alloc_context(buffer, kIoBufferSize, 1, &file_, nullptr, writeToMemory, seekInMemory);
    }
    if (io_ == nullptr) {
      av_free(buffer);
      return fail(reason, "out of memory");
    }
    format_->pb = io_;
    format_->opaque = &file_;
    format_->io_open = openForReading;
    format_->io_close2 = closeReader;
    AVDictionary* muxing = nullptr;
    if (format.kind == Kind::kMp4) av_dict_set(&muxing, "movflags", "+faststart", 0);
    ret = avformat_write_header(format_, &muxing);
    av_dict_free(&muxing);
    if (ret < 0) return fail(reason, libraryError("cannot start the file", ret));

    frame_->format = codec_->pix_fmt;
    frame_->width = width;
    frame_->height = height;
    ret = av_frame_get_buffer(frame_, 0);
    if (ret < 0) return fail(reason, libraryError("cannot allocate a frame", ret));
    return true;
  }

  // The frame to fill next: writable, since the encoder may still hold the last one.
  AVFrame* nextFrame(std::string* reason) {
    const int ret = av_frame_make_writable(frame_);
    if (ret < 0) {
      fail(reason, libraryError("cannot allocate a frame", ret));
      return nullptr;
    }
    frame_->pts = nextPts_++;
    return frame_;
  }

  // Encodes nextFrame() (null: flushes the encoder), muxing every packet it gives; `written`
  // after each one.
  bool encode(AVFrame* frame, std::string* reason, const std::function<void()>& written = {}) {
    int ret = avcodec_send_frame(codec_, frame);
    if (ret < 0) return fail(reason, libraryError("the encoder refused a frame", ret));
    for (;;) {
      ret = avcodec_receive_packet(codec_, packet_);
      if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return true;
      if (ret < 0) return fail(reason, libraryError("encoding failed", ret));
      AVStream* stream = format_->streams[0];
      packet_->duration = 1;  // one frame, which a GIF's last delay and an MP4's last sample need
      av_packet_rescale_ts(packet_, codec_->time_base, stream->time_base);
      packet_->stream_index = stream->index;
      ret = av_interleaved_write_frame(format_, packet_);  // takes the packet's data
      if (ret < 0) return fail(reason, libraryError("muxing failed", ret));
      packetsWritten_.fetch_add(1, std::memory_order_relaxed);
      if (written) written();
    }
  }

  // Flushes the encoder and writes the trailer: the whole file is then bytes().
  bool finish(std::string* reason, const std::function<void()>& written) {
    if (!encode(nullptr, reason, written)) return false;
    const int ret = av_write_trailer(format_);
    if (ret < 0) return fail(reason, libraryError("cannot end the file", ret));
    avio_flush(io_);
    if (io_->error < 0) return fail(reason, libraryError("cannot end the file", io_->error));
    return true;
  }

  const std::string& bytes() const { return file_.bytes; }
  int packetsWritten() const { return packetsWritten_.load(std::memory_order_relaxed); }

 private:
  AVFormatContext* format_ = nullptr;
  AVCodecContext* codec_ = nullptr;
  AVIOContext* io_ = nullptr;
  AVPacket* packet_ = nullptr;
  AVFrame* frame_ = nullptr;
  MemoryFile file_;
  int64_t nextPts_ = 0;
  std::atomic<int> packetsWritten_{0};
};

// ---- GIF: one palette for the whole clip ----

// The frames of a GIF wait as RGB in a file with no name (O_TMPFILE), beside the output where
// that file system has them, else in the temporary folder: the palette needs every frame
// first, a clip may be far larger than memory should hold (180 frames of 800 x 600 are 260 MB),
// and a file with no name disappears with the process however it ends.
class FrameStore {
 public:
  FrameStore() = default;
  FrameStore(const FrameStore&) = delete;
  FrameStore& operator=(const FrameStore&) = delete;
  ~FrameStore() {
    if (fd_ >= 0) ::close(fd_);
  }

  bool open(const fs::path& folder, std::size_t frameBytes, std::string* reason) {
    frameBytes_ = frameBytes;
    fd_ = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600);
    std::error_code ec;
    const fs::path temporaryFolder = fs::temp_directory_path(ec);
    if (fd_ < 0 && !ec) fd_ = ::open(temporaryFolder.c_str(), O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600);
    if (fd_ < 0 && !ec) {
      // A file system without O_TMPFILE: a named file, unlinked at once.
      std::string name = (temporaryFolder / "modelviewer-frames-XXXXXX").string();
      fd_ = ::mkostemp(name.data(), O_CLOEXEC);
      if (fd_ >= 0) ::unlink(name.c_str());
    }
    if (fd_ < 0)
      return fail(reason, std::string("cannot make a temporary file for the frames: ") + std::strerror(errno));
    return true;
  }

  bool append(const uint8_t* rgb, std::string* reason) {
    std::size_t done = 0;
    while (done < frameBytes_) {
      const ssize_t n = ::pwrite(fd_, rgb + done, frameBytes_ - done, offsetOf(count_) + static_cast<off_t>(done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return fail(reason, std::string("cannot keep a frame: ") + std::strerror(n < 0 ? errno : EIO));
      done += static_cast<std::size_t>(n);
    }
    ++count_;
    return true;
  }

  bool read(int index, uint8_t* rgb, std::string* reason) const {
    std::size_t done = 0;
    while (done < frameBytes_) {
      const ssize_t n = ::pread(fd_, rgb + done, frameBytes_ - done, offsetOf(index) + static_cast<off_t>(done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0)
        return fail(reason, std::string("cannot read a kept frame back: ") + std::strerror(n < 0 ? errno : EIO));
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  int count() const { return count_; }

 private:
  off_t offsetOf(int index) const { return static_cast<off_t>(static_cast<uint64_t>(index) * frameBytes_); }

  int fd_ = -1;
  std::size_t frameBytes_ = 0;
  int count_ = 0;
};

struct Rgb {
  uint8_t r, g, b;
};

// Colours counted in 5-5-5 bins, with each bin's sums so that its entry is the mean of what fell
// in it rather than the bin's corner.
struct ColourBin {
  uint64_t count = 0;
  uint64_t sum[3] = {};
};
constexpr int kBins = 1 << 15;
constexpr int kPaletteColours = 255;  // the 256th entry is transparent
constexpr uint8_t kTransparent = 255;

int binOf(const uint8_t* rgb) { return (rgb[0] >> 3) << 10 | (rgb[1] >> 3) << 5 | rgb[2] >> 3; }

struct Swatch {
  double c[3];
  double weight;
};

struct Box {
  std::size_t begin, end;
  double error;  // the weighted squared distance of its swatches from their mean
  int axis;      // the channel along which they spread most
  double mean[3];
};

Box measure(const std::vector<Swatch>& swatches, std::size_t begin, std::size_t end) {
  double weight = 0, sum[3] = {}, squares[3] = {};
  for (std::size_t i = begin; i < end; ++i) {
    const Swatch& s = swatches[i];
    weight += s.weight;
    for (int c = 0; c < 3; ++c) {
      sum[c] += s.weight * s.c[c];
      squares[c] += s.weight * s.c[c] * s.c[c];
    }
  }
  Box box{begin, end, 0, 0, {}};
  double widest = -1;
  for (int c = 0; c < 3; ++c) {
    box.mean[c] = sum[c] / weight;
    const double spread = std::max(0.0, squares[c] - sum[c] * sum[c] / weight);
    box.error += spread;
    if (spread > widest) {
      widest = spread;
      box.axis = c;
    }
  }
  if (end - begin < 2) box.error = 0;
  return box;
}

// Median cut over the counted colours: the box with the largest squared error is split along
// its widest channel where half its pixels lie on either side, until there are 255 boxes; each
// box's mean is one entry.
std::vector<Rgb> buildPalette(const std::vector<ColourBin>& bins) {
  std::vector<Swatch> swatches;
  for (const ColourBin& bin : bins) {
    if (bin.count == 0) continue;
    const double n = static_cast<double>(bin.count);
    swatches.push_back({{bin.sum[0] / n, bin.sum[1] / n, bin.sum[2] / n}, n});
  }
  std::vector<Box> boxes;
  if (!swatches.empty()) boxes.push_back(measure(swatches, 0, swatches.size()));
  while (boxes.size() < static_cast<std::size_t>(kPaletteColours)) {
    auto worst =
        std::max_element(boxes.begin(), boxes.end(), [](const Box& a, const Box& b) { return a.error < b.error; });
    if (worst == boxes.end() || worst->error <= 0) break;
    const Box box = *worst;
    const int axis = box.axis;
    std::sort(swatches.begin() + static_cast<std::ptrdiff_t>(box.begin),
              swatches.begin() + static_cast<std::ptrdiff_t>(box.end),
              [axis](const Swatch& a, const Swatch& b) { return a.c[axis] < b.c[axis]; });
    double total = 0;
    for (std::size_t i = box.begin; i < box.end; ++i) total += swatches[i].weight;
    double below = 0;
    std::size_t split = box.begin + 1;
    for (std::size_t i = box.begin; i + 1 < box.end; ++i) {
      below += swatches[i].weight;
      split = i + 1;
      if (below >= total / 2) break;
    }
    *worst = measure(swatches, box.begin, split);
    boxes.push_back(measure(swatches, split, box.end));
  }
  std::vector<Rgb> palette;
  for (const Box& box : boxes) {
    auto channel = [&](int c) { return static_cast<uint8_t>(std::clamp(std::lround(box.mean[c]), 0L, 255L)); };
    palette.push_back({channel(0), channel(1), channel(2)});
  }
  if (palette.empty()) palette.push_back({0, 0, 0});
  return palette;
}

// Ordered (Bayer 8 x 8) dithering to the palette. Unlike error diffusion it maps a colour at a
// place to the same entry in every frame, so what does not move in a turntable does not
// shimmer, and the GIF encoder can leave those pixels out of the next frame as unchanged. The
// threshold's amplitude is the distance from the nearest entry to its own nearest neighbour:
// colours between entries mix the two, and a colour that is an entry stays exact.
class Dither {
 public:
  explicit Dither(std::vector<Rgb> palette) : palette_(std::move(palette)), spread_(palette_.size(), 0) {
    for (std::size_t i = 0; i < palette_.size(); ++i) {
      int nearest = INT32_MAX;
      for (std::size_t j = 0; j < palette_.size(); ++j) {
        if (j != i) nearest = std::min(nearest, distance(palette_[i], palette_[j].r, palette_[j].g, palette_[j].b));
      }
      // A lone entry, or one far from all others, gets a bounded threshold: wide ones only
      // sprinkle noise where nothing lies between.
      spread_[i] = nearest == INT32_MAX ? 0 : std::min(48, static_cast<int>(std::lround(std::sqrt(nearest))));
    }
    cache_.assign(1 << 18, kUnknown);
  }

  const std::vector<Rgb>& palette() const { return palette_; }

  // `rgb` (width * 3 bytes a row) as palette indices in `out` (`stride` bytes a row).
  void apply(const uint8_t* rgb, int width, int height, uint8_t* out, int stride) {
    for (int y = 0; y < height; ++y) {
      const uint8_t* in = rgb + static_cast<std::size_t>(y) * width * 3;
      uint8_t* row = out + static_cast<std::ptrdiff_t>(y) * stride;
      for (int x = 0; x < width; ++x, in += 3) {
        const int spread = spread_[nearest(in[0], in[1], in[2])];
        const int offset = (2 * bayer(x, y) + 1 - 64) * spread / 128;
        row[x] = nearest(clampByte(in[0] + offset), clampByte(in[1] + offset), clampByte(in[2] + offset));
      }
    }
  }

 private:
  static constexpr uint16_t kUnknown = 0xffff;

  static int clampByte(int v) { return std::clamp(v, 0, 255); }

  static int distance(const Rgb& p, int r, int g, int b) {
    return (p.r - r) * (p.r - r) + (p.g - g) * (p.g - g) + (p.b - b) * (p.b - b);
  }

  // The threshold at a place, 0 to 63: bits of x ^ y and y interleaved and reversed.
  static int bayer(int x, int y) {
    int v = 0;
    for (int bit = 0; bit < 3; ++bit) {
      const int pair = (((x ^ y) >> bit) & 1) << 1 | ((y >> bit) & 1);
      v |= pair << (2 * (2 - bit));
    }
    return v;
  }

  // The entry nearest to the centre of the colour's 6-6-6 cell, found once for each cell met.
  uint8_t nearest(int r, int g, int b) {
    const int cell = (r >> 2) << 12 | (g >> 2) << 6 | (b >> 2);
    uint16_t& known = cache_[static_cast<std::size_t>(cell)];
    if (known == kUnknown) {
      const int cr = (r & ~3) + 2, cg = (g & ~3) + 2, cb = (b & ~3) + 2;
      int best = 0, bestDistance = INT32_MAX;
      for (std::size_t i = 0; i < palette_.size(); ++i) {
        const int d = distance(palette_[i], cr, cg, cb);
        if (d < bestDistance) {
          bestDistance = d;
          best = static_cast<int>(i);
        }
      }
      known = static_cast<uint16_t>(best);
    }
    return static_cast<uint8_t>(known);
  }

  std::vector<Rgb> palette_;
  std::vector<int> spread_;
  std::vector<uint16_t> cache_;
};

}  // namespace

struct VideoWriter::Impl {
  fs::path out;
  std::string name;  // `out` as messages show it
  const Format* format = nullptr;
  int frameWidth = 0, frameHeight = 0;  // of the frames given
  int width = 0, height = 0;            // of the video
  Encoding encoding;
  SwsContext* scaler = nullptr;
  // A GIF's frames, counted colours and one frame's RGB.
  FrameStore store;
  std::vector<ColourBin> bins;
  std::vector<uint8_t> rgb;

  // The queue between addFrame and the encoding thread. `ready` frames wait in order; `spare`
  // buffers are reused; at most kQueueDepth buffers exist.
  std::mutex mutex;
  std::condition_variable frameQueued, frameTaken;
  std::deque<std::vector<uint8_t>> ready, spare;
  std::size_t buffers = 0;
  bool closing = false, abandoning = false;
  std::string failure;  // the encoding thread's, once it has failed
  int framesGiven = 0;
  bool finished = false;
  std::thread worker;

  ~Impl() { sws_freeContext(scaler); }

  void run() {
    for (;;) {
      std::vector<uint8_t> frame;
      {
        std::unique_lock lock(mutex);
        frameQueued.wait(lock, [&] { return abandoning || closing || !ready.empty(); });
        if (abandoning || ready.empty()) return;
        frame = std::move(ready.front());
        ready.pop_front();
      }
      std::string reason;
      const bool ok = consume(frame.data(), &reason);
      {
        std::lock_guard lock(mutex);
        spare.push_back(std::move(frame));
        if (!ok) failure = name + ": cannot encode the video: " + reason;
      }
      frameTaken.notify_one();
      if (!ok) return;
    }
  }

  // One frame on the encoding thread: converted and encoded, or for a GIF counted and kept.
  bool consume(const uint8_t* rgba, std::string* reason) {
    if (format->kind == Kind::kGif) {
      uint8_t* to = rgb.data();
      const std::size_t pixels = static_cast<std::size_t>(width) * height;
      for (std::size_t i = 0; i < pixels; ++i, rgba += 4, to += 3) {
        to[0] = rgba[0];
        to[1] = rgba[1];
        to[2] = rgba[2];
        ColourBin& bin = bins[static_cast<std::size_t>(binOf(to))];
        ++bin.count;
        for (int c = 0; c < 3; ++c) bin.sum[c] += to[c];
      }
      return store.append(rgb.data(), reason);
    }
    AVFrame* frame = encoding.nextFrame(reason);
    if (frame == nullptr) return false;
    const uint8_t* planes[1] = {rgba};
    const int strides[1] = {frameWidth * 4};
    // Rows beyond an even height, and the column beyond an even width, are left out.
    sws_scale(scaler, planes, strides, 0, height, frame->data, frame->linesize);
    return encoding.encode(frame, reason);
  }

  // At finish: the palette from every frame's colours, then each kept frame dithered and encoded.
  bool encodeGif(const std::function<void()>& written, std::string* reason) {
    Dither dither(buildPalette(bins));
    uint32_t entries[256];
    std::fill(std::begin(entries), std::end(entries), 0xff000000u);  // unused: opaque black
    for (std::size_t i = 0; i < dither.palette().size(); ++i) {
      const Rgb& c = dither.palette()[i];
      entries[i] = 0xffu << 24 | uint32_t{c.r} << 16 | uint32_t{c.g} << 8 | c.b;
    }
    entries[kTransparent] = 0;  // alpha 0: where a frame leaves the last one's pixel as it was
    for (int i = 0; i < store.count(); ++i) {
      if (!store.read(i, rgb.data(), reason)) return false;
      AVFrame* frame = encoding.nextFrame(reason);
      if (frame == nullptr) return false;
      dither.apply(rgb.data(), width, height, frame->data[0], frame->linesize[0]);
      std::memcpy(frame->data[1], entries, sizeof entries);
      if (!encoding.encode(frame, reason, written)) return false;
    }
    return true;
  }
};

VideoWriter::VideoWriter(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

VideoWriter::~VideoWriter() {
  if (impl_->worker.joinable()) {
    {
      std::lock_guard lock(impl_->mutex);
      impl_->abandoning = true;
    }
    impl_->frameQueued.notify_one();
    impl_->worker.join();
  }
}

std::unique_ptr<VideoWriter> VideoWriter::open(const fs::path& out, const VideoSettings& settings, std::string* why) {
  quietenLibraries();
  lastLibraryError.clear();
  const std::string name = out.string();
  const Format* format = formatFor(out);
  if (format == nullptr) {
    fail(why, name + ": unknown video type (the name must end in .mp4, .webm or .gif)");
    return nullptr;
  }
  if (settings.width < 1 || settings.height < 1 || settings.width > kMaxSide || settings.height > kMaxSide ||
      settings.fps < 1 || settings.fps > kMaxFps) {
    fail(why, name + ": a video of " + std::to_string(settings.width) + "x" + std::to_string(settings.height) + " at " +
                  std::to_string(settings.fps) + " frames a second is beyond 1 to " + std::to_string(kMaxSide) +
                  " pixels a side and 1 to " + std::to_string(kMaxFps) + " frames a second");
    return nullptr;
  }
  const bool yuv = format->kind != Kind::kGif;
  const int width = yuv ? settings.width & ~1 : settings.width;
  const int height = yuv ? settings.height & ~1 : settings.height;
  if (width == 0 || height == 0) {
    fail(why, name + ": " + format->codec + " video needs at least 2x2 pixels");
    return nullptr;
  }
  std::string reason;
  const fs::path destination = WriteDestination(out, &reason);
  if (destination.empty()) {
    fail(why, name + ": the video is not written there: it " + reason);
    return nullptr;
  }
  // Refused now rather than after all the frames are encoded.
  const fs::path folder = destination.parent_path().empty() ? fs::path(".") : destination.parent_path();
  if (::access(folder.c_str(), W_OK | X_OK) != 0) {
    fail(why, name + ": the video is not written there: its folder " + folder.string() + " is not writable (" +
                  std::strerror(errno) + ")");
    return nullptr;
  }
  const AVCodec* encoder = nullptr;
  for (const char* candidate : format->encoders) {
    if (candidate != nullptr && encoder == nullptr) encoder = avcodec_find_encoder_by_name(candidate);
  }
  if (encoder == nullptr) {
    fail(why, name + ": this FFmpeg has no " + format->codec + " encoder (" + format->encoders[0] + ")");
    return nullptr;
  }

  auto impl = std::make_unique<Impl>();
  impl->out = out;
  impl->name = name;
  impl->format = format;
  impl->frameWidth = settings.width;
  impl->frameHeight = settings.height;
  impl->width = width;
  impl->height = height;
  if (!impl->encoding.open(*format, encoder, name, width, height, settings.fps, &reason)) {
    fail(why, name + ": cannot start the " + format->codec + " video: " + reason);
    return nullptr;
  }
  if (yuv) {
    impl->scaler = sws_getContext(width, height, AV_PIX_FMT_RGBA, width, height, AV_PIX_FMT_YUV420P,
                                  SWS_BILINEAR | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INP, nullptr, nullptr, nullptr);
    if (impl->scaler == nullptr) {
      fail(why, name + ": cannot convert RGBA to 4:2:0");
      return nullptr;
    }
    const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
    sws_setColorspaceDetails(impl->scaler, bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16);
  } else {
    impl->bins.assign(kBins, ColourBin{});
    impl->rgb.resize(static_cast<std::size_t>(width) * height * 3);
    if (!impl->store.open(folder, impl->rgb.size(), &reason)) {
      fail(why, name + ": " + reason);
      return nullptr;
    }
  }
  Impl* running = impl.get();
  impl->worker = std::thread([running] { running->run(); });
  return std::unique_ptr<VideoWriter>(new VideoWriter(std::move(impl)));
}

bool VideoWriter::addFrame(std::span<const uint8_t> rgba, std::string* why) {
  Impl& w = *impl_;
  const std::size_t bytes = static_cast<std::size_t>(w.frameWidth) * w.frameHeight * 4;
  assert(!w.finished && rgba.size() == bytes);
  if (w.finished) return fail(why, w.name + ": a frame after the video was finished");
  if (rgba.size() != bytes)
    return fail(why, w.name + ": a frame of " + std::to_string(rgba.size()) + " bytes, not " + std::to_string(bytes));
  std::vector<uint8_t> buffer;
  {
    std::unique_lock lock(w.mutex);
    w.frameTaken.wait(lock, [&] { return !w.failure.empty() || !w.spare.empty() || w.buffers < kQueueDepth; });
    if (!w.failure.empty()) return fail(why, w.failure);
    if (!w.spare.empty()) {
      buffer = std::move(w.spare.front());
      w.spare.pop_front();
    } else {
      ++w.buffers;
    }
  }
  buffer.resize(bytes);
  std::memcpy(buffer.data(), rgba.data(), bytes);
  {
    std::lock_guard lock(w.mutex);
    w.ready.push_back(std::move(buffer));
    ++w.framesGiven;
  }
  w.frameQueued.notify_one();
  return true;
}

bool VideoWriter::finish(std::string* why, const std::function<void(int done, int total)>& progress) {
  Impl& w = *impl_;
  assert(!w.finished);
  if (w.finished) return fail(why, w.name + ": the video was already finished");
  w.finished = true;
  {
    std::lock_guard lock(w.mutex);
    w.closing = true;
  }
  w.frameQueued.notify_one();
  w.worker.join();
  // The encoding thread has ended: everything below is this thread's alone.
  if (!w.failure.empty()) return fail(why, w.failure);
  if (w.framesGiven == 0) return fail(why, w.name + ": no frames to write");
  const std::function<void()> written = [&] {
    if (progress) progress(w.encoding.packetsWritten(), w.framesGiven);
  };
  std::string reason;
  if (w.format->kind == Kind::kGif && !w.encodeGif(written, &reason)) {
    return fail(why, w.name + ": cannot encode the video: " + reason);
  }
  if (!w.encoding.finish(&reason, written)) return fail(why, w.name + ": cannot encode the video: " + reason);
  if (!WriteFileWhole(w.out, w.encoding.bytes(), &reason))
    return fail(why, w.name + ": cannot write the video: " + reason);
  return true;
}

int VideoWriter::framesWritten() const { return impl_->encoding.packetsWritten(); }
int VideoWriter::width() const { return impl_->width; }
int VideoWriter::height() const { return impl_->height; }
