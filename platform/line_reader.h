// Reads a text-mode file line by line the way a fixed line buffer would: a carriage return
// before a line feed is dropped, and a line longer than the caller's buffer arrives in pieces,
// the rest of it coming with the next read. Byte reads and wide (CP932 -> UTF-16) reads may be
// mixed on one file.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace text {

class LineReader {
 public:
  // Reads the whole file. Returns false when it cannot be opened or read (not a regular file,
  // no permission, ...); `error` then says why.
  bool open(const std::filesystem::path& path, std::string* error = nullptr);

  // Uses `content` as the file's bytes (for tests and fuzzing).
  void openBytes(std::string content);

  // As a read into a buffer of `bufferBytes` bytes: false at the end of the file. Otherwise
  // `piece` holds at most bufferBytes - 1 bytes, ending after the line feed when the line
  // fits. A buffer of 0 or 1 bytes reads nothing. The piece ends at the first NUL byte, as a
  // C string would, though the whole piece is consumed. `piece` stays valid until the reader
  // is reopened or destroyed.
  bool readBytes(std::size_t bufferBytes, std::string_view& piece);

  // As a wide read into a buffer of `bufferUnits` UTF-16 units: false at the end of the file.
  // Otherwise `piece` holds at most bufferUnits - 1 characters decoded from CP932 (invalid
  // bytes become U+FFFD), ending after the line feed when the line fits.
  bool readWide(std::size_t bufferUnits, std::u16string& piece);

  bool atEnd() const { return pos_ >= data_.size(); }

 LineReader() = default;
  ~LineReader();
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

 private:
  void release();
  void dropCarriageReturns();
  void findNul(std::size_t from);

  // The file's bytes: in an anonymous mapping filled by read() (a large file then costs no
  // zero-fill pass and no copy), or in `owned_` (bytes given, or a file that grew while read).
  char* mapped_ = nullptr;
  std::size_t mappedBytes_ = 0;
  std::string owned_;
  std::string_view data_;
  std::size_t pos_ = 0;
  // Position of the first NUL byte at or after the last search (data_.size() when none), so
  // that a byte read needs no second pass over its piece.
  std::size_t nextNul_ = 0;
};

}  // namespace text
