#include "app/video_writer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "platform/regular_file.h"

namespace fs = std::filesystem;

namespace {

struct Colour {
  int r, g, b;
};
constexpr Colour kBackground{30, 60, 170};  // blue: swapped with red if channels are misread
constexpr Colour kSquare{220, 40, 40};
constexpr Colour kStrip{50, 190, 70};

// A red square moving right over a blue field, above a still green strip.
std::vector<uint8_t> syntheticFrame(int index, int width, int height) {
  std::vector<uint8_t> rgba(static_cast<std::size_t>(width) * height * 4);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const bool square = x >= 10 + 3 * index && x < 50 + 3 * index && y >= 30 && y < 70;
      const Colour c = y >= height - 20 ? kStrip : square ? kSquare : kBackground;
      uint8_t* p = &rgba[(static_cast<std::size_t>(y) * width + x) * 4];
      p[0] = static_cast<uint8_t>(c.r), p[1] = static_cast<uint8_t>(c.g), p[2] = static_cast<uint8_t>(c.b), p[3] = 255;
    }
  }
  return rgba;
}

class Folder {
 public:
  Folder() : path_(fs::temp_directory_path() / ("video_writer_test." + std::to_string(::getpid()))) {
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~Folder() { fs::remove_all(path_); }
  const fs::path& path() const { return path_; }
  std::set<std::string> names() const {
    std::set<std::string> found;
    for (const auto& entry : fs::directory_iterator(path_)) found.insert(entry.path().filename().string());
    return found;
  }

 private:
  fs::path path_;
};

std::string quoted(const fs::path& p) {
  std::string out(1, '\'');  // appended, not "'" + ...: gcc 12 warns falsely of that
  out += p.string();
  out += '\'';
  return out;
}

std::string output(const std::string& command) {
  std::string text;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char chunk[4096];
    while (std::size_t n = std::fread(chunk, 1, sizeof chunk, pipe)) text.append(chunk, n);
    ::pclose(pipe);
  }
  return text;
}

// The value of "key" in ffprobe's JSON, quoted or not.
std::string field(const std::string& json, const std::string& key) {
  std::smatch m;
  if (!std::regex_search(json, m, std::regex("\"" + key + "\": \"?([^\",\\n]*)"))) return "";
  return m[1];
}

// The first frame, decoded by FFmpeg's command line tool (which honours the colour tags) as RGB.
std::vector<uint8_t> firstFrame(const fs::path& video, int width, int height) {
  const fs::path ppm = video.string() + ".ppm";
  output("ffmpeg -v error -y -i " + quoted(video) + " -frames:v 1 -pix_fmt rgb24 -c:v ppm -f image2 " + quoted(ppm));
  std::vector<uint8_t> bytes;
  std::string why;
  platform::readRegularFile(ppm, bytes, &why);
  fs::remove(ppm);
  const std::string header = "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
  if (bytes.size() != header.size() + static_cast<std::size_t>(width) * height * 3 ||
      std::string(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(header.size())) != header) {
    return {};
  }
  return std::vector<uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(header.size()), bytes.end());
}

bool haveFfmpegTools() {
  return std::system("command -v ffprobe >/dev/null 2>&1 && command -v ffmpeg >/dev/null 2>&1") == 0;
}

TEST(VideoWriter, WritesClipsThatFfmpegReadsBackFrameForFrame) {
  if (!haveFfmpegTools()) GTEST_SKIP() << "ffprobe or ffmpeg is missing (Debian package ffmpeg): videos NOT checked";
  struct Case {
    const char* name;
    int width, height;
    const char* codec;
    int videoWidth, videoHeight;
    int tolerance;  // per channel, on flat areas
  };
  const Case cases[] = {
      {"clip.mp4", 160, 120, "h264", 160, 120, 6}, {"clip.webm", 160, 120, "vp9", 160, 120, 6},
      {"clip.gif", 160, 120, "gif", 160, 120, 1},  {"odd.MP4", 161, 121, "h264", 160, 120, 6},
      {"odd.webm", 163, 123, "vp9", 162, 122, 6},  {"odd.gif", 161, 121, "gif", 161, 121, 1},
  };
  constexpr int kFrames = 24, kFps = 12;
  Folder folder;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path out = folder.path() / c.name;
    std::string why;
    auto writer = VideoWriter::open(out, {c.width, c.height, kFps}, &why);
    ASSERT_NE(writer, nullptr) << why;
    EXPECT_EQ(writer->width(), c.videoWidth);
    EXPECT_EQ(writer->height(), c.videoHeight);
    for (int i = 0; i < kFrames; ++i) ASSERT_TRUE(writer->addFrame(syntheticFrame(i, c.width, c.height), &why)) << why;
    int lastDone = 0, lastTotal = 0;
    ASSERT_TRUE(writer->finish(&why, [&](int done, int total) { lastDone = done, lastTotal = total; })) << why;
    EXPECT_EQ(writer->framesWritten(), kFrames);
    if (lastTotal != 0) {
      EXPECT_EQ(lastDone, kFrames) << "progress ends at the last frame";
    }
    EXPECT_EQ(folder.names().count(c.name), 1u);

    const std::string probe = output(
        "ffprobe -v error -count_frames -show_entries "
        "stream=codec_name,width,height,nb_read_frames,color_space,color_range:format=duration -of json " +
        quoted(out));
    EXPECT_EQ(field(probe, "codec_name"), c.codec) << probe;
    EXPECT_EQ(field(probe, "width"), std::to_string(c.videoWidth)) << probe;
    EXPECT_EQ(field(probe, "height"), std::to_string(c.videoHeight)) << probe;
    EXPECT_EQ(field(probe, "nb_read_frames"), std::to_string(kFrames)) << probe;
    EXPECT_NEAR(std::atof(field(probe, "duration").c_str()), 2.0, 0.1) << probe;
    if (std::string(c.codec) != "gif") {
      EXPECT_EQ(field(probe, "color_space"), "bt709") << probe;
      EXPECT_EQ(field(probe, "color_range"), "tv") << probe;
    }
    if (std::string(c.codec) == "h264") {
      std::string bytes;
      ASSERT_TRUE(platform::readRegularFile(out, bytes, &why)) << why;
      EXPECT_LT(bytes.find("moov"), bytes.find("mdat")) << "the index comes first, so playback starts at once";
    }

    const std::vector<uint8_t> rgb = firstFrame(out, c.videoWidth, c.videoHeight);
    ASSERT_FALSE(rgb.empty()) << "ffmpeg cannot decode the first frame";
    const struct {
      int x, y;
      Colour expected;
    } samples[] = {{30, 50, kSquare}, {120, 20, kBackground}, {80, c.videoHeight - 8, kStrip}};
    for (const auto& s : samples) {
      const uint8_t* p = &rgb[(static_cast<std::size_t>(s.y) * c.videoWidth + s.x) * 3];
      EXPECT_NEAR(p[0], s.expected.r, c.tolerance) << "red at " << s.x << "," << s.y;
      EXPECT_NEAR(p[1], s.expected.g, c.tolerance) << "green at " << s.x << "," << s.y;
      EXPECT_NEAR(p[2], s.expected.b, c.tolerance) << "blue at " << s.x << "," << s.y;
    }
  }
}

