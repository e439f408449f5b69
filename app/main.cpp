// Program entry. With no arguments: the viewer. Options are additions for users and tests;
// they never change what the program does without them.
#include <cstdio>
#include <string>
#include <vector>

#include "app/desktop_app.h"
#include "app/headless_mode.h"
#include "app/info_command.h"

namespace {

int usage(const std::string& problem = {}) {
  if (!problem.empty()) std::fprintf(stderr, "modelviewer: %s\n", problem.c_str());
  std::fprintf(stderr,
               "usage: modelviewer [--stats]\n"
               "       modelviewer --headless [--frames N] [--screenshot FILE.png] [--hold KEY:FIRST-LAST]...\n"
               "                   [--stats] [--validate] [--empty]\n"
               "       %s\n",
               kInfoUsage);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && args[0] == "--headless") {
    std::string error;
    auto options = ParseHeadlessOptions({args.begin() + 1, args.end()}, error);
    if (!options) return usage(error);
    return RunHeadless(*options);
  }
  if (!args.empty() && args[0] == "--info") {
    return runInfoCommand({args.begin() + 1, args.end()}, stdout);
  }
  if (args.size() > 1 || (args.size() == 1 && args[0] != "--stats")) return usage("unknown option: " + args.back());
  return RunDesktop(!args.empty());
}
