#include "app/whole_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace fs = std::filesystem;

namespace {

std::string readText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool anyTemporary(const fs::path& folder) {
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.path().filename().string().find(".tmp.") != std::string::npos) return true;
  }
  return false;
}

class WholeFile : public testing::Test {
 protected:
  void SetUp() override { fs::create_directories(dir_); }
  void TearDown() override { fs::remove_all(dir_); }
  const fs::path dir_ = fs::temp_directory_path() / ("whole_file_test_" + std::to_string(::getpid()));
};

// Where a write may land: a new name, a file (its permissions kept), the file a chain of links
// leads to (the links stay links), and nowhere else, with the reason.
TEST_F(WholeFile, WritesLandOnFilesAndThroughLinksAndNowhereElse) {
  std::ofstream(dir_ / "old.png") << "old";
  fs::permissions(dir_ / "old.png", fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  fs::create_symlink("old.png", dir_ / "link.png");
  fs::create_symlink("link.png", dir_ / "link2.png");
  fs::create_symlink(dir_ / "fresh.png", dir_ / "dangling.png");
  fs::create_symlink("loop.png", dir_ / "loop.png");
  fs::create_directory(dir_ / "folder");
  ASSERT_EQ(::mkfifo((dir_ / "pipe.png").c_str(), 0600), 0);

  struct Case {
    fs::path target;
    fs::path written;    // where the bytes must land; empty: refused
    const char* reason;  // for a refusal
  };
  const Case cases[] = {
      {dir_ / "new.png", dir_ / "new.png", ""},
      {dir_ / "old.png", dir_ / "old.png", ""},
      {dir_ / "link2.png", dir_ / "old.png", ""},
      {dir_ / "dangling.png", dir_ / "fresh.png", ""},
      {dir_ / "loop.png", {}, "too many symbolic links"},
      {dir_ / "folder", {}, "is a directory"},
      {dir_ / "pipe.png", {}, "is not a regular file"},
      {"/dev/full", {}, "is not a regular file"},
      {dir_ / "missing" / "a.png", {}, "does not exist"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target.string());
    std::string why;
    const bool ok = WriteFileWhole(c.target, "picture", &why);
    EXPECT_EQ(ok, !c.written.empty()) << why;
    if (ok) {
      EXPECT_EQ(readText(c.written), "picture");
    } else {
      EXPECT_NE(why.find(c.reason), std::string::npos) << why;
    }
  }
  EXPECT_TRUE(fs::is_symlink(dir_ / "link.png"));
  EXPECT_TRUE(fs::is_symlink(dir_ / "link2.png"));
  EXPECT_TRUE(fs::is_symlink(dir_ / "dangling.png"));
  EXPECT_EQ(fs::status(dir_ / "old.png").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_FALSE(anyTemporary(dir_));
}

// A write that cannot finish leaves the old file and no temporary: a file-size limit is a
// reported error, and a signal that ends the program takes the temporary with it.
TEST_F(WholeFile, FailedAndInterruptedWritesLeaveNoTemporary) {
  std::ofstream(dir_ / "kept.png") << "old";
  pid_t child = fork();
  if (child == 0) {
    struct rlimit small {100, 100};
    setrlimit(RLIMIT_FSIZE, &small);
    std::string why;
    const bool written = WriteFileWhole(dir_ / "kept.png", std::string(1000, 'x'), &why);
    _exit(!written && why == "File too large" ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(readText(dir_ / "kept.png"), "old");

  for (int signal : {SIGTERM, SIGINT}) {
    child = fork();
    if (child == 0) {
      // The signal arrives while the temporary exists: a write large enough to take a while.
      std::thread interrupt([this, signal] {
        while (!anyTemporary(dir_)) std::this_thread::sleep_for(std::chrono::microseconds(200));
        ::kill(::getpid(), signal);
      });
      WriteFileWhole(dir_ / "big.png", std::string(size_t{256} << 20, 'x'));
      interrupt.join();
      _exit(0);
    }
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
    EXPECT_FALSE(anyTemporary(dir_));
    fs::remove(dir_ / "big.png");  // should the write have won the race
  }
}

}  // namespace
