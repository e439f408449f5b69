// Program entry. With no arguments: the viewer. Options are additions for users and tests.
#include <cstdio>
#include <cstring>

namespace {

int usage() {
  std::fprintf(stderr, "usage: modelviewer\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) return usage();
  (void)argv;
  std::fprintf(stderr, "modelviewer: the viewer window is not built yet; nothing to show\n");
  return 1;
}
