#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "platform/line_reader.h"
#include "platform/number_text.h"
#include "platform/text.h"

namespace {

TEST(BoundedName, KeepsAtMost1023Units) {
  std::u16string longName(2000, u'a');
  EXPECT_EQ(text::boundedName(longName).size(), text::kMaxNameUnits);
  EXPECT_EQ(text::boundedName(u"Walker"), u"Walker");
  EXPECT_FALSE(text::sameName(u"walker", u"Walker"));
}

TEST(Cp932, RoundTripsJapaneseText) {
  // "メイリオ" in CP932.
  const std::string bytes = "\x83\x81\x83\x43\x83\x8A\x83\x49";
  std::u16string wide;
  ASSERT_TRUE(text::decodeCp932(bytes, wide));
  EXPECT_EQ(wide, u"メイリオ");
  std::string back;
  ASSERT_TRUE(text::encodeCp932(wide, back));
  EXPECT_EQ(back, bytes);
}

TEST(Cp932, BackslashAndTildeStayAscii) {
  std::u16string wide;
  ASSERT_TRUE(text::decodeCp932("a\\b~\x83\x41", wide));
  EXPECT_EQ(wide, u"a\\b~ア");
}

TEST(Cp932, InvalidTextFailsStrictlyAndIsReplacedLeniently) {
  std::u16string wide = u"x";
  EXPECT_FALSE(text::decodeCp932("ab\x81", wide));  // lead byte without its trail byte
  EXPECT_TRUE(wide.empty());
  EXPECT_EQ(text::decodeCp932Lenient("ab\x81"), u"ab\uFFFD");
  std::string bytes = "x";
  EXPECT_FALSE(text::encodeCp932(u"\U0001F600", bytes));  // no CP932 form
  EXPECT_TRUE(bytes.empty());
}

TEST(Utf8, ConvertsBothWays) {
  EXPECT_EQ(text::toUtf8(u"é\U0001F600"), "\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ(text::fromUtf8("\xC3\xA9\xF0\x9F\x98\x80"), u"é\U0001F600");
  EXPECT_EQ(text::fromUtf8("a\xFF"), u"a\uFFFD");
}

TEST(LineReader, DropsCarriageReturnOnlyBeforeLineFeed) {
  text::LineReader r;
  r.openBytes("a\r\nb\rc\r\n\r");
  std::string_view piece;
  ASSERT_TRUE(r.readBytes(1024, piece));
  EXPECT_EQ(piece, "a\n");
  ASSERT_TRUE(r.readBytes(1024, piece));
  EXPECT_EQ(piece, "b\rc\n");
  ASSERT_TRUE(r.readBytes(1024, piece));
  EXPECT_EQ(piece, "\r");
  EXPECT_FALSE(r.readBytes(1024, piece));
}

TEST(LineReader, LongLinesArriveInBufferSizedPieces) {
  text::LineReader r;
  r.openBytes("abcdefgh\nxy");
  std::string_view piece;
  ASSERT_TRUE(r.readBytes(4, piece));
  EXPECT_EQ(piece, "abc");
  ASSERT_TRUE(r.readBytes(4, piece));
  EXPECT_EQ(piece, "def");
  ASSERT_TRUE(r.readBytes(4, piece));
  EXPECT_EQ(piece, "gh\n");
  ASSERT_TRUE(r.readBytes(1, piece));  // a one-byte buffer reads nothing
  EXPECT_EQ(piece, "");
  ASSERT_TRUE(r.readBytes(100, piece));
  EXPECT_EQ(piece, "xy");
  EXPECT_FALSE(r.readBytes(100, piece));
}

TEST(LineReader, WideReadsCountCharactersNotBytes) {
  text::LineReader r;
  r.openBytes("\x83\x41\x83\x43z\nnext\n");
  std::u16string piece;
  ASSERT_TRUE(r.readWide(3, piece));
  EXPECT_EQ(piece, u"アイ");
  ASSERT_TRUE(r.readWide(3, piece));
  EXPECT_EQ(piece, u"z\n");
  std::string_view bytes;  // byte and wide reads share the position
  ASSERT_TRUE(r.readBytes(100, bytes));
  EXPECT_EQ(bytes, "next\n");
}

TEST(LineReader, PieceEndsAtNulLikeACString) {
  text::LineReader r;
  r.openBytes(std::string("ab\0cd\nef\n", 9));
  std::string_view piece;
  ASSERT_TRUE(r.readBytes(100, piece));
  EXPECT_EQ(piece, "ab");
  ASSERT_TRUE(r.readBytes(100, piece));
  EXPECT_EQ(piece, "ef\n");
}

TEST(LineReader, ReportsWhyAFileCannotBeOpened) {
  text::LineReader r;
  std::string error;
  EXPECT_FALSE(r.open("/nonexistent/file.mdl", &error));
  EXPECT_NE(error.find("No such file"), std::string::npos) << error;
  EXPECT_FALSE(r.open("/", &error));
  EXPECT_EQ(error, "is a directory");
}

TEST(Numbers, ConvertTheLeadingNumberOfAToken) {
  EXPECT_EQ(text::parseDouble("1.5"), 1.5);
  EXPECT_EQ(text::parseDouble("  -2.25xyz"), -2.25);
  EXPECT_EQ(text::parseDouble("+1e1"), 10.0);
  EXPECT_EQ(text::parseDouble(".5"), 0.5);
  EXPECT_EQ(text::parseDouble("abc"), 0.0);
  EXPECT_EQ(text::parseDouble(""), 0.0);
  EXPECT_EQ(text::parseDouble("--1"), 0.0);
  EXPECT_EQ(text::parseDouble("0x10"), 16.0);
  EXPECT_EQ(text::parseFloat("1.1"), 1.1f);
}

TEST(Numbers, OutOfRangeFollowsTextToDoubleRules) {
  EXPECT_EQ(text::parseDouble("1e400"), std::numeric_limits<double>::infinity());
  EXPECT_EQ(text::parseDouble("-1e400"), -std::numeric_limits<double>::infinity());
  EXPECT_EQ(text::parseDouble("1e-400"), 0.0);
  EXPECT_TRUE(std::isinf(text::parseFloat("1e39")));  // fits a double, not a float
}

TEST(Numbers, IntegersSaturateAtInt32Limits) {
  EXPECT_EQ(text::parseInt32("007"), 7);
  EXPECT_EQ(text::parseInt32(" -42x"), -42);
  EXPECT_EQ(text::parseInt32("x"), 0);
  EXPECT_EQ(text::parseInt32("99999999999999999999"), std::numeric_limits<int32_t>::max());
  EXPECT_EQ(text::parseInt32("-99999999999999999999"), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(text::parseInt32(u"123"), 123);
}

TEST(Numbers, TokensSkipEmptyRuns) {
  std::vector<std::string_view> tokens;
  text::forEachToken(std::string_view("  a b\t c\n"), std::string_view(" \n"),
                     [&](std::string_view t) {
                       tokens.push_back(t);
                       return true;
                     });
  ASSERT_EQ(tokens.size(), 3u);
  EXPECT_EQ(tokens[1], "b\t");  // tab is no separator here
}

TEST(Numbers, LineScansAgreeWithTheTokenParsers) {
  const std::string line =
      "1.5 -2 +3 0x10 1e999 -1e400 1e-400 . - 1.5x \t7 2147483648 -2147483649 999999999 "
      "-999999999 1234567890 007 -0 inf .25 5. 12abc\n\n  8";
  std::vector<std::string_view> tokens;
  text::forEachToken(std::string_view(line), std::string_view(" \n"), [&](std::string_view t) {
    tokens.push_back(t);
    return true;
  });
  std::vector<double> doubles;
  text::forEachDoubleToken(line, [&](double v) {
    doubles.push_back(v);
    return true;
  });
  std::vector<int32_t> ints;
  text::forEachInt32Token(line, [&](int32_t v) {
    ints.push_back(v);
    return true;
  });
  ASSERT_EQ(doubles.size(), tokens.size());
  ASSERT_EQ(ints.size(), tokens.size());
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    EXPECT_EQ(doubles[i], text::parseDouble(tokens[i])) << tokens[i];
    EXPECT_EQ(ints[i], text::parseInt32(tokens[i])) << tokens[i];
  }
  int seen = 0;  // stops when asked
  text::forEachDoubleToken(line, [&](double) { return ++seen < 3; });
  EXPECT_EQ(seen, 3);
}

TEST(LineReader, NulCutsEveryPieceThatHoldsOne) {
  text::LineReader r;
  r.openBytes(std::string("a\0b\nc\nd\0\0e\n", 11));
  std::string_view piece;
  ASSERT_TRUE(r.readBytes(100, piece));
  EXPECT_EQ(piece, "a");
  ASSERT_TRUE(r.readBytes(100, piece));
  EXPECT_EQ(piece, "c\n");
  std::u16string wide;
  ASSERT_TRUE(r.readWide(2, wide));
  EXPECT_EQ(wide, u"d");
  ASSERT_TRUE(r.readBytes(100, piece));
  EXPECT_EQ(piece, "");
  EXPECT_FALSE(r.readBytes(100, piece));
}

TEST(Numbers, LineScansAgreeWithTheTokenParsersOnRandomDecimals) {
  // The one-pass scan takes shortcuts for plain decimals; every result must be the one the
  // general conversion gives, bit for bit.
  std::mt19937 rng(7);
  auto digits = [&](int n) {
    std::string d;
    for (int i = 0; i < n; ++i) d += static_cast<char>('0' + rng() % 10);
    return d;
  };
  std::string line;
  for (int i = 0; i < 20000; ++i) {
    std::string t;
    if (rng() % 3 == 0) t += '-';
    t += digits(static_cast<int>(rng() % 18));
    if (rng() % 2) {
      t += '.';
      t += digits(static_cast<int>(rng() % 26));
    }
    if (rng() % 8 == 0) {
      t += 'e';
      t += std::to_string(static_cast<int>(rng() % 80) - 40);
    }
    line += t + ' ';
  }
  std::vector<std::string_view> tokens;
  text::forEachToken(std::string_view(line), std::string_view(" "), [&](std::string_view t) {
    tokens.push_back(t);
    return true;
  });
  std::size_t i = 0;
  text::forEachDoubleToken(line, [&](double v) {
    double expected = text::parseDouble(tokens[i]);
    EXPECT_EQ(std::memcmp(&v, &expected, sizeof v), 0) << tokens[i] << " " << v;
    ++i;
    return true;
  });
  EXPECT_EQ(i, tokens.size());
}

TEST(Numbers, LineScansAgreeWithTheTokenParsersOnRandomIntegerLists) {
  // Long lists are scanned 64 bytes at a time and short numbers converted eight characters at
  // once: tokens of every length, runs of separators and tokens across the 64-byte windows must
  // give what the token parsers give, one value per token, in order.
  std::mt19937 rng(11);
  std::string line;
  for (int i = 0; i < 20000; ++i) {
    std::string t;
    if (rng() % 4 == 0) t += '-';
    const int length = rng() % 50 == 0 ? 70 : static_cast<int>(rng() % 12);
    for (int k = 0; k < length; ++k) t += static_cast<char>('0' + rng() % 10);
    if (rng() % 40 == 0) t += ".5";
    if (rng() % 60 == 0) t += "x";
    if (t.empty()) t.push_back('7');
    line += t;
    line += rng() % 5 == 0 ? "\n " : " ";
  }
  std::vector<std::string_view> tokens;
  text::forEachToken(std::string_view(line), std::string_view(" \n"), [&](std::string_view t) {
    tokens.push_back(t);
    return true;
  });
  std::size_t ints = 0, doubles = 0;
  text::forEachInt32Token(line, [&](int32_t v) {
    EXPECT_EQ(v, text::parseInt32(tokens[ints])) << tokens[ints];
    ++ints;
    return true;
  });
  text::forEachDoubleToken(line, [&](double v) {
    double expected = text::parseDouble(tokens[doubles]);
    EXPECT_EQ(std::memcmp(&v, &expected, sizeof v), 0) << tokens[doubles];
    ++doubles;
    return true;
  });
  EXPECT_EQ(ints, tokens.size());
  EXPECT_EQ(doubles, tokens.size());
  int seen = 0;  // stops when asked, also inside a window
  text::forEachInt32Token(line, [&](int32_t) { return ++seen < 5; });
  EXPECT_EQ(seen, 5);
}

}  // namespace
