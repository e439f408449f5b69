#include "model/load_error.h"

#include <cstdarg>
#include <cstdio>

namespace {

thread_local LoadErrorCapture* current = nullptr;

}  // namespace

LoadErrorCapture::LoadErrorCapture() : outer_(current) { current = this; }

LoadErrorCapture::~LoadErrorCapture() { current = outer_; }

void printLoadError(const char* format, ...) {
  char buffer[1024];
  std::va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  std::fprintf(stderr, "%s\n", buffer);
  if (current != nullptr) current->line_ = buffer;
}
