// Files written whole or not at all: a reader (the viewer's next start, a file manager) may
// open one the moment it appears, and a failed write must leave the previous file intact.
#pragma once

#include <filesystem>
#include <string>

// Where a write to `target` lands: `target` itself, or the file a chain of symbolic links
// leads to, so that the link stays a link. Empty, with the reason in `why`, when that place is
// not a regular file nor a new name in an existing folder (a device, a directory, a FIFO, a
// loop of links).
std::filesystem::path WriteDestination(const std::filesystem::path& target, std::string* why);

// Writes `bytes` beside WriteDestination(target) under a unique temporary name, flushes it to
// disk and renames it over the destination. False, with the destination untouched, no
// temporary left and the reason in `why` (when given), when any step fails: a full disk or a
// file-size limit (EFBIG, ENOSPC) is a failure reported here, not a signal that ends the
// process. A SIGINT, SIGTERM or SIGHUP that arrives while the temporary exists removes it
// before the signal takes its course.
bool WriteFileWhole(const std::filesystem::path& target, const std::string& bytes, std::string* why = nullptr);
