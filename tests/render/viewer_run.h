// Running the real program for a test: its exit status, stdout and stderr. The Vulkan driver
// keeps allocations until the process ends, so leak checking is off for the program; every other
// sanitizer report still fails the run.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

struct ViewerRun {
  int status = -1;
  std::string out, err;
};

// `args` as the shell reads them, with `folder` as the working folder.
inline ViewerRun runViewer(const std::string& args, const std::filesystem::path& folder = MV_RUN_DIR) {
  namespace fs = std::filesystem;
  const fs::path errFile = fs::temp_directory_path() / ("mv_viewer_err_" + std::to_string(::getpid()) + ".txt");
  std::string command = "cd '" + folder.string() + "' && ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 '" MV_PROGRAM
                        "' " + args + " 2>'" + errFile.string() + "'";
  ViewerRun run;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  char buffer[4096];
  std::size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe.get())) > 0) run.out.append(buffer, n);
  int status = pclose(pipe.release());
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::ifstream in(errFile);
  run.err.assign(std::istreambuf_iterator<char>(in), {});
  fs::remove(errFile);
  return run;
}
