#include "platform/uri_list.h"

#include <algorithm>

#include "platform/text.h"

namespace text {
namespace {

// ASCII only, whatever the process locale: schemes and host names are ASCII.
char lowered(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return lowered(x) == lowered(y); });
}

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// The path a file URI names, or "" when it names no local file.
std::string localPath(std::string_view uri, std::string_view localHost) {
  if (uri.size() < 5 || !equalsIgnoringCase(uri.substr(0, 5), "file:")) return {};
  uri.remove_prefix(5);
  uri = uri.substr(0, uri.find_first_of("?#"));
  if (uri.substr(0, 2) == "//") {
    uri.remove_prefix(2);
    const std::size_t slash = uri.find('/');
    if (slash == std::string_view::npos) return {};
    const std::string_view host = uri.substr(0, slash);
    if (!host.empty() && !equalsIgnoringCase(host, "localhost") &&
        (localHost.empty() || !equalsIgnoringCase(host, localHost))) {
      return {};
    }
    uri.remove_prefix(slash);
  }
  if (uri.empty() || uri.front() != '/') return {};
  std::string path = percentDecoded(uri);
  if (path.find('\0') != std::string::npos) return {};
  return path;
}

}  // namespace

std::vector<std::string> filePathsFromUriList(std::string_view list, std::string_view localHost) {
  std::vector<std::string> paths;
  while (!list.empty()) {
    const std::size_t end = list.find('\n');
    const std::string_view line = trimmed(list.substr(0, end));
    list.remove_prefix(end == std::string_view::npos ? list.size() : end + 1);
    if (line.empty() || line.front() == '#') continue;
    std::string path = localPath(line, localHost);
    if (!path.empty()) paths.push_back(std::move(path));
  }
  return paths;
}

std::string fileUri(std::string_view absolutePath) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string uri = "file://";
  for (char c : absolutePath) {
    const unsigned char b = static_cast<unsigned char>(c);
    const bool alphanumeric = (c >= '0' && c <= '9') || (lowered(c) >= 'a' && lowered(c) <= 'z');
    if (alphanumeric || c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
      uri.push_back(c);
    } else {
      uri.push_back('%');
      uri.push_back(kHex[b >> 4]);
      uri.push_back(kHex[b & 15]);
    }
  }
  return uri;
}

}  // namespace text
