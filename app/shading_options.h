// The model view's shading options, the same for the window and --headless:
//   --hdri FILE.hdr           the environment light from a Radiance file (else the studio's)
//   --hdri-background         the environment, blurred, behind the model
//   --key-light on|off        the key light and its shadow (on)
//   --tone-mapping neutral|aces|none   how light becomes the displayed colour (neutral)
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "scene/view_shading.h"

// The usage lines of these options.
inline constexpr const char* kShadingUsage =
    "[--hdri FILE.hdr] [--hdri-background] [--key-light on|off] [--tone-mapping neutral|aces|none]";

enum class OptionParse { kNotMine, kTaken, kBad };

// Takes the shading option at args[i] (and its value, moving `i` past it) into `out`. kBad
// with `error` set when it is one of them but malformed (an .hdr file that is not there is
// malformed: the user named it).
OptionParse ParseShadingOption(const std::vector<std::string>& args, std::size_t& i, ViewShading& out,
                               std::string& error);
