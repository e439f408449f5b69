// Program entry. With no arguments: the viewer. Options are additions for users and tests;
// they never change what the program does without them.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "app/desktop_app.h"
#include "app/headless_mode.h"
#include "app/info_command.h"

namespace {

void printUsage(std::FILE* out) {
  std::fprintf(out,
               "usage: modelviewer [--stats] [--validate]\n"
               "       modelviewer MODEL [--ani ANIM]... [--stats] [--validate]\n"
               "       modelviewer --headless [--frames N] [--screenshot FILE.png] [--hold KEY:FIRST-LAST]...\n"
               "                   [--stats] [--validate] [--empty]\n"
               "       modelviewer --headless MODEL [--ani ANIM]... [--size WxH] [--frames N]\n"
               "                   [--screenshot FILE.png] [--stats] [--validate]\n"
               "       modelviewer --thumbnail SIZE INPUT OUTPUT.png\n"
               "       %s\n"
               "       modelviewer --help | --version\n",
               kInfoUsage);
}

// A usage error: the problem and the usage on stderr, exit status 2.
int usage(const std::string& problem = {}) {
  if (!problem.empty()) std::fprintf(stderr, "modelviewer: %s\n", problem.c_str());
  printUsage(stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
    printUsage(stdout);
    return 0;
  }
  if (args.size() == 1 && args[0] == "--version") {
    std::printf("modelviewer %s\n", MV_VERSION);
    return 0;
  }
  if (!args.empty() && args[0] == "--headless") {
    std::string error;
    auto options = ParseHeadlessOptions({args.begin() + 1, args.end()}, error);
    if (!options) return usage(error);
    return RunHeadless(*options);
  }
  if (!args.empty() && args[0] == "--thumbnail") {
    std::string error;
    auto options = ParseThumbnailOptions({args.begin() + 1, args.end()}, error);
    if (!options) return usage(error);
    return RunHeadless(*options);
  }
  if (!args.empty() && args[0] == "--info") {
    return runInfoCommand({args.begin() + 1, args.end()}, stdout);
  }
  DesktopOptions options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--stats") {
      options.printStats = true;
    } else if (a == "--validate") {
      options.validation = true;
    } else if (a == "--ani" && i + 1 < args.size() && !options.model.empty()) {
      // Whole paths: the program then makes its data folder current.
      options.animations.push_back(std::filesystem::absolute(args[++i]).string());
    } else if (!a.empty() && a[0] != '-' && options.model.empty()) {
      options.model = std::filesystem::absolute(a).string();
    } else {
      return usage(a == "--ani" ? "--ani needs a MODEL before it and a file after it" : "unknown option: " + a);
    }
  }
  return RunDesktop(options);
}
