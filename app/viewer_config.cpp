#include "app/viewer_config.h"

#include <charconv>
#include <string_view>

#include "app/whole_file.h"
#include "platform/line_reader.h"
#include "platform/number_text.h"
#include "platform/text.h"

namespace {

enum class KeyType { Int, Float, Text };

struct KeyInfo {
  const char* name;
  KeyType type;
  int32_t ViewerConfig::*intField;
  float ViewerConfig::*floatField;
  std::u16string ViewerConfig::*textField;
};

constexpr KeyInfo intKey(const char* name, int32_t ViewerConfig::*field) {
  return {name, KeyType::Int, field, nullptr, nullptr};
}
constexpr KeyInfo floatKey(const char* name, float ViewerConfig::*field) {
  return {name, KeyType::Float, nullptr, field, nullptr};
}
constexpr KeyInfo textKey(const char* name, std::u16string ViewerConfig::*field) {
  return {name, KeyType::Text, nullptr, nullptr, field};
}

// Every key, in the order the file is written.
constexpr KeyInfo kKeys[] = {
    textKey("ModelPath", &ViewerConfig::modelPath),
    textKey("ExtModel", &ViewerConfig::extModel),
    textKey("ExtAnim", &ViewerConfig::extAnim),
    textKey("ExtCdr", &ViewerConfig::extCdr),
    textKey("ExtDae", &ViewerConfig::extDae),
    intKey("BKColorA", &ViewerConfig::bkColorA),
    intKey("BKColorR", &ViewerConfig::bkColorR),
    intKey("BKColorG", &ViewerConfig::bkColorG),
    intKey("BKColorB", &ViewerConfig::bkColorB),
    intKey("TextColorA", &ViewerConfig::textColorA),
    intKey("TextColorR", &ViewerConfig::textColorR),
    intKey("TextColorG", &ViewerConfig::textColorG),
    intKey("TextColorB", &ViewerConfig::textColorB),
    intKey("BarColorA", &ViewerConfig::barColorA),
    intKey("BarColorR", &ViewerConfig::barColorR),
    intKey("BarColorG", &ViewerConfig::barColorG),
    intKey("BarColorB", &ViewerConfig::barColorB),
    intKey("ViewerBKColorA", &ViewerConfig::viewerBkColorA),
    intKey("ViewerBKColorR", &ViewerConfig::viewerBkColorR),
    intKey("ViewerBKColorG", &ViewerConfig::viewerBkColorG),
    intKey("ViewerBKColorB", &ViewerConfig::viewerBkColorB),
    intKey("MenuBKColorA", &ViewerConfig::menuBkColorA),
    intKey("MenuBKColorR", &ViewerConfig::menuBkColorR),
    intKey("MenuBKColorG", &ViewerConfig::menuBkColorG),
    intKey("MenuBKColorB", &ViewerConfig::menuBkColorB),
    intKey("MenuTextColorA", &ViewerConfig::menuTextColorA),
    intKey("MenuTextColorR", &ViewerConfig::menuTextColorR),
    intKey("MenuTextColorG", &ViewerConfig::menuTextColorG),
    intKey("MenuTextColorB", &ViewerConfig::menuTextColorB),
    floatKey("LightPosX", &ViewerConfig::lightPosX),
    floatKey("LightPosY", &ViewerConfig::lightPosY),
    floatKey("LightPosZ", &ViewerConfig::lightPosZ),
    floatKey("RotationX", &ViewerConfig::rotationX),
    floatKey("RotationZ", &ViewerConfig::rotationZ),
};
static_assert(std::size(kKeys) == 34);

// The line buffer of reading and writing: a line (with its line feed) holds at most 1023 bytes.
constexpr std::size_t kLineBuffer = 1024;

// Splits a line as strtok would: the name ends at a space or "="; the value, taken after it,
// also ends at a line feed. Returns false when the line has no name.
bool splitLine(std::string_view line, std::string_view& name, std::string_view& value) {
  std::string_view rest = line;
  auto take = [&rest](std::string_view delimiters, std::string_view& token) {
    std::size_t start = rest.find_first_not_of(delimiters);
    if (start == std::string_view::npos) {
      rest = {};
      return false;
    }
    std::size_t end = rest.find_first_of(delimiters, start);
    token = rest.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
    return true;
  };
  value = {};
  if (!take(" =", name)) return false;
  take(" =\n", value);
  return true;
}

void applyValue(ViewerConfig& config, const KeyInfo& key, std::string_view value) {
  switch (key.type) {
    case KeyType::Int:
      config.*key.intField = text::parseInt32(value);
      break;
    case KeyType::Float:
      config.*key.floatField = text::parseFloat(value);
      break;
    case KeyType::Text: {
      std::u16string wide;
      config.*key.textField = text::decodeCp932(value, wide) ? text::boundedName(wide) : u"";
      break;
    }
  }
}

// The value text of one key as it is written.
std::string formatValue(const ViewerConfig& config, const KeyInfo& key) {
  char buffer[64];
  switch (key.type) {
    case KeyType::Int: {
      auto result = std::to_chars(buffer, buffer + sizeof buffer, config.*key.intField);
      return std::string(buffer, result.ptr);
    }
    case KeyType::Float: {
      // "%.6f" of the value widened to double, independent of the locale's decimal point.
      auto result = std::to_chars(buffer, buffer + sizeof buffer,
                                  static_cast<double>(config.*key.floatField),
                                  std::chars_format::fixed, 6);
      if (result.ec != std::errc()) return "0.000000";
      return std::string(buffer, result.ptr);
    }
    case KeyType::Text: {
      std::string bytes;
      text::encodeCp932(config.*key.textField, bytes);  // empty when not convertible
      return bytes;
    }
  }
  return {};
}

// Cuts `value` so that name + " = " + value + line feed fits the line buffer, never inside a
// double-byte character.
void fitLine(std::string_view name, std::string& value) {
  std::size_t room = kLineBuffer - 1 - name.size() - 3 - 1;
  if (value.size() <= room) return;
  std::size_t keep = 0;
  while (keep < value.size()) {
    std::size_t next = keep + text::cp932CharBytes(static_cast<unsigned char>(value[keep]));
    if (next > room) break;
    keep = next;
  }
  value.resize(keep);
}

}  // namespace

bool ReadConfig(ViewerConfig& config, const std::filesystem::path& folder) {
  text::LineReader reader;
  if (!reader.open(folder / kConfigFileName)) return false;
  std::string_view line;
  while (reader.readBytes(kLineBuffer, line)) {
    std::string_view name, value;
    if (!splitLine(line, name, value)) continue;
    for (const KeyInfo& key : kKeys) {
      if (name != key.name) continue;
      if (!value.empty()) applyValue(config, key, value);
      break;
    }
  }
  return true;
}

bool WriteConfig(const ViewerConfig& config, const std::filesystem::path& folder) {
  std::string content;
  for (const KeyInfo& key : kKeys) {
    std::string value = formatValue(config, key);
    fitLine(key.name, value);
    content += key.name;
    content += " = ";
    content += value;
    content += "\r\n";  // text mode on disk
  }

  return WriteFileWhole(folder / kConfigFileName, content);
}
