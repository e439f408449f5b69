// ResourcePaths: where the program finds its data files (shader/, pict/, model/) and where
// config.ini lives, decided once at start. A run folder keeps everything in one place, as the
// program always has; an installed program reads its data from share/modelviewer/ beside its
// bin/ and keeps config.ini in the user's configuration folder, never in the folder the user
// started it from. No display or GPU dependency.
#pragma once

#include <filesystem>
#include <string_view>

struct ResourcePaths {
  std::filesystem::path resourceFolder;  // holds shader/, pict/ and model/
  std::filesystem::path configFolder;    // config.ini is read from and written to here
};

// The decision, from absolute folders and the environment (empty strings for unset values):
// - resources: the start folder when it holds shader/; else the program's folder when it holds
//   shader/ (a build's run folder); else programFolder/../share/modelviewer when that holds
//   shader/ (installed); else the start folder, whose missing shaders are reported as before.
// - config.ini: the first of the start folder and the program's folder that holds shader/ or
//   config.ini (a run folder); else xdgConfigHome/modelviewer, or home/.config/modelviewer when
//   xdgConfigHome is empty or relative (as the XDG base directory rules say). Empty when
//   neither is usable.
ResourcePaths chooseResourcePaths(const std::filesystem::path& startFolder, const std::filesystem::path& programFolder,
                                  std::string_view xdgConfigHome, std::string_view home);

// Decides for this process (the current folder, /proc/self/exe, $XDG_CONFIG_HOME, $HOME or
// the password database) and makes the resource folder current, so that the data files'
// relative paths ("shader/", "./pict/...", "./model/...") resolve there. Relative paths from
// the command line must be made absolute before this is called. When the folder cannot be
// entered, the current folder stays and its name is reported on stderr.
ResourcePaths enterResourceFolder();
