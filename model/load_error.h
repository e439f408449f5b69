// The one line a failed load prints on stderr, kept for a caller that also shows it elsewhere
// (the desktop program's bar). Each thread keeps its own, so loads on other threads never mix.
#pragma once

#include <string>

// Prints `format` (printf-style, newline added) as one line on stderr and, while a
// LoadErrorCapture is alive on this thread, keeps it as that capture's line.
void printLoadError(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Keeps the last line printLoadError printed on this thread during its lifetime; captures nest.
class LoadErrorCapture {
 public:
  LoadErrorCapture();
  ~LoadErrorCapture();
  LoadErrorCapture(const LoadErrorCapture&) = delete;
  LoadErrorCapture& operator=(const LoadErrorCapture&) = delete;

  const std::string& line() const { return line_; }

 private:
  friend void printLoadError(const char* format, ...);
  std::string line_;
  LoadErrorCapture* outer_;
};
