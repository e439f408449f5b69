// CP932 <-> UTF-16 through iconv, with an ASCII fast path: CP932 is ASCII below 0x80, and
// almost every name in the files is ASCII.
#include "platform/text.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>

namespace text {
namespace {

bool isAscii(std::string_view bytes) {
  return std::all_of(bytes.begin(), bytes.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// One iconv descriptor per direction and thread: iconv_t is not thread-safe and is costly to
// open for every name.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (cd_ != reinterpret_cast<iconv_t>(-1)) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  // Converts all of `in`; on an invalid or unconvertible sequence returns false with
  // `consumed` set to the bytes converted so far (their output is in `out`).
  bool convert(const char* in, std::size_t inBytes, std::string& out, std::size_t& consumed) {
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    out.resize(inBytes * 4 + 16);
    char* src = const_cast<char*>(in);
    std::size_t srcLeft = inBytes;
    char* dst = out.data();
    std::size_t dstLeft = out.size();
    bool ok = true;
    while (srcLeft > 0) {
      if (iconv(cd_, &src, &srcLeft, &dst, &dstLeft) == static_cast<std::size_t>(-1)) {
        if (errno == E2BIG) {
          std::size_t used = static_cast<std::size_t>(dst - out.data());
          out.resize(out.size() * 2);
          dst = out.data() + used;
          dstLeft = out.size() - used;
          continue;
        }
        ok = false;
        break;
      }
    }
    out.resize(static_cast<std::size_t>(dst - out.data()));
    consumed = inBytes - srcLeft;
    return ok;
  }

 private:
  iconv_t cd_;
};

Converter& fromCp932() {
  thread_local Converter c("UTF-16LE", "CP932");
  return c;
}

Converter& toCp932() {
  thread_local Converter c("CP932", "UTF-16LE");
  return c;
}

void appendUtf16Le(const std::string& bytes, std::u16string& out) {
  std::size_t n = bytes.size() / 2;
  std::size_t base = out.size();
  out.resize(base + n);
  for (std::size_t i = 0; i < n; ++i) {
    out[base + i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                          (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  }
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::u16string boundedName(std::u16string_view s) {
  return std::u16string(s.substr(0, kMaxNameUnits));
}

bool decodeCp932(std::string_view bytes, std::u16string& out) {
  out.clear();
  if (isAscii(bytes)) {
    out.assign(bytes.begin(), bytes.end());
    return true;
  }
  Converter& c = fromCp932();
  std::string utf16;
  std::size_t consumed = 0;
  if (!c.ok() || !c.convert(bytes.data(), bytes.size(), utf16, consumed)) return false;
  appendUtf16Le(utf16, out);
  return true;
}

std::u16string decodeCp932Lenient(std::string_view bytes) {
  std::u16string out;
  if (isAscii(bytes)) {
    out.assign(bytes.begin(), bytes.end());
    return out;
  }
  Converter& c = fromCp932();
  std::string utf16;
  while (!bytes.empty()) {
    std::size_t consumed = 0;
    bool ok = c.ok() && c.convert(bytes.data(), bytes.size(), utf16, consumed);
    appendUtf16Le(utf16, out);
    if (ok) break;
    // Skip the offending character (both bytes of a double-byte one, if present).
    std::size_t skip = std::min(bytes.size() - consumed,
                                cp932CharBytes(static_cast<unsigned char>(bytes[consumed])));
    out.push_back(u'\uFFFD');
    bytes.remove_prefix(consumed + skip);
  }
  return out;
}

bool encodeCp932(std::u16string_view s, std::string& out) {
  out.clear();
  if (std::all_of(s.begin(), s.end(), [](char16_t c) { return c < 0x80; })) {
    out.assign(s.begin(), s.end());
    return true;
  }
  std::string utf16(s.size() * 2, '\0');
  for (std::size_t i = 0; i < s.size(); ++i) {
    utf16[2 * i] = static_cast<char>(s[i] & 0xFF);
    utf16[2 * i + 1] = static_cast<char>(s[i] >> 8);
  }
  Converter& c = toCp932();
  std::size_t consumed = 0;
  if (!c.ok() || !c.convert(utf16.data(), utf16.size(), out, consumed)) {
    out.clear();
    return false;
  }
  return true;
}

std::string toUtf8(std::u16string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    char32_t c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
        s[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::u16string fromUtf8(std::string_view s) {
  std::u16string out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    unsigned char b = static_cast<unsigned char>(s[i]);
    std::size_t len = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 0;
    char32_t c = 0xFFFD;
    if (len == 1) {
      c = b;
    } else if (len > 1 && i + len <= s.size()) {
      c = b & (0x7F >> len);
      bool good = true;
      for (std::size_t k = 1; k < len; ++k) {
        unsigned char t = static_cast<unsigned char>(s[i + k]);
        if ((t & 0xC0) != 0x80) good = false;
        c = (c << 6) | (t & 0x3F);
      }
      if (!good || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        c = 0xFFFD;
        len = 1;
      }
    } else {
      len = 1;
    }
    i += len;
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
  }
  return out;
}

std::u16string portablePath(std::u16string_view written) {
  std::u16string path(written);
  for (char16_t& c : path) {
    if (c == u'\\') c = u'/';
  }
  return path;
}

std::string percentDecoded(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && hexDigit(s[i + 1]) >= 0 && hexDigit(s[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hexDigit(s[i + 1]) * 16 + hexDigit(s[i + 2])));
      i += 2;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

}  // namespace text
