// Text shared by every reader and writer: the bounded-name rule for names, ids and paths, and
// conversion between the files' CP932 (Japanese multibyte) text and UTF-16.
// Independent of the installed locales: conversion goes through iconv by code-page name.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace text {

// Names, ids and paths hold at most this many UTF-16 units (a 1024-unit buffer with its
// terminator); they compare exactly and case-sensitively, i.e. with operator==.
inline constexpr std::size_t kMaxNameUnits = 1023;

// `s` cut to at most kMaxNameUnits units.
std::u16string boundedName(std::u16string_view s);

// The exact, case-sensitive comparison that every lookup by name, id or path uses.
inline bool sameName(std::u16string_view a, std::u16string_view b) { return a == b; }

// Converts CP932 bytes to UTF-16. Returns false (and leaves `out` empty) when the bytes are
// not valid CP932.
bool decodeCp932(std::string_view bytes, std::u16string& out);

// As decodeCp932, but an invalid byte becomes U+FFFD and decoding goes on.
std::u16string decodeCp932Lenient(std::string_view bytes);

// Converts UTF-16 to CP932 bytes. Returns false (and leaves `out` empty) when some character
// has no CP932 form.
bool encodeCp932(std::u16string_view s, std::string& out);

// Number of bytes of the CP932 character that starts with `lead` (1 or 2).
inline std::size_t cp932CharBytes(unsigned char lead) {
  return ((lead >= 0x81 && lead <= 0x9F) || (lead >= 0xE0 && lead <= 0xFC)) ? 2 : 1;
}

// UTF-16 to UTF-8 and back, for messages, JSON and command-line arguments. Unpaired
// surrogates become U+FFFD; invalid UTF-8 bytes too.
std::string toUtf8(std::u16string_view s);
std::u16string fromUtf8(std::string_view s);

// A path as a model file writes it, made usable here: '\' and '/' alike separate folders, since
// files written on other systems name their textures and collider files with backslashes.
std::u16string portablePath(std::u16string_view written);

// `s` with each "%XY" (X and Y hex digits) replaced by the byte it stands for, as URIs escape
// bytes; a '%' without two hex digits after it stays as written.
std::string percentDecoded(std::string_view s);

}  // namespace text
