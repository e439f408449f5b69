#include "platform/line_reader.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/regular_file.h"
#include "platform/text.h"

namespace text {
namespace {

// read() until `bytes` are in or the file ends; the count read, or -1 with errno set.
ssize_t readFully(int fd, char* into, std::size_t bytes) {
  std::size_t got = 0;
  while (got < bytes) {
    ssize_t n = ::read(fd, into + got, bytes - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

}  // namespace

LineReader::~LineReader() { release(); }

void LineReader::release() {
  if (mapped_ != nullptr) munmap(mapped_, mappedBytes_);
  mapped_ = nullptr;
  mappedBytes_ = 0;
  owned_.clear();
  data_ = {};
  pos_ = 0;
  nextNul_ = 0;
}

bool LineReader::open(const std::filesystem::path& path, std::string* error) {
  release();
  int fd = platform::openRegularFile(path, error);
  if (fd < 0) return false;
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    if (error) *error = std::strerror(errno);
    ::close(fd);
    return false;
  }
  const std::size_t size = static_cast<std::size_t>(st.st_size);
  ssize_t got = 0;
  if (size > 0) {
    void* map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map != MAP_FAILED) {
      // Large pages where the system offers them: far fewer page faults for a large file.
      constexpr std::size_t kLargePage = 2u << 20;
      if (size >= kLargePage) madvise(map, size, MADV_HUGEPAGE);
      mapped_ = static_cast<char*>(map);
      mappedBytes_ = size;
      got = readFully(fd, mapped_, size);
    } else {
      owned_.resize(size);
      got = readFully(fd, owned_.data(), size);
    }
  }
  // The file may have grown since fstat: the rest goes to an owned copy.
  char more[4096];
  ssize_t extra = got >= 0 ? readFully(fd, more, sizeof more) : 0;
  if (extra > 0) {
    if (mapped_ != nullptr) owned_.assign(mapped_, static_cast<std::size_t>(got));
    owned_.resize(static_cast<std::size_t>(got));
    while (extra > 0) {
      owned_.append(more, static_cast<std::size_t>(extra));
      extra = readFully(fd, more, sizeof more);
    }
    if (mapped_ != nullptr) munmap(mapped_, mappedBytes_);
    mapped_ = nullptr;
    mappedBytes_ = 0;
    got = static_cast<ssize_t>(owned_.size());
  }
  if (got < 0 || extra < 0) {
    if (error) *error = std::strerror(errno);
    ::close(fd);
    release();
    return false;
  }
  ::close(fd);
  char* bytes = mapped_ != nullptr ? mapped_ : owned_.data();
  data_ = std::string_view(bytes, static_cast<std::size_t>(got));
  dropCarriageReturns();
  findNul(0);
  return true;
}

void LineReader::openBytes(std::string content) {
  release();
  owned_ = std::move(content);
  data_ = owned_;
  dropCarriageReturns();
  findNul(0);
}

void LineReader::findNul(std::size_t from) {
  const void* nul = std::memchr(data_.data() + from, '\0', data_.size() - from);
  nextNul_ = nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - data_.data())
                 : data_.size();
}

// Text mode: "\r\n" becomes "\n"; a carriage return anywhere else stays.
void LineReader::dropCarriageReturns() {
  const char* first = static_cast<const char*>(std::memchr(data_.data(), '\r', data_.size()));
  if (first == nullptr) return;
  // The bytes are this reader's own (a private mapping or owned_), so they are rewritten in
  // place.
  char* bytes = const_cast<char*>(data_.data());
  std::size_t out = static_cast<std::size_t>(first - bytes);
  for (std::size_t in = out; in < data_.size(); ++in) {
    if (bytes[in] == '\r' && in + 1 < data_.size() && bytes[in + 1] == '\n') continue;
    bytes[out++] = bytes[in];
  }
  data_ = std::string_view(bytes, out);
}

bool LineReader::readBytes(std::size_t bufferBytes, std::string_view& piece) {
  if (atEnd()) return false;
  piece = {};
  if (bufferBytes <= 1) return true;
  std::size_t limit = std::min(bufferBytes - 1, data_.size() - pos_);
  const char* start = data_.data() + pos_;
  const char* nl = static_cast<const char*>(std::memchr(start, '\n', limit));
  std::size_t len = nl ? static_cast<std::size_t>(nl - start) + 1 : limit;
  std::size_t from = pos_;
  pos_ += len;
  if (nextNul_ < from) findNul(from);
  std::size_t keep = nextNul_ < pos_ ? nextNul_ - from : len;
  piece = std::string_view(start, keep);
  return true;
}

bool LineReader::readWide(std::size_t bufferUnits, std::u16string& piece) {
  piece.clear();
  if (atEnd()) return false;
  if (bufferUnits <= 1) return true;
  std::size_t chars = 0;
  std::size_t end = pos_;
  while (end < data_.size() && chars < bufferUnits - 1) {
    unsigned char b = static_cast<unsigned char>(data_[end]);
    end = std::min(data_.size(), end + cp932CharBytes(b));
    ++chars;
    if (b == '\n') break;
  }
  std::string_view bytes(data_.data() + pos_, end - pos_);
  pos_ = end;
  piece = decodeCp932Lenient(bytes);
  std::size_t nul = piece.find(u'\0');
  if (nul != std::u16string::npos) piece.resize(nul);
  return true;
}

}  // namespace text
