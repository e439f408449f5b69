#include "app/shading_options.h"

#include <unistd.h>

#include <filesystem>

#include "platform/regular_file.h"

OptionParse ParseShadingOption(const std::vector<std::string>& args, std::size_t& i, ViewShading& out,
                               std::string& error) {
  const std::string& a = args[i];
  const bool hasValue = i + 1 < args.size();
  if (a == "--hdri-background") {
    out.environmentBackground = true;
    return OptionParse::kTaken;
  }
  if (a == "--hdri") {
    if (!hasValue) {
      error = "--hdri needs a Radiance .hdr file";
      return OptionParse::kBad;
    }
    // Whole, before the program makes its data folder current.
    out.hdri = std::filesystem::absolute(args[++i]);
    std::string why;
    const int fd = platform::openRegularFile(out.hdri, &why);
    if (fd < 0) {
      error = "--hdri " + out.hdri.string() + ": " + why;
      return OptionParse::kBad;
    }
    ::close(fd);
    return OptionParse::kTaken;
  }
  if (a == "--key-light") {
    const std::string value = hasValue ? args[++i] : "";
    if (value != "on" && value != "off") {
      error = "--key-light needs on or off";
      return OptionParse::kBad;
    }
    out.keyLight = value == "on";
    return OptionParse::kTaken;
  }
  if (a == "--tone-mapping") {
    const std::string value = hasValue ? args[++i] : "";
    if (value == "neutral") {
      out.toneMapping = ToneMapping::kNeutral;
    } else if (value == "aces") {
      out.toneMapping = ToneMapping::kAces;
    } else if (value == "none") {
      out.toneMapping = ToneMapping::kNone;
    } else {
      error = "--tone-mapping needs neutral, aces or none";
      return OptionParse::kBad;
    }
    return OptionParse::kTaken;
  }
  return OptionParse::kNotMine;
}
