// ViewerConfig: the values of config.ini, read at start-up over the defaults and written back,
// every key in a fixed order, when the viewer is closed. Only the frame and bar colours take
// effect; every other key is carried through unchanged.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

struct ViewerConfig {
  float rotationX = 1.1f;
  float rotationZ = -2.5f;
  float lightPosX = 10.0f;
  float lightPosY = 10.0f;
  float lightPosZ = 10.0f;
  int32_t bkColorA = 255, bkColorR = 140, bkColorG = 110, bkColorB = 110;
  int32_t textColorA = 255, textColorR = 200, textColorG = 180, textColorB = 180;
  int32_t barColorA = 255, barColorR = 100, barColorG = 70, barColorB = 70;
  int32_t viewerBkColorA = 255, viewerBkColorR = 220, viewerBkColorG = 220, viewerBkColorB = 220;
  int32_t menuBkColorA = 255, menuBkColorR = 110, menuBkColorG = 80, menuBkColorB = 80;
  int32_t menuTextColorA = 255, menuTextColorR = 220, menuTextColorG = 200, menuTextColorB = 200;
  std::u16string modelPath = u"mira1.43a.dae";
  std::u16string extModel = u".mdl";
  std::u16string extAnim = u".ani";
  std::u16string extDae = u".dae";
  std::u16string extCdr = u".cdr";
};

// The file name, relative to the current directory.
inline constexpr const char* kConfigFileName = "config.ini";

// Reads config.ini from `folder` (the current directory by default) over `config`. Returns
// false, leaving `config` untouched, when the file cannot be opened; true otherwise. Unknown
// keys are ignored, the last occurrence of a key wins, and a key without a value keeps its
// field.
bool ReadConfig(ViewerConfig& config, const std::filesystem::path& folder = {});

// Writes all 34 keys to config.ini in `folder`. The file is written beside the old one under a
// temporary name and then renamed over it, so a failed write leaves the previous file intact.
// Returns false when nothing could be written.
bool WriteConfig(const ViewerConfig& config, const std::filesystem::path& folder = {});
