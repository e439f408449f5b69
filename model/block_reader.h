// Line and block reading shared by the .mdl, .ani and .cdr readers: keyword lines cut at a
// block's separator set, value lines, number lines whose buffer size comes from a count in the
// file, and the FLOAT_ARRAY and WEIGHTS blocks that models and collider files have in common.
// Depends only on the line reader, the number parser and the model records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "model/model_data.h"
#include "platform/line_reader.h"

namespace blocks {

// Separator sets: top level and the MATERIAL, TEXTURE and GEOMETRY blocks; the FLOAT_ARRAY,
// POLYGON_DATA and WEIGHTS blocks; bone blocks; value lines.
inline constexpr std::u16string_view kOuterSeparators = u" []<>\n";
inline constexpr std::u16string_view kInnerSeparators = u" <>\n";
inline constexpr std::u16string_view kBoneSeparators = u" \t<>\n";
inline constexpr std::u16string_view kValueSeparators = u" \n";

// Wide reads of keyword and value lines: at most 1023 characters per read.
inline constexpr std::size_t kLineUnits = 1024;

// The buffer size, in bytes, of a number line sized by a count: `numbers` x `perNumber` x 128
// bytes, computed without overflow and saturated (never allocated: the line reader only uses
// it as a bound). A product of zero or less gives 0, a buffer that reads nothing.
std::size_t countedLineBytes(int64_t numbers, int64_t perNumber = 1);

// Reads keyword, value and number lines from one file.
class BlockReader {
 public:
  explicit BlockReader(text::LineReader& lines) : lines_(lines) {}

  // Reads the next keyword line and cuts it at `separators`: the first token is the keyword,
  // the second the value (both empty when absent). False at the end of the file.
  bool nextKeywordLine(std::u16string_view separators);
  std::u16string_view keyword() const { return keyword_; }
  // The value token, cut to a name (at most 1023 units).
  std::u16string value() const;
  std::u16string_view rawValue() const { return value_; }
  int32_t intValue() const;
  float floatValue() const;
  bool is(std::u16string_view word) const { return keyword_ == word; }

  // The first token of the next line read as wide text of at most `units` - 1 characters,
  // cut at spaces and line feeds; empty when the line has none or the file has ended.
  std::u16string readValueLine(std::size_t units = kLineUnits);
  // Every token of the next wide line (at most `units` - 1 characters), each cut to a name.
  std::vector<std::u16string> readNameLine(std::size_t units);

  // Reads the next 8-bit line (a buffer of `bufferBytes` bytes) and converts its first `count`
  // tokens to floats; positions with no token get 0. False at the end of the file.
  bool readFloats(std::size_t bufferBytes, float* out, int count);

  // Reads the next 8-bit line (a buffer of `bufferBytes` bytes). False at the end of the file.
  bool readLine(std::size_t bufferBytes, std::string_view& line) {
    return lines_.readBytes(bufferBytes, line);
  }

  // Appends every integer on the next 8-bit line (a buffer of `bufferBytes` bytes);
  // `expected` is how many the file announces (room is made for them, never more than the
  // line can hold).
  void readIndices(std::size_t bufferBytes, std::vector<int32_t>& out, int64_t expected = 0);

  bool atEnd() const { return lines_.atEnd(); }

 private:
  text::LineReader& lines_;
  std::u16string line_;
  std::u16string_view keyword_;
  std::u16string_view value_;
};

// How the two formats differ in their FLOAT_ARRAY blocks.
struct FloatArrayRules {
  // Counts of 0 are accepted (models) or not (collider files).
  bool acceptZeroCounts = true;
  // Tuple sizes other than 2, 3 and 4 keep their values one float per element (models) or
  // keep an empty list (collider files).
  bool keepOtherTupleSizes = true;
};

// Reads a FLOAT_ARRAY block after its "FLOAT_ARRAY_BEGIN" line up to "FLOAT_ARRAY_END".
// Returns false when the file ends first (the array is then incomplete).
bool readFloatArrayBlock(BlockReader& reader, FloatArray& array, const FloatArrayRules& rules);

// Reads a WEIGHTS block after its "WEIGHTS_BEGIN" line up to "WEIGHTS_END" into `table` and
// `weightCount`. Returns false when the file ends first.
bool readWeightsBlock(BlockReader& reader, WeightTable& table, int32_t& weightCount);

// Reads the index line after an "..._INDEX_COUNT" keyword with count `count` and appends its
// integers to `out`; a count of 0 or less reads no line.
void readCountedIndices(BlockReader& reader, int32_t count, std::vector<int32_t>& out);

}  // namespace blocks
