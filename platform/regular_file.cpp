#include "platform/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace platform {

namespace {

bool fail(std::string* why, const std::string& reason) {
  if (why != nullptr) *why = reason;
  return false;
}

// Reads until `count` bytes are in or the file ends; -1 on an error.
ssize_t readUpTo(int fd, void* to, std::size_t count) {
  std::size_t done = 0;
  while (done < count) {
    ssize_t n = ::read(fd, static_cast<char*>(to) + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

template <class Bytes>
bool readWhole(const std::filesystem::path& path, Bytes& out, std::string* why, uint64_t limit) {
  uint64_t size = 0;
  const int fd = openRegularFile(path, why, &size);
  if (fd < 0) return false;
  if (size > limit) {
    ::close(fd);
    return fail(why, "is larger than " + std::to_string(limit) + " bytes");
  }
  out.resize(static_cast<std::size_t>(size));
  ssize_t got = readUpTo(fd, out.data(), out.size());
  const int error = errno;
  ::close(fd);
  if (got < 0) return fail(why, std::strerror(error));
  // A file that shrank while it was read ends where its bytes did.
  out.resize(static_cast<std::size_t>(got));
  return true;
}

}  // namespace

int openRegularFile(const std::filesystem::path& path, std::string* why, uint64_t* size) {
  // Without blocking: opening a FIFO for reading would wait for a writer.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    const int error = errno;
    fail(why, std::strerror(error));
    return -1;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    const bool directory = S_ISDIR(st.st_mode);
    ::close(fd);
    fail(why, directory ? "is a directory" : "is not a regular file");
    return -1;
  }
  if (size != nullptr) *size = static_cast<uint64_t>(st.st_size);
  return fd;
}

bool readRegularFile(const std::filesystem::path& path, std::vector<uint8_t>& out, std::string* why,
                     uint64_t limit) {
  return readWhole(path, out, why, limit);
}

bool readRegularFile(const std::filesystem::path& path, std::string& out, std::string* why, uint64_t limit) {
  return readWhole(path, out, why, limit);
}

bool readFileHead(const std::filesystem::path& path, std::size_t count, std::vector<uint8_t>& out, uint64_t& size,
                  std::string* why) {
  const int fd = openRegularFile(path, why, &size);
  if (fd < 0) return false;
  out.resize(static_cast<std::size_t>(std::min<uint64_t>(count, size)));
  ssize_t got = readUpTo(fd, out.data(), out.size());
  const int error = errno;
  ::close(fd);
  if (got < 0) return fail(why, std::strerror(error));
  out.resize(static_cast<std::size_t>(got));
  return true;
}

}  // namespace platform
