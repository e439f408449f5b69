// `modelviewer --info MODEL [--ani ANIM]...`: reads a model as a character's load does (its
// folder current while it is read, the reader chosen by the ".mdl" or ".dae" suffix, then the
// collider file it names), then each animation file, and prints what was read as one JSON
// object, for users and tests that want to see a model without a window.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// Runs the command with the arguments that follow "--info"; the JSON goes to `out`, problems
// to stderr, one line each. Returns the exit status: 0 when the model file was read (also when
// an animation file was not), 1 when it could not be read or its suffix is neither ".mdl" nor
// ".dae", 2 for a usage error.
int runInfoCommand(const std::vector<std::string>& args, std::FILE* out);

// The usage line of the command.
inline constexpr const char* kInfoUsage = "modelviewer --info MODEL [--ani ANIM]...";
