// Files written whole or not at all: a reader (the viewer's next start, a file manager) may
// open one the moment it appears, and a failed write must leave the previous file intact.
#pragma once

#include <filesystem>
#include <string>

// Writes `bytes` beside `target` under a unique temporary name, flushes it to disk and renames
// it over `target`. False, with `target` untouched and no temporary left, when any step fails.
bool WriteFileWhole(const std::filesystem::path& target, const std::string& bytes);
