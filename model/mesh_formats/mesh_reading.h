// What the STL, PLY and OBJ readers share: their bytes read forward in big blocks, the
// workers that parse a block's parts on every core, and their messages. Internal to
// model/mesh_formats/; the readers' headers are the contract.
//
// A file is read with pread() into one buffer, never mapped: a file rewritten or cut while it
// is mapped kills the process with SIGBUS. Only the block in hand is held, so a reader's peak
// memory is what it builds plus a block.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "model/mesh_formats/mesh_read_options.h"

namespace meshio {

// Inputs below this size are parsed on one thread: starting threads would cost more.
inline constexpr uint64_t kParallelBytes = 4u << 20;

class ByteSource {
 public:
  ByteSource() = default;
  ~ByteSource();
  ByteSource(const ByteSource&) = delete;
  ByteSource& operator=(const ByteSource&) = delete;

  // The regular file at `path`. False with the reason in `why`.
  bool open(const std::filesystem::path& path, std::string* why);
  // Bytes that outlive the source.
  void openBytes(std::span<const uint8_t> bytes);

  // The size the file had when it was opened (or the bytes' size). A file that shrinks while
  // it is read ends early: windows then come back shorter.
  uint64_t size() const { return size_; }

  // The bytes [pos, pos + count), or fewer where the source ends; valid until the next call.
  // `pos` never goes back before the start of the previous window. False on a read error,
  // with the system's reason in `why`.
  bool window(uint64_t pos, std::size_t count, std::span<const uint8_t>& out, std::string* why);

  // Copies the bytes [pos, pos + to.size()) (fewer where the source ends: `got` says how many)
  // into `to`, apart from the window; may run on another thread than window(). False on a read
  // error, with the system's reason in `why`.
  bool readAt(uint64_t pos, std::span<uint8_t> to, std::size_t& got, std::string* why) const;

 private:
  int fd_ = -1;
  uint64_t size_ = 0;
  std::span<const uint8_t> memory_;
  std::unique_ptr<uint8_t[]> buffer_;
  std::size_t capacity_ = 0;
  uint64_t bufferStart_ = 0;  // file offset of buffer_[0]
  std::size_t bufferLength_ = 0;
};

// A fixed set of threads that run the parts of one job at a time; the calling thread takes
// part in every job. With one worker, jobs run on the caller alone.
class Workers {
 public:
  explicit Workers(unsigned count);
  ~Workers();
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;

  unsigned count() const { return static_cast<unsigned>(threads_.size()) + 1; }

  // Calls f(i) once for every i in [0, n), on any of the workers, and returns when all are done.
  void run(std::size_t n, const std::function<void(std::size_t)>& f);

 private:
  void loop();
  void work();

  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable start_, done_;
  const std::function<void(std::size_t)>* job_ = nullptr;
  std::size_t parts_ = 0;
  std::atomic<std::size_t> next_{0};
  unsigned generation_ = 0;
  unsigned busy_ = 0;
  bool stopping_ = false;
};

// The threads a read of `bytes` uses: `requested` when not 0, else every core for inputs of
// at least kParallelBytes and one below.
unsigned threadsFor(uint64_t bytes, unsigned requested);

// Where `text` is cut into at most `parts` pieces of about equal size, each ending after a
// '\n' (the last at the end of `text`): the ends of the pieces, ascending, none empty.
std::vector<std::size_t> lineSplits(std::string_view text, std::size_t parts);

// A list that grows by chunks instead of by reallocation: growing never holds an old and a new
// copy at once, and the elements go on to an exact-sized vector with each chunk let go once
// copied. Chunks double from 4096 elements up to a million, so small lists stay small. T must
// be trivially copyable.
template <class T>
class ChunkedArray {
 public:
  static constexpr int kFirstBits = 12, kLastBits = 20;
  // Elements in the chunks that grow, before those of the largest size.
  static constexpr std::size_t kGrowing = (std::size_t{1} << kLastBits) - (std::size_t{1} << kFirstBits);

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T& operator[](std::size_t i) {
    std::size_t chunk, offset;
    locate(i, chunk, offset);
    return chunks_[chunk][offset];
  }
  const T& operator[](std::size_t i) const { return const_cast<ChunkedArray&>(*this)[i]; }

  void push(const T& v) {
    if (room_ == 0) {
      const std::size_t n = chunkSize(chunks_.size());
      chunks_.push_back(std::make_unique_for_overwrite<T[]>(n));
      last_ = chunks_.back().get();
      room_ = n;
    }
    *last_++ = v;
    --room_;
    ++size_;
  }
  void append(const T* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) push(p[i]);
  }
  // Grows to `n` elements, the new ones `fill`.
  void growTo(std::size_t n, const T& fill) {
    while (size_ < n) push(fill);
  }
  // Calls f(element) for each element in order, letting each chunk go once done; the list is
  // empty afterwards.
  template <class F>
  void consume(F&& f) {
    std::size_t left = size_;
    for (std::size_t c = 0; c < chunks_.size() && left > 0; ++c) {
      const std::size_t n = std::min(chunkSize(c), left);
      const T* p = chunks_[c].get();
      for (std::size_t i = 0; i < n; ++i) f(p[i]);
      left -= n;
      chunks_[c].reset();
    }
    clear();
  }
  // Appends the elements to `out` (which should have room reserved) and empties this list.
  void moveInto(std::vector<T>& out) {
    std::size_t left = size_;
    for (std::size_t c = 0; c < chunks_.size() && left > 0; ++c) {
      const std::size_t n = std::min(chunkSize(c), left);
      out.insert(out.end(), chunks_[c].get(), chunks_[c].get() + n);
      left -= n;
      chunks_[c].reset();
    }
    clear();
  }
  void clear() {
    chunks_.clear();
    chunks_.shrink_to_fit();
    size_ = room_ = 0;
    last_ = nullptr;
  }

 private:
  static std::size_t chunkSize(std::size_t c) {
    return std::size_t{1} << std::min<std::size_t>(kFirstBits + c, kLastBits);
  }
  static void locate(std::size_t i, std::size_t& chunk, std::size_t& offset) {
    if (i < kGrowing) {
      // Chunk c starts at 4096 (2^c - 1).
      const std::size_t scaled = (i >> kFirstBits) + 1;
      chunk = static_cast<std::size_t>(63 - __builtin_clzll(scaled));
      offset = i - ((std::size_t{1} << (kFirstBits + chunk)) - (std::size_t{1} << kFirstBits));
    } else {
      chunk = (kLastBits - kFirstBits) + ((i - kGrowing) >> kLastBits);
      offset = (i - kGrowing) & ((std::size_t{1} << kLastBits) - 1);
    }
  }

  std::vector<std::unique_ptr<T[]>> chunks_;
  std::size_t size_ = 0, room_ = 0;
  T* last_ = nullptr;
};

// The messages of one read: the error line that fails it, and warnings, each printed once.
class ReadReport {
 public:
  ReadReport(std::string name, bool quiet) : name_(std::move(name)), quiet_(quiet) {}
  const std::string& name() const { return name_; }
  bool quiet() const { return quiet_; }

  // Prints "NAME: what" as the load's error line (printLoadError); returns false.
  bool fail(const std::string& what) const;
  // Prints "Warning: NAME: what".
  void warn(const std::string& what) const;

 private:
  std::string name_;
  bool quiet_;
};

// A display (sRGB) value in [0, 1] made linear; values outside are clamped first.
float srgbToLinear(float v);
// The same for the 256 values of an 8-bit channel.
const float* srgb8ToLinearTable();

}  // namespace meshio
