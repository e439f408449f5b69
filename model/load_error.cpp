#include "model/load_error.h"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace {

thread_local LoadErrorCapture* current = nullptr;

}  // namespace

LoadErrorCapture::LoadErrorCapture() : outer_(current) { current = this; }

LoadErrorCapture::~LoadErrorCapture() { current = outer_; }

void printLoadError(const char* format, ...) {
  // As long as it needs to be: a message names whole paths, which may be long, and its reason.
  std::va_list args, again;
  va_start(args, format);
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string line(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
  if (length > 0) std::vsnprintf(line.data(), line.size() + 1, format, again);
  va_end(again);
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
  line.pop_back();
  if (current != nullptr) current->line_ = std::move(line);
}
