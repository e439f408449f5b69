#include "model/block_reader.h"

#include <algorithm>
#include <limits>

#include "platform/number_text.h"
#include "platform/text.h"

namespace blocks {
namespace {

constexpr std::u16string_view kFloatArrayId = u"FLOAT_ARRAY_ID";
constexpr std::u16string_view kFloatArrayFloatCount = u"FLOAT_ARRAY_FLOAT_COUNT";
constexpr std::u16string_view kFloatArrayCount = u"FLOAT_ARRAY_COUNT";
constexpr std::u16string_view kFloatArray = u"FLOAT_ARRAY";
constexpr std::u16string_view kFloatArrayEnd = u"FLOAT_ARRAY_END";
constexpr std::u16string_view kWeightsSize = u"WEIGHTS_SIZE";
constexpr std::u16string_view kApplyBoneNum = u"APPLY_BONE_NUM";
constexpr std::u16string_view kWeightsEnd = u"WEIGHTS_END";

// Bone indices are stored a little above the file's value so that truncating them to an
// integer never lands one below.
constexpr double kBoneIndexBias = 0.00001;

void firstTwoTokens(std::u16string_view line, std::u16string_view separators,
                    std::u16string_view& first, std::u16string_view& second) {
  first = {};
  second = {};
  int seen = 0;
  text::forEachToken(line, separators, [&](std::u16string_view token) {
    (seen++ == 0 ? first : second) = token;
    return seen < 2;
  });
}

// The float value of a wide token; numbers are ASCII, anything else ends the number.
float parseWideFloat(std::u16string_view token) {
  std::string ascii(token.size(), '\0');
  for (std::size_t i = 0; i < token.size(); ++i) {
    ascii[i] = token[i] < 0x80 ? static_cast<char>(token[i]) : '\x7F';
  }
  return text::parseFloat(ascii);
}

// An upper bound of the numbers on a line: each takes a character and a separator, but the
// last.
int64_t estimatedNumbers(std::string_view line) {
  return static_cast<int64_t>(line.size() / 2 + 1);
}

// Fills the value list of a float array from the line after "FLOAT_ARRAY": at most n x k
// floats. A short line stores the tuples it begins, the last one completed with zeros; the
// announced tuples after them read as zeros without being stored, so a wrong count cannot make
// the list huge.
void readFloatArrayValues(BlockReader& reader, FloatArray& array, int32_t k, int32_t n,
                          const FloatArrayRules& rules) {
  array.hasValues = true;
  array.tupleSize = k;
  array.values.clear();
  array.zeroElements = 0;
  const bool tuples = k >= 2 && k <= 4;
  const bool keep = tuples || rules.keepOtherTupleSizes;
  const int64_t wanted = static_cast<int64_t>(n) * k;
  std::string_view line;
  // A file that ends here still has the announced tuples, all zeros.
  if (!reader.readLine(countedLineBytes(n, k), line)) line = {};
  // Every float takes at least two bytes of the line, so this is exact for a sound file and
  // never more than the line can fill for a wrong count.
  if (keep) array.values.reserve(static_cast<std::size_t>(std::min(wanted, estimatedNumbers(line))));
  int64_t taken = 0;
  text::forEachDoubleToken(line, [&](double value) {
    if (taken >= wanted) return false;
    if (keep) array.values.push_back(static_cast<float>(value));
    ++taken;
    return true;
  });
  if (tuples) {
    std::size_t k2 = static_cast<std::size_t>(k);
    array.values.resize((array.values.size() + k2 - 1) / k2 * k2, 0.0f);
  }
  if (keep) array.zeroElements = (tuples ? n : wanted) - array.count();
}

// Fills the table from the line after "APPLY_BONE_NUM": pairs in file order, row after row of
// `b` influences; influences beyond eight are dropped and missing ones stay 0, 0.
void readWeightValues(BlockReader& reader, WeightTable& table, int32_t s, int32_t b) {
  table = WeightTable{};
  table.created = true;
  table.rows = s;
  const int64_t maxFloats = 2 * static_cast<int64_t>(s) * b;
  std::string_view line;
  if (!reader.readLine(countedLineBytes(s, b), line)) return;
  const int64_t floats = std::min(maxFloats, estimatedNumbers(line));
  const int64_t rows = (floats / 2 + b - 1) / b;
  table.stored.reserve(static_cast<std::size_t>(rows) * WeightTable::kInfluences);
  // Walks row, slot and half of the pair along with the tokens (no division per number).
  int64_t used = 0;
  int64_t slot = 0;
  bool second = false;
  BoneWeight* entry = nullptr;
  text::forEachDoubleToken(line, [&](double value) {
    if (used++ >= maxFloats) return false;
    if (!second && slot < WeightTable::kInfluences) {
      if (slot == 0) table.stored.resize(table.stored.size() + WeightTable::kInfluences);
      entry = &table.stored[table.stored.size() - WeightTable::kInfluences +
                            static_cast<std::size_t>(slot)];
    }
    if (slot < WeightTable::kInfluences) {
      if (second) {
        entry->weight = static_cast<float>(value);
      } else {
        entry->boneIndex = static_cast<float>(value + kBoneIndexBias);
      }
    }
    if (second && ++slot == b) slot = 0;
    second = !second;
    return true;
  });
}

}  // namespace

std::size_t countedLineBytes(int64_t numbers, int64_t perNumber) {
  if (numbers <= 0 || perNumber <= 0) return 0;
  constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
  const unsigned __int128 bytes = static_cast<unsigned __int128>(numbers) *
                                  static_cast<unsigned __int128>(perNumber) * 128u;
  return bytes > kMax ? kMax : static_cast<std::size_t>(bytes);
}

bool BlockReader::nextKeywordLine(std::u16string_view separators) {
  if (!lines_.readWide(kLineUnits, line_)) {
    keyword_ = {};
    value_ = {};
    return false;
  }
  firstTwoTokens(line_, separators, keyword_, value_);
  return true;
}

std::u16string BlockReader::value() const { return text::boundedName(value_); }

int32_t BlockReader::intValue() const { return text::parseInt32(value_); }

float BlockReader::floatValue() const { return parseWideFloat(value_); }

std::u16string BlockReader::readValueLine(std::size_t units) {
  std::u16string line;
  lines_.readWide(units, line);
  std::u16string_view first;
  text::forEachToken(std::u16string_view(line), kValueSeparators, [&](std::u16string_view token) {
    first = token;
    return false;
  });
  return text::boundedName(first);
}

std::vector<std::u16string> BlockReader::readNameLine(std::size_t units) {
  std::u16string line;
  lines_.readWide(units, line);
  std::vector<std::u16string> names;
  text::forEachToken(std::u16string_view(line), kValueSeparators, [&](std::u16string_view token) {
    names.push_back(text::boundedName(token));
    return true;
  });
  return names;
}

bool BlockReader::readFloats(std::size_t bufferBytes, float* out, int count) {
  for (int i = 0; i < count; ++i) out[i] = 0.0f;
  std::string_view line;
  if (!lines_.readBytes(bufferBytes, line)) return false;
  int got = 0;
  text::forEachDoubleToken(line, [&](double value) {
    if (got >= count) return false;
    out[got++] = static_cast<float>(value);
    return true;
  });
  return true;
}

void BlockReader::readIndices(std::size_t bufferBytes, std::vector<int32_t>& out,
                              int64_t expected) {
  std::string_view line;
  if (!lines_.readBytes(bufferBytes, line)) return;
  const int64_t count = std::min(std::max<int64_t>(expected, 0), estimatedNumbers(line));
  out.reserve(out.size() + static_cast<std::size_t>(count));
  text::forEachInt32Token(line, [&](int32_t value) {
    out.push_back(value);
    return true;
  });
}

bool readFloatArrayBlock(BlockReader& reader, FloatArray& array, const FloatArrayRules& rules) {
  int32_t k = -1;
  int32_t n = -1;
  while (reader.nextKeywordLine(kInnerSeparators)) {
    if (reader.is(kFloatArrayId)) {
      array.id = reader.value();
    } else if (reader.is(kFloatArrayFloatCount)) {
      k = reader.intValue();
    } else if (reader.is(kFloatArrayCount)) {
      n = reader.intValue();
    } else if (reader.is(kFloatArray)) {
      const bool counted = rules.acceptZeroCounts ? (k >= 0 && n >= 0) : (k > 0 && n > 0);
      if (counted) readFloatArrayValues(reader, array, k, n, rules);
    } else if (reader.is(kFloatArrayEnd)) {
      return true;
    }
  }
  return false;
}

bool readWeightsBlock(BlockReader& reader, WeightTable& table, int32_t& weightCount) {
  int32_t s = -1;
  while (reader.nextKeywordLine(kInnerSeparators)) {
    if (reader.is(kWeightsSize)) {
      s = reader.intValue();
      weightCount = s;
    } else if (reader.is(kApplyBoneNum)) {
      const int32_t b = reader.intValue();
      if (s >= 1 && b >= 1) readWeightValues(reader, table, s, b);
    } else if (reader.is(kWeightsEnd)) {
      return true;
    }
  }
  return false;
}

void readCountedIndices(BlockReader& reader, int32_t count, std::vector<int32_t>& out) {
  if (count >= 1) reader.readIndices(countedLineBytes(count), out, count);
}

}  // namespace blocks
