#include "platform/line_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/text.h"

namespace text {

bool LineReader::open(const std::filesystem::path& path, std::string* error) {
  data_.clear();
  pos_ = 0;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (error) *error = std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (error) *error = S_ISDIR(st.st_mode) ? "is a directory" : "not a regular file";
    ::close(fd);
    return false;
  }
  data_.resize(static_cast<std::size_t>(st.st_size));
  std::size_t got = 0;
  for (;;) {
    if (got == data_.size()) data_.resize(data_.size() + 4096);  // the file may have grown
    ssize_t n = ::read(fd, data_.data() + got, data_.size() - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (error) *error = std::strerror(errno);
      ::close(fd);
      data_.clear();
      return false;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  data_.resize(got);
  dropCarriageReturns();
  return true;
}

void LineReader::openBytes(std::string content) {
  data_ = std::move(content);
  pos_ = 0;
  dropCarriageReturns();
}

// Text mode: "\r\n" becomes "\n"; a carriage return anywhere else stays.
void LineReader::dropCarriageReturns() {
  const char* first = static_cast<const char*>(std::memchr(data_.data(), '\r', data_.size()));
  if (first == nullptr) return;
  std::size_t out = static_cast<std::size_t>(first - data_.data());
  for (std::size_t in = out; in < data_.size(); ++in) {
    if (data_[in] == '\r' && in + 1 < data_.size() && data_[in + 1] == '\n') continue;
    data_[out++] = data_[in];
  }
  data_.resize(out);
}

bool LineReader::readBytes(std::size_t bufferBytes, std::string_view& piece) {
  if (atEnd()) return false;
  piece = {};
  if (bufferBytes <= 1) return true;
  std::size_t limit = std::min(bufferBytes - 1, data_.size() - pos_);
  const char* start = data_.data() + pos_;
  const char* nl = static_cast<const char*>(std::memchr(start, '\n', limit));
  std::size_t len = nl ? static_cast<std::size_t>(nl - start) + 1 : limit;
  pos_ += len;
  const char* nul = static_cast<const char*>(std::memchr(start, '\0', len));
  piece = std::string_view(start, nul ? static_cast<std::size_t>(nul - start) : len);
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
