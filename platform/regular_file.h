// Opening and reading files that must be regular files. A model, image or collider file named
// by a user or inside another file may be a FIFO, a device or a directory; opening one of those
// for reading can block for ever or never end. Every such file goes through here: it is opened
// without blocking and refused unless it is a regular file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace platform {

// Opens `path` for reading when it is a regular file. Returns the descriptor (close-on-exec;
// not blocking plays no part for a regular file) and its size in `size` when given, or -1 with
// the reason in `why` (the system's message, "is a directory" or "is not a regular file").
int openRegularFile(const std::filesystem::path& path, std::string* why, uint64_t* size = nullptr);

// The whole of the regular file at `path` in `out`, at most `limit` bytes. False, with the
// reason in `why`, when it cannot be opened or read, or is larger than `limit`.
bool readRegularFile(const std::filesystem::path& path, std::vector<uint8_t>& out, std::string* why,
                     uint64_t limit = UINT64_MAX);
bool readRegularFile(const std::filesystem::path& path, std::string& out, std::string* why,
                     uint64_t limit = UINT64_MAX);

// Up to `count` bytes from the start of the regular file at `path` into `out`, and its size.
bool readFileHead(const std::filesystem::path& path, std::size_t count, std::vector<uint8_t>& out,
                  uint64_t& size, std::string* why);

}  // namespace platform
