#include "app/png_writer.h"

#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

void putBigEndian(std::string& out, uint32_t value) {
  const char bytes[4] = {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
                         static_cast<char>(value >> 8), static_cast<char>(value)};
  out.append(bytes, 4);
}

void putChunk(std::string& out, const char type[4], const uint8_t* data, std::size_t size) {
  putBigEndian(out, static_cast<uint32_t>(size));
  const std::size_t start = out.size();
  out.append(type, 4);
  if (size > 0) out.append(reinterpret_cast<const char*>(data), size);
  putBigEndian(out, static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(out.data() + start),
                                                static_cast<uInt>(size + 4))));
}

// One row of RGB samples as filter byte and residuals: "up" (the row above subtracted) where
// its residuals are smaller, else "sub" (the pixel to the left subtracted). Rendered pictures are
// mostly flat or smooth, where either leaves runs of zeros for deflate.
void filterRow(const uint8_t* row, const uint8_t* above, std::size_t n, uint8_t* out) {
  uint8_t* residual = out + 1;
  // Costs as signed residual magnitudes, the usual heuristic for choosing a filter.
  unsigned costUp = 0, costSub = 0;
  if (above != nullptr) {
    for (std::size_t i = 0; i < n; ++i) {
      costUp += static_cast<unsigned>(std::abs(static_cast<int8_t>(row[i] - above[i])));
      costSub += static_cast<unsigned>(std::abs(static_cast<int8_t>(row[i] - (i >= 3 ? row[i - 3] : 0))));
    }
  }
  if (above != nullptr && costUp <= costSub) {
    out[0] = 2;
    for (std::size_t i = 0; i < n; ++i) residual[i] = static_cast<uint8_t>(row[i] - above[i]);
  } else {
    out[0] = 1;
    for (std::size_t i = 0; i < n; ++i) residual[i] = static_cast<uint8_t>(row[i] - (i >= 3 ? row[i - 3] : 0));
  }
}

}  // namespace

std::string EncodePng(const uint8_t* rgba, int32_t width, int32_t height, int64_t stride) {
  if (width <= 0 || height <= 0) return {};
  const std::size_t n = static_cast<std::size_t>(width) * 3, rowBytes = n + 1;
  std::vector<uint8_t> filtered(rowBytes * static_cast<std::size_t>(height));
  std::vector<uint8_t> rows(2 * n);  // this row and the one above, alpha dropped
  for (int32_t y = 0; y < height; ++y) {
    uint8_t* row = rows.data() + (y % 2) * n;
    const uint8_t* pixel = rgba + y * stride;
    for (std::size_t i = 0; i < n; i += 3, pixel += 4) {
      row[i] = pixel[0];
      row[i + 1] = pixel[1];
      row[i + 2] = pixel[2];
    }
    const uint8_t* above = y > 0 ? rows.data() + ((y + 1) % 2) * n : nullptr;
    filterRow(row, above, n, filtered.data() + rowBytes * static_cast<std::size_t>(y));
  }

  z_stream z{};
  if (deflateInit2(&z, 1, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return {};
  std::vector<uint8_t> compressed(deflateBound(&z, static_cast<uLong>(filtered.size())));
  z.next_in = filtered.data();
  z.avail_in = static_cast<uInt>(filtered.size());
  z.next_out = compressed.data();
  z.avail_out = static_cast<uInt>(compressed.size());
  const bool done = deflate(&z, Z_FINISH) == Z_STREAM_END;
  compressed.resize(z.total_out);
  deflateEnd(&z);
  if (!done) return {};

  std::string png("\x89PNG\r\n\x1a\n", 8);
  uint8_t header[13] = {};
  for (int i = 0; i < 4; ++i) {
    header[i] = static_cast<uint8_t>(static_cast<uint32_t>(width) >> (24 - 8 * i));
    header[4 + i] = static_cast<uint8_t>(static_cast<uint32_t>(height) >> (24 - 8 * i));
  }
  header[8] = 8;  // bits per sample
  header[9] = 2;  // RGB
  putChunk(png, "IHDR", header, sizeof header);
  putChunk(png, "IDAT", compressed.data(), compressed.size());
  putChunk(png, "IEND", nullptr, 0);
  return png;
}

bool WriteFileWhole(const std::string& path, const std::string& bytes) {
  const std::string partial = path + ".part";
  std::FILE* f = std::fopen(partial.c_str(), "wb");
  bool ok = f != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  if (f != nullptr) ok = std::fclose(f) == 0 && ok;
  ok = ok && std::rename(partial.c_str(), path.c_str()) == 0;
  if (!ok) std::remove(partial.c_str());
  return ok;
}
