#include "model/mesh_formats/mesh_reading.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "model/load_error.h"
#include "platform/regular_file.h"

namespace meshio {

ByteSource::~ByteSource() {
  if (fd_ >= 0) ::close(fd_);
}

bool ByteSource::open(const std::filesystem::path& path, std::string* why) {
  fd_ = platform::openRegularFile(path, why);
  if (fd_ < 0) return false;
  struct stat st {};
  if (::fstat(fd_, &st) != 0) {
    if (why != nullptr) *why = std::strerror(errno);
    return false;
  }
  size_ = static_cast<uint64_t>(st.st_size);
  return true;
}

void ByteSource::openBytes(std::span<const uint8_t> bytes) {
  memory_ = bytes;
  size_ = bytes.size();
}

bool ByteSource::window(uint64_t pos, std::size_t count, std::span<const uint8_t>& out, std::string* why) {
  pos = std::min(pos, size_);
  count = static_cast<std::size_t>(std::min<uint64_t>(count, size_ - pos));
  if (fd_ < 0) {
    out = memory_.subspan(static_cast<std::size_t>(pos), count);
    return true;
  }
  // Keep what the buffer already holds from `pos` on, then read the rest after it.
  std::size_t kept = 0;
  if (pos >= bufferStart_ && pos < bufferStart_ + bufferLength_) {
    kept = static_cast<std::size_t>(bufferStart_ + bufferLength_ - pos);
    kept = std::min(kept, count);
  }
  if (count > capacity_) {
    std::unique_ptr<uint8_t[]> bigger(new uint8_t[count]);
    if (kept > 0) std::memcpy(bigger.get(), buffer_.get() + (pos - bufferStart_), kept);
    buffer_ = std::move(bigger);
    capacity_ = count;
  } else if (kept > 0 && pos != bufferStart_) {
    std::memmove(buffer_.get(), buffer_.get() + (pos - bufferStart_), kept);
  }
  bufferStart_ = pos;
  bufferLength_ = kept;
  while (bufferLength_ < count) {
    const ssize_t n = ::pread(fd_, buffer_.get() + bufferLength_, count - bufferLength_,
                              static_cast<off_t>(pos + bufferLength_));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (why != nullptr) *why = std::strerror(errno);
      return false;
    }
    if (n == 0) {
      // The file shrank while it was read: it ends here.
      size_ = pos + bufferLength_;
      break;
    }
    bufferLength_ += static_cast<std::size_t>(n);
  }
  out = std::span<const uint8_t>(buffer_.get(), bufferLength_);
  return true;
}

bool ByteSource::readAt(uint64_t pos, std::span<uint8_t> to, std::size_t& got, std::string* why) const {
  got = 0;
  if (pos >= size_) return true;
  const std::size_t count = static_cast<std::size_t>(std::min<uint64_t>(to.size(), size_ - pos));
  if (fd_ < 0) {
    std::memcpy(to.data(), memory_.data() + pos, count);
    got = count;
    return true;
  }
  while (got < count) {
    const ssize_t n = ::pread(fd_, to.data() + got, count - got, static_cast<off_t>(pos + got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (why != nullptr) *why = std::strerror(errno);
      return false;
    }
    if (n == 0) break;  // the file shrank while it was read
    got += static_cast<std::size_t>(n);
  }
  return true;
}

Workers::Workers(unsigned count) {
  for (unsigned i = 1; i < count; ++i) {
    try {
      threads_.emplace_back([this] { loop(); });
    } catch (const std::system_error&) {
      break;  // fewer threads: the jobs still run, on those there are
    }
  }
}

Workers::~Workers() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  start_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void Workers::work() {
  for (std::size_t i; (i = next_.fetch_add(1, std::memory_order_relaxed)) < parts_;) (*job_)(i);
}

void Workers::loop() {
  unsigned seen = 0;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      start_.wait(lock, [&] { return stopping_ || generation_ != seen; });
      if (stopping_) return;
      seen = generation_;
    }
    work();
    std::lock_guard<std::mutex> lock(mutex_);
    if (--busy_ == 0) done_.notify_one();
  }
}

void Workers::run(std::size_t n, const std::function<void(std::size_t)>& f) {
  if (threads_.empty() || n <= 1) {
    for (std::size_t i = 0; i < n; ++i) f(i);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    job_ = &f;
    parts_ = n;
    next_.store(0, std::memory_order_relaxed);
    busy_ = static_cast<unsigned>(threads_.size());
    ++generation_;
  }
  start_.notify_all();
  work();
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [&] { return busy_ == 0; });
  job_ = nullptr;
}

unsigned threadsFor(uint64_t bytes, unsigned requested) {
  if (requested != 0) return requested;
  if (bytes < kParallelBytes) return 1;
  const unsigned cores = std::thread::hardware_concurrency();
  return std::clamp(cores, 1u, 64u);
}

std::vector<std::size_t> lineSplits(std::string_view text, std::size_t parts) {
  std::vector<std::size_t> ends;
  if (text.empty()) return ends;
  parts = std::max<std::size_t>(parts, 1);
  std::size_t start = 0;
  for (std::size_t i = 1; i < parts && start < text.size(); ++i) {
    std::size_t at = std::max(start, text.size() * i / parts);
    const std::size_t lineEnd = text.find('\n', at);
    if (lineEnd == std::string_view::npos) break;
    if (lineEnd + 1 > start && lineEnd + 1 < text.size()) {
      ends.push_back(lineEnd + 1);
      start = lineEnd + 1;
    }
  }
  ends.push_back(text.size());
  return ends;
}

bool ReadReport::fail(const std::string& what) const {
  if (!quiet_) printLoadError("%s: %s", name_.c_str(), what.c_str());
  return false;
}

void ReadReport::warn(const std::string& what) const {
  if (!quiet_) std::fprintf(stderr, "Warning: %s: %s\n", name_.c_str(), what.c_str());
}

float srgbToLinear(float v) {
  if (!(v > 0)) return 0;  // NaN too
  if (v >= 1) return 1;
  return v <= 0.04045f ? v / 12.92f : std::pow((v + 0.055f) / 1.055f, 2.4f);
}

const float* srgb8ToLinearTable() {
  static const auto table = [] {
    std::vector<float> t(256);
    for (int i = 0; i < 256; ++i) t[static_cast<std::size_t>(i)] = srgbToLinear(static_cast<float>(i) / 255.0f);
    return t;
  }();
  return table.data();
}

}  // namespace meshio