TEST(VideoWriter, RefusesPlacesAndSettingsItCannotWriteBeforeAnyFrame) {
  Folder folder;
  const fs::path& f = folder.path();
  struct Case {
    const char* name;
    std::function<fs::path()> target;
    VideoSettings settings;
    const char* reason;
  };
  const Case cases[] = {
      {"an unknown suffix", [&] { return f / "clip.avi"; }, {64, 48}, "unknown video type"},
      {"no suffix", [&] { return f / "clip"; }, {64, 48}, "unknown video type"},
      {"a missing folder", [&] { return f / "missing" / "clip.mp4"; }, {64, 48}, "does not exist"},
      {"a directory",
       [&] {
         fs::create_directory(f / "folder.webm");
         return f / "folder.webm";
       },
       {64, 48},
       "is a directory"},
      {"a link to a device",
       [&] {
         fs::create_symlink("/dev/null", f / "null.gif");
         return f / "null.gif";
       },
       {64, 48},
       "is not a regular file"},
      {"a FIFO",
       [&] {
         ::mkfifo((f / "pipe.mp4").c_str(), 0600);
         return f / "pipe.mp4";
       },
       {64, 48},
       "is not a regular file"},
      {"no pixels", [&] { return f / "empty.gif"; }, {0, 48}, "beyond 1 to 16384"},
      {"no frame rate", [&] { return f / "still.webm"; }, {64, 48, 0}, "frames a second"},
      {"one pixel of 4:2:0", [&] { return f / "dot.mp4"; }, {1, 1}, "at least 2x2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::set<std::string> before = folder.names();
    const fs::path target = c.target();
    std::string why;
    EXPECT_EQ(VideoWriter::open(target, c.settings, &why), nullptr);
    EXPECT_EQ(why.rfind(target.string() + ": ", 0), 0u) << why;
    EXPECT_NE(why.find(c.reason), std::string::npos) << why;
    EXPECT_EQ(why.find('\n'), std::string::npos) << why;
    std::set<std::string> after = folder.names();
    for (const auto& made : after) EXPECT_TRUE(before.count(made) || target.filename() == made) << made;
  }
}

TEST(VideoWriter, LeavesNoFileNorTemporaryWhenAbandonedOrFailing) {
  Folder folder;
  enum class End { kAbandoned, kTargetBecomesDirectory, kNoFrames };
  struct Case {
    const char* name;
    End end;
    const char* reason;
  };
  const Case cases[] = {
      {"abandoned.mp4", End::kAbandoned, ""},
      {"abandoned.webm", End::kAbandoned, ""},
      {"abandoned.gif", End::kAbandoned, ""},
      {"late.mp4", End::kTargetBecomesDirectory, "is a directory"},
      {"late.gif", End::kTargetBecomesDirectory, "is a directory"},
      {"none.webm", End::kNoFrames, "no frames"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path out = folder.path() / c.name;
    std::string why;
    auto writer = VideoWriter::open(out, {96, 64, 24}, &why);
    ASSERT_NE(writer, nullptr) << why;
    const int frames = c.end == End::kNoFrames ? 0 : 6;
    for (int i = 0; i < frames; ++i) ASSERT_TRUE(writer->addFrame(syntheticFrame(i, 96, 64), &why)) << why;
    if (c.end == End::kTargetBecomesDirectory) fs::create_directory(out);
    if (c.end != End::kAbandoned) {
      EXPECT_FALSE(writer->finish(&why));
      EXPECT_NE(why.find(c.reason), std::string::npos) << why;
    }
    writer.reset();
    const std::set<std::string> expected =
        c.end == End::kTargetBecomesDirectory ? std::set<std::string>{c.name} : std::set<std::string>{};
    EXPECT_EQ(folder.names(), expected);
    fs::remove_all(out);
  }
}

}  // namespace
