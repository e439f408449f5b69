#include "app/whole_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace fs = std::filesystem;

namespace {

bool fail(std::string* why, const std::string& reason) {
  if (why != nullptr) *why = reason;
  return false;
}

bool writeAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// The temporary file a signal handler removes: a path in static storage, since a handler may
// only call async-signal-safe functions (unlink, raise), never allocate.
char pendingTemporary[4096];
std::atomic<bool> temporaryPending{false};

void removeTemporaryAndResend(int signal) {
  if (temporaryPending.load()) ::unlink(pendingTemporary);
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

// For a temporary file's lifetime: the signals that end a process remove it first, and a
// file-size limit becomes EFBIG from write() rather than SIGXFSZ.
class TemporaryGuard {
 public:
  explicit TemporaryGuard(const fs::path& temporary) {
    const std::string& path = temporary.native();
    if (path.size() < sizeof pendingTemporary) {
      std::memcpy(pendingTemporary, path.c_str(), path.size() + 1);
      temporaryPending.store(true);
    }
    struct sigaction remove {};
    remove.sa_handler = removeTemporaryAndResend;
    sigemptyset(&remove.sa_mask);
    for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &remove, &previous_[i]);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGXFSZ, &ignore, &previousXfsz_);
  }
  ~TemporaryGuard() {
    sigaction(SIGXFSZ, &previousXfsz_, nullptr);
    for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &previous_[i], nullptr);
    temporaryPending.store(false);
  }
  TemporaryGuard(const TemporaryGuard&) = delete;
  TemporaryGuard& operator=(const TemporaryGuard&) = delete;

 private:
  static constexpr int kSignals[3] = {SIGINT, SIGTERM, SIGHUP};
  struct sigaction previous_[3] {};
  struct sigaction previousXfsz_ {};
};

}  // namespace

fs::path WriteDestination(const fs::path& target, std::string* why) {
  fs::path at = target;
  // Follows the chain of links by hand: the link's own name must not be replaced, and a
  // dangling link names the new file's place.
  for (int hops = 0;; ++hops) {
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(at, ec);
    if (!fs::is_symlink(status)) break;
    if (hops == 40) {
      fail(why, "leads through too many symbolic links");
      return {};
    }
    fs::path next = fs::read_symlink(at, ec);
    if (ec) {
      fail(why, ec.message());
      return {};
    }
    at = next.is_absolute() ? next : at.parent_path() / next;
  }
  std::error_code ec;
  const fs::file_status status = fs::status(at, ec);
  if (fs::exists(status) && !fs::is_regular_file(status)) {
    fail(why, fs::is_directory(status) ? "is a directory" : "is not a regular file");
    return {};
  }
  const fs::path folder = at.parent_path().empty() ? fs::path(".") : at.parent_path();
  if (!fs::is_directory(folder, ec)) {
    fail(why, "its folder " + folder.string() + " does not exist");
    return {};
  }
  return at;
}

bool WriteFileWhole(const fs::path& target, const std::string& bytes, std::string* why) {
  const fs::path destination = WriteDestination(target, why);
  if (destination.empty()) return false;
  // A unique temporary name in the same folder, so that the rename is atomic and two writers
  // never share one.
  static std::atomic<unsigned> serial{0};
  fs::path temporary = destination;
  temporary += ".tmp." + std::to_string(::getpid()) + "." + std::to_string(serial++);
  TemporaryGuard guard(temporary);
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return fail(why, std::strerror(errno));
  // A file written again keeps the permissions it had.
  struct stat existing {};
  if (::stat(destination.c_str(), &existing) == 0) ::fchmod(fd, existing.st_mode & 07777);
  bool ok = writeAll(fd, bytes) && ::fsync(fd) == 0;
  int error = ok ? 0 : errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (ok && std::rename(temporary.c_str(), destination.c_str()) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    ::unlink(temporary.c_str());
    return fail(why, std::strerror(error));
  }
  return true;
}
