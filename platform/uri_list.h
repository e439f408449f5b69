// The "text/uri-list" format (RFC 2483) that file managers hand over when files are dragged:
// reading the local files it names. No display dependency, so it is tested without one.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace text {

// The local files `list` names, as absolute paths in the list's order. Lines end in CRLF (a
// bare LF is taken too); blank lines and lines starting with '#' are skipped. "file:///p",
// "file://localhost/p", "file:/p" and "file://HOST/p" with HOST equal to `localHost` (when not
// empty) name /p, percent escapes decoded; a query or fragment is dropped. URIs of other
// schemes, of other hosts, or whose path decodes to a NUL byte or is not absolute are skipped.
std::vector<std::string> filePathsFromUriList(std::string_view list, std::string_view localHost = {});

// A file URI for `absolutePath`: "file://" and the path with every byte outside RFC 3986's
// unreserved set and '/' percent-escaped, as file managers write them.
std::string fileUri(std::string_view absolutePath);

}  // namespace text
