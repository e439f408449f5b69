// Program entry. With no arguments: the viewer. Options are additions for users and tests;
// they never change what the program does without them.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "app/desktop_app.h"
#include "app/headless_mode.h"
#include "app/info_command.h"
#include "app/shading_options.h"

namespace {

void printUsage(std::FILE* out) {
  std::fprintf(out,
               "usage: modelviewer [--stats] [--validate]\n"
               "       modelviewer MODEL [--ani ANIM]... [--stats] [--validate]\n"
               "                   %s\n"
               "       modelviewer --headless [--frames N] [--screenshot FILE.png] [--hold KEY:FIRST-LAST]...\n"
               "                   [--stats] [--validate] [--empty]\n"
               "       modelviewer --headless MODEL [--ani ANIM]... [--size WxH] [--frames N]\n"
               "                   [--screenshot FILE.png] [--stats] [--validate]\n"
               "                   [--video OUT.mp4|.webm|.gif [--turntable SECONDS] [--animation N] [--fps F]]\n"
               "                   %s\n"
               "       modelviewer --thumbnail SIZE INPUT OUTPUT.png\n"
               "       %s\n"
               "       modelviewer --help | --version\n",
               kShadingUsage, kShadingUsage, kInfoUsage);
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
  // The mode may stand anywhere among the options, as in other viewers
  // ("modelviewer model.dae --headless --screenshot a.png"); the rest are its own.
  for (const char* mode : {"--headless", "--thumbnail", "--info"}) {
    auto at = std::find(args.begin(), args.end(), mode);
    if (at == args.end()) continue;
    const std::string found = *at;
    args.erase(at);
    std::string error;
    if (found == "--info") return runInfoCommand(args, stdout);
    auto options = found == "--headless" ? ParseHeadlessOptions(args, error) : ParseThumbnailOptions(args, error);
    if (!options) return usage(error);
    return RunHeadless(*options);
  }
  DesktopOptions options;
  bool shadingGiven = false;
  std::string error;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--stats") {
      options.printStats = true;
    } else if (a == "--validate") {
      options.validation = true;
    } else if (a == "--ani" && i + 1 < args.size()) {
      // Whole paths: the program then makes its data folder current.
      options.animations.push_back(std::filesystem::absolute(args[++i]).string());
    } else if (!a.empty() && a[0] != '-' && options.model.empty()) {
      options.model = std::filesystem::absolute(a).string();
    } else if (const OptionParse shading = ParseShadingOption(args, i, options.shading, error);
               shading != OptionParse::kNotMine) {
      if (shading == OptionParse::kBad) return usage(error);
      shadingGiven = true;
    } else {
      return usage(a == "--ani" ? "--ani needs a file after it" : "unknown option: " + a);
    }
  }
  if ((!options.animations.empty() || shadingGiven) && options.model.empty()) {
    return usage("--ani and the shading options need a MODEL");
  }
  return RunDesktop(options);
}
