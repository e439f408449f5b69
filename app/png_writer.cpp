#include "app/png_writer.h"

#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <thread>
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

// Signed residual magnitudes: the usual heuristic for how well a filtered row compresses.
unsigned residualCost(const uint8_t* residuals, std::size_t n) {
  unsigned cost = 0;
  for (std::size_t i = 0; i < n; ++i) cost += static_cast<unsigned>(std::abs(static_cast<int8_t>(residuals[i])));
  return cost;
}

// One row of RGB samples as filter byte and residuals: "up" (the row above subtracted) where
// its residuals are smaller, else "sub" (the pixel to the left subtracted). Rendered pictures are
// mostly flat or smooth, where either leaves runs of zeros for deflate. Plain loops over whole
// rows, so that the compiler vectorizes them.
void filterRow(const uint8_t* row, const uint8_t* above, std::size_t n, uint8_t* scratch, uint8_t* out) {
  uint8_t* sub = out + 1;
  for (std::size_t i = 0; i < 3; ++i) sub[i] = row[i];
  for (std::size_t i = 3; i < n; ++i) sub[i] = static_cast<uint8_t>(row[i] - row[i - 3]);
  out[0] = 1;
  if (above == nullptr) return;
  for (std::size_t i = 0; i < n; ++i) scratch[i] = static_cast<uint8_t>(row[i] - above[i]);
  if (residualCost(scratch, n) <= residualCost(sub, n)) {
    std::memcpy(sub, scratch, n);
    out[0] = 2;
  }
}

// Rows [first, last) of the picture, alpha dropped and filtered, as raw deflate blocks into
// `out`, with the Adler-32 checksum of the filtered rows. The last band ends the stream; the
// others end on a byte boundary without ending it, so the bands' blocks join into one stream.
// Rows are filtered and deflated a few at a time through small buffers: a filtered copy of the
// whole picture, or room for its worst case, would be fresh pages, each a fault to take.
bool encodeBand(const uint8_t* rgba, int64_t stride, std::size_t n, int32_t first, int32_t last, bool lastBand,
                std::vector<uint8_t>& out, uLong& checksum) {
  z_stream z{};
  if (deflateInit2(&z, 1, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return false;
  constexpr int32_t kRowsAtOnce = 16;
  std::vector<uint8_t> rows(3 * n);  // this row and the one above as RGB, and scratch
  std::vector<uint8_t> filtered((n + 1) * kRowsAtOnce);
  uint8_t deflated[16384];
  checksum = adler32(0, nullptr, 0);
  int32_t ready = 0;
  int result = Z_OK;
  for (int32_t y = first > 0 ? first - 1 : 0; y < last && result == Z_OK; ++y) {
    uint8_t* row = rows.data() + (y % 2) * n;
    const uint8_t* pixel = rgba + y * stride;
    for (std::size_t i = 0; i < n; i += 3, pixel += 4) {
      row[i] = pixel[0];
      row[i + 1] = pixel[1];
      row[i + 2] = pixel[2];
    }
    if (y < first) continue;  // only the row above the band
    const uint8_t* above = y > 0 ? rows.data() + ((y + 1) % 2) * n : nullptr;
    filterRow(row, above, n, rows.data() + 2 * n, filtered.data() + (n + 1) * static_cast<std::size_t>(ready));
    if (++ready < kRowsAtOnce && y < last - 1) continue;
    const auto size = static_cast<uInt>((n + 1) * static_cast<std::size_t>(ready));
    checksum = adler32(checksum, filtered.data(), size);
    z.next_in = filtered.data();
    z.avail_in = size;
    const int flush = y < last - 1 ? Z_NO_FLUSH : lastBand ? Z_FINISH : Z_SYNC_FLUSH;
    do {
      z.next_out = deflated;
      z.avail_out = sizeof deflated;
      result = deflate(&z, flush);
      out.insert(out.end(), deflated, deflated + (sizeof deflated - z.avail_out));
    } while (z.avail_out == 0 && (result == Z_OK || result == Z_BUF_ERROR));
    if (result == Z_BUF_ERROR) result = Z_OK;  // nothing left to write: no error
    ready = 0;
  }
  deflateEnd(&z);
  return lastBand ? result == Z_STREAM_END : result == Z_OK && z.avail_in == 0;
}

}  // namespace

std::string EncodePng(const uint8_t* rgba, int32_t width, int32_t height, int64_t stride) {
  if (width <= 0 || height <= 0) return {};
  const std::size_t n = static_cast<std::size_t>(width) * 3, rowBytes = n + 1;
  // Bands of rows filtered and deflated side by side: the picture is written right after its
  // frame, when the cores the rasterizer used are free.
  const int32_t bands = std::clamp<int32_t>(static_cast<int32_t>(std::thread::hardware_concurrency()), 1,
                                            std::clamp<int32_t>(height / 64, 1, 4));
  std::vector<std::vector<uint8_t>> deflated(static_cast<std::size_t>(bands));
  std::vector<uLong> checksums(static_cast<std::size_t>(bands));
  std::vector<char> ok(static_cast<std::size_t>(bands), 0);
  auto encode = [&](int32_t band) {
    const int32_t first = height * band / bands, last = height * (band + 1) / bands;
    ok[band] = encodeBand(rgba, stride, n, first, last, band == bands - 1, deflated[band], checksums[band]);
  };
  std::vector<std::thread> helpers;
  for (int32_t band = 1; band < bands; ++band) helpers.emplace_back(encode, band);
  encode(0);
  for (std::thread& t : helpers) t.join();
  if (std::find(ok.begin(), ok.end(), 0) != ok.end()) return {};

  // The zlib stream around the blocks: its header (deflate, 32 KiB window, fastest) and the
  // checksum of all the filtered rows, combined from the bands'.
  std::vector<uint8_t> stream = {0x78, 0x01};
  uLong checksum = checksums[0];
  for (int32_t band = 0; band < bands; ++band) {
    stream.insert(stream.end(), deflated[band].begin(), deflated[band].end());
    if (band > 0) {
      const int32_t rows = height * (band + 1) / bands - height * band / bands;
      checksum = adler32_combine(checksum, checksums[band], static_cast<z_off_t>(rowBytes * static_cast<std::size_t>(rows)));
    }
  }
  for (int shift = 24; shift >= 0; shift -= 8) stream.push_back(static_cast<uint8_t>(checksum >> shift));

  std::string png("\x89PNG\r\n\x1a\n", 8);
  uint8_t header[13] = {};
  for (int i = 0; i < 4; ++i) {
    header[i] = static_cast<uint8_t>(static_cast<uint32_t>(width) >> (24 - 8 * i));
    header[4 + i] = static_cast<uint8_t>(static_cast<uint32_t>(height) >> (24 - 8 * i));
  }
  header[8] = 8;  // bits per sample
  header[9] = 2;  // RGB
  putChunk(png, "IHDR", header, sizeof header);
  putChunk(png, "IDAT", stream.data(), stream.size());
  putChunk(png, "IEND", nullptr, 0);
  return png;
}
